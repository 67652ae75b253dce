// What watching an IMAP folder costs, against a Dovecot of its own (the
// tests' fixture) holding 10,000 messages, 1,000 of them unseen:
//
//   imap_bench cost          polls that find no change, and one that finds a delivery
//   imap_bench soak MINUTES  a delivery a minute, polls as the watcher makes them;
//                            the helper's resident memory every minute
#include "tests/imap/dovecot.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using std::string;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 10000;
constexpr int kUnseen = 1000;

string mail(int n)
{
	string body;
	for (int i = 0; i < 20 + n % 200; ++i)
		body += "A line of the message body, as long as most lines are.\n";
	return "From: Sender " + std::to_string(n) + " <s" + std::to_string(n) + "@example.org>\nSubject: Message " +
	       std::to_string(n) + " about the quarterly report\nTo: alice@localhost\n\n" + body;
}

void fill(const Dovecot &dovecot)
{
	const string box = dovecot.dir().sub("mail/alice");
	for (const char *sub : {"/cur", "/new", "/tmp"})
		std::system(("mkdir -p " + box + sub).c_str());
	for (int n = 0; n < kMessages; ++n) {
		const string name = std::to_string(1700000000 + n) + ".M" + std::to_string(n) + ".bench";
		const string path = n < kMessages - kUnseen ? box + "/cur/" + name + ":2,S" : box + "/new/" + name;
		std::ofstream(path) << mail(n);
	}
	if (getuid() == 0)
		std::system(("chown -R nobody:nogroup " + dovecot.dir().sub("mail")).c_str());
}

class Helper {
public:
	Helper(const Dovecot &dovecot, const string &passwordFile)
	{
		int in[2], out[2];
		if (pipe(in) != 0 || pipe(out) != 0)
			std::exit(1);
		pid_ = fork();
		if (pid_ == 0) {
			dup2(in[0], 0);
			dup2(out[1], 1);
			const string url = "imaps://alice@localhost:" + std::to_string(dovecot.imapsPort()) + "/INBOX";
			const string command = "cat " + passwordFile;
			execl(BOXWARDEN_IMAP_HELPER, "boxwarden-imap", "-passwordCommand", command.c_str(), "-caFile",
			      dovecot.caFile().c_str(), url.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		close(in[0]);
		close(out[1]);
		to_ = in[1];
		from_ = out[0];
	}
	~Helper()
	{
		close(to_);
		kill(pid_, SIGTERM);
		waitpid(pid_, nullptr, 0);
	}
	// The answer's first line (and any bytes after it).
	string ask(const string &request)
	{
		const string line = request + "\n";
		if (write(to_, line.data(), line.size()) < 0)
			std::exit(1);
		string got;
		for (;;) {
			char buf[65536];
			const ssize_t n = read(from_, buf, sizeof buf);
			if (n <= 0)
				std::exit(1);
			got.append(buf, static_cast<std::size_t>(n));
			const auto nl = got.find('\n');
			long count = 0, bytes = 0;
			if (nl != string::npos &&
			    (std::sscanf(got.c_str(), "list %ld %ld", &count, &bytes) != 2 ||
			     got.size() >= nl + 1 + static_cast<std::size_t>(bytes)))
				return got;
		}
	}
	// CPU time used so far, in seconds.
	double cpu() const
	{
		std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
		string s((std::istreambuf_iterator<char>(stat)), {});
		s.erase(0, s.rfind(')') + 2);
		long utime = 0, stime = 0;
		std::sscanf(s.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
		return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
	}
	long rssKilobytes() const
	{
		std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
		for (string line; std::getline(status, line);)
			if (line.rfind("VmRSS:", 0) == 0)
				return std::atol(line.c_str() + 6);
		return 0;
	}

private:
	pid_t pid_ = -1;
	int to_ = -1, from_ = -1;
};

double since(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

int cost(const Dovecot &dovecot, const string &password)
{
	Helper h(dovecot, password);
	auto start = Clock::now();
	std::printf("first poll: %s", h.ask("poll").c_str());
	const string list = h.ask("read");
	std::printf("first read: %.3f s in all (%s", since(start), list.substr(0, list.find('\n') + 1).c_str());
	constexpr int kPolls = 50;
	const double cpuBefore = h.cpu();
	start = Clock::now();
	for (int i = 0; i < kPolls; ++i)
		h.ask("poll");
	const double wall = since(start) / kPolls, cpu = (h.cpu() - cpuBefore) / kPolls;
	std::printf("unchanged poll: %.2f ms wall, %.2f ms CPU of the helper (target < 5 ms)\n", wall * 1000, cpu * 1000);
	dovecot.deliver(mail(kMessages));
	start = Clock::now();
	const string status = h.ask("poll");
	const string again = h.ask("read");
	std::printf("changed poll and read: %.3f s until the new list (target < 0.5 s); %s", since(start),
	            status.c_str());
	std::printf("helper resident memory: %ld KB (target < 14 MB)\n", h.rssKilobytes());
	return 0;
}

int soak(const Dovecot &dovecot, const string &password, int minutes)
{
	Helper h(dovecot, password);
	const auto start = Clock::now();
	for (int minute = 0; minute <= minutes; ++minute) {
		if (minute > 0)
			dovecot.deliver(mail(kMessages + minute));
		// As the watcher with -poll 10: a poll, and a read when it changed.
		for (int poll = 0; poll < 6; ++poll) {
			if (h.ask("poll").rfind("status 1", 0) == 0)
				h.ask("read");
			std::this_thread::sleep_until(start + std::chrono::seconds(60 * minute + 10 * (poll + 1)));
		}
		std::printf("minute %d: helper %ld KB, %.2f s CPU in all\n", minute, h.rssKilobytes(), h.cpu());
		std::fflush(stdout);
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	const string what = argc > 1 ? argv[1] : "cost";
	Dovecot dovecot;
	fill(dovecot);
	const string password = dovecot.dir().write("password", string(Dovecot::kPassword) + "\n");
	if (what == "soak")
		return soak(dovecot, password, argc > 2 ? std::atoi(argv[2]) : 30);
	return cost(dovecot, password);
}
