// What watching an IMAP folder costs, against a Dovecot of its own (the
// tests' fixture) holding 10,000 messages, 1,000 of them unseen:
//
//   imap_bench cost          polls that find no change, and one that finds a delivery
//   imap_bench soak MINUTES  a delivery a minute, polls as the watcher makes them;
//                            the helper's resident memory every minute
//   imap_bench serve         the filled Dovecot for the watcher itself: prints
//                            "URL CAFILE PASSWORDFILE" and serves until its
//                            standard input ends
#include "tests/imap/dovecot.h"
#include "tests/imap/helperprocess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
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

// Delivered through Dovecot itself, as mail is (its index kept as it
// goes): imported from an mbox, and all but the last kUnseen marked seen.
void fill(const Dovecot &dovecot)
{
	const string mbox = dovecot.dir().sub("import.mbox");
	{
		std::ofstream out(mbox);
		for (int n = 0; n < kMessages; ++n)
			out << "From s" << n << "@example.org Mon Dec  7 10:00:00 2026\n" << mail(n) << "\n";
	}
	// Read, and locked, as the mail's owner.
	std::system(("mkdir -p " + dovecot.dir().sub("import")).c_str());
	if (getuid() == 0)
		std::system(("chown -R nobody:nogroup " + mbox + " " + dovecot.dir().sub("import")).c_str());
	dovecot.doveadm("import -u alice mbox:" + dovecot.dir().sub("import") + ":INBOX=" + mbox + " '' mailbox INBOX all");
	dovecot.doveadm("flags add -u alice '\\Seen' mailbox INBOX 1:" + std::to_string(kMessages - kUnseen));
}

// The helper as the watcher runs it, on the account of the Dovecot.
HelperProcess startHelper(const Dovecot &dovecot, const string &passwordFile)
{
	return HelperProcess({"-passwordCommand", "cat " + passwordFile, "-caFile", dovecot.caFile(),
	                      "imaps://alice@localhost:" + std::to_string(dovecot.imapsPort()) + "/INBOX"},
	                     dovecot.dir().sub("helper.err"));
}

double since(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

int cost(const Dovecot &dovecot, const string &password)
{
	HelperProcess h = startHelper(dovecot, password);
	auto start = Clock::now();
	std::printf("first poll: %s", h.ask("poll").head.c_str());
	std::printf("first read: %.3f s in all (%s", since(start), h.ask("read").head.c_str());
	constexpr int kPolls = 50;
	const double cpuBefore = h.cpuSeconds();
	start = Clock::now();
	for (int i = 0; i < kPolls; ++i)
		h.ask("poll");
	const double wall = since(start) / kPolls, cpu = (h.cpuSeconds() - cpuBefore) / kPolls;
	std::printf("unchanged poll: %.2f ms wall, %.2f ms CPU of the helper (target < 5 ms)\n", wall * 1000, cpu * 1000);
	dovecot.deliver(mail(kMessages));
	start = Clock::now();
	const string status = h.ask("poll").head;
	h.ask("read");
	std::printf("changed poll and read: %.3f s until the new list (target < 0.5 s); %s", since(start),
	            status.c_str());
	std::printf("helper resident memory: %ld KB (target < 14 MB)\n", h.rssKilobytes());
	return 0;
}

int soak(const Dovecot &dovecot, const string &password, int minutes)
{
	const string flagsBefore = dovecot.flags();
	HelperProcess h = startHelper(dovecot, password);
	const auto start = Clock::now();
	for (int minute = 0; minute <= minutes; ++minute) {
		if (minute > 0)
			dovecot.deliver(mail(kMessages + minute));
		// As the watcher with -poll 10: a poll, and a read when it changed.
		for (int poll = 0; poll < 6; ++poll) {
			if (h.ask("poll").head.rfind("status 1", 0) == 0)
				h.ask("read");
			std::this_thread::sleep_until(start + std::chrono::seconds(60 * minute + 10 * (poll + 1)));
		}
		std::printf("minute %d: helper %ld KB, %.2f s CPU in all\n", minute, h.rssKilobytes(), h.cpuSeconds());
		std::fflush(stdout);
	}
	// The messages there from the start have the flags they had.
	const bool same = dovecot.flags().starts_with(flagsBefore);
	std::printf("flags of the first %d messages: %s\n", kMessages, same ? "unchanged" : "CHANGED");
	return same ? 0 : 1;
}

int serve(const Dovecot &dovecot, const string &password)
{
	std::printf("imaps://alice@localhost:%d/INBOX %s %s\n", dovecot.imapsPort(), dovecot.caFile().c_str(),
	            password.c_str());
	std::fflush(stdout);
	char buf[256];
	while (read(0, buf, sizeof buf) > 0) {
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	const string what = argc > 1 ? argv[1] : "cost";
	// Caught, so that the Dovecot is stopped whatever fails.
	try {
		Dovecot dovecot;
		fill(dovecot);
		const string password = dovecot.dir().write("password", string(Dovecot::kPassword) + "\n");
		if (what == "serve")
			return serve(dovecot, password);
		if (what == "soak")
			return soak(dovecot, password, argc > 2 ? std::atoi(argv[2]) : 30);
		return cost(dovecot, password);
	} catch (const std::exception &e) {
		std::fprintf(stderr, "imap_bench: %s\n", e.what());
		return 1;
	}
}
