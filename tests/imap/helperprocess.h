// boxwarden-imap run as the watcher runs it, for its tests and benchmark:
// requests written to its standard input, answers read from its output,
// its warnings kept in a file.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

struct Answer {
	std::string head, payload;
	bool operator==(const Answer &) const = default;
};
void PrintTo(const Answer &a, std::ostream *out);

class HelperProcess {
public:
	// args after the program's name; env added to the environment.
	HelperProcess(const std::vector<std::string> &args, const std::string &errFile,
	              const std::vector<std::string> &env = {});
	~HelperProcess();
	HelperProcess(const HelperProcess &) = delete;
	HelperProcess &operator=(const HelperProcess &) = delete;

	// meanwhile, if given, is called about ten times a second while the
	// answer is awaited.
	using Meanwhile = std::function<void()>;
	Answer ask(const std::string &request, std::chrono::seconds patience = std::chrono::seconds(60),
	           const Meanwhile &meanwhile = {});
	// What the helper says next, asked or not.
	Answer next(std::chrono::seconds patience = std::chrono::seconds(60), const Meanwhile &meanwhile = {});

	std::string err() const;
	double cpuSeconds() const;  // used so far
	long rssKilobytes() const;
	pid_t pid() const { return pid_; }
	// Closes the requests' pipe, as a watcher that has gone would.
	void leave();

private:
	bool readMore(std::chrono::steady_clock::time_point deadline, const Meanwhile &meanwhile);

	std::string errFile_;
	pid_t pid_ = -1;
	int to_ = -1, from_ = -1;
	std::string buffer_;
};
