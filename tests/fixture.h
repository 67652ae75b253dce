// Small files for the scanner tests, written fresh for each test.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// A folder of its own, removed with everything in it.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	const std::string &path() const { return path_; }
	// Writes bytes to name inside the folder; returns the full path.
	std::string write(const std::string &name, std::string_view bytes) const;
	std::string sub(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

struct ScanResult {
	int count;
	std::string summary;
	bool operator==(const ScanResult &) const = default;
};

void PrintTo(const ScanResult &result, std::ostream *out);

// parseMailbox() into a buffer of capacity bytes.
ScanResult scan(const std::string &path, int flags, int capacity = 32000);

// Writes bytes as a mailbox file and scans it.
ScanResult scanText(std::string_view bytes, int flags, int capacity = 32000);

// What a scan printed on standard output, and its result.
struct TracedScan {
	ScanResult result;
	std::string out;
};
TracedScan scanTraced(const std::string &path, int flags, int capacity = 32000);

// Leaves a socket file at path, which can be looked at but not opened.
void makeSocket(const std::string &path);

// A FIFO at path, and a writer waiting on it, as a process of its own, for
// a reader to open it; released at the end.
class FifoWriter {
public:
	explicit FifoWriter(const std::string &path);
	~FifoWriter();
	FifoWriter(const FifoWriter &) = delete;
	FifoWriter &operator=(const FifoWriter &) = delete;
	// Whether it still waits: no one has opened the FIFO to read.
	bool waiting();

private:
	std::string path_;
	int pid_ = -1;
};

// Reads a whole file.
std::string readFile(const std::string &path);

// What a mail producer in tests/producers writes on its standard output:
// produce({"encode_header.py", "word", "utf-8", "b", "Grüße"}).  Each is run
// by the system's own interpreter.
std::string produce(const std::vector<std::string> &args);
