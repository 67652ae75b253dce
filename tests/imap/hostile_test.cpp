// The IMAP helper against servers that misbehave on purpose (a tiny server
// of the tests' own, tests/imap/tinyserver.py): whatever they send, the
// helper's memory and time stay bounded, it logs in no more often than it
// must, lists only what it asked for, and neither a password nor a
// terminal's controls get where they must not.
#include "tests/fixture.h"
#include "tests/imap/dovecot.h"
#include "tests/imap/helperprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using std::string;
using std::vector;
using Clock = std::chrono::steady_clock;

namespace {

// What the helper may hold, whatever a server sends.
constexpr long kMostResidentKilobytes = 64 * 1024;

// The tiny server's certificates and a password file, for every case.
class Hostile : public testing::Test {
protected:
	void SetUp() override
	{
		makeCertificates(dir_);
		password_ = dir_.write("password", "tiny secret\n");
	}

	vector<string> args(const TinyServer &server, const vector<string> &more = {},
	                    const string &passwordCommand = "")
	{
		vector<string> a{"-passwordCommand", passwordCommand.empty() ? "cat " + password_ : passwordCommand,
		                 "-caFile", dir_.sub("ca.pem"), "-timeout", "2"};
		a.insert(a.end(), more.begin(), more.end());
		a.push_back("imaps://alice@localhost:" + std::to_string(server.port()) + "/INBOX");
		return a;
	}

	TempDir dir_;
	string password_;
};

// Under the address sanitizer freed memory is held back for a while, to
// catch its use; here it is held back no more than a little.
vector<string> lowQuarantine()
{
	const char *options = std::getenv("ASAN_OPTIONS");
	return {string("ASAN_OPTIONS=") + (options ? options : "") + ":quarantine_size_mb=4:malloc_context_size=4"};
}

// A file of a process's in /proc, read with plain reads: a process that
// ends while it is read makes the read fail (ESRCH), which a stream would
// throw on.  Empty when the process is gone.
string processFile(const string &pid, const char *name)
{
	const int fd = open(("/proc/" + pid + "/" + name).c_str(), O_RDONLY);
	string text;
	char buf[512];
	for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
		text.append(buf, static_cast<std::size_t>(n));
	if (fd >= 0)
		close(fd);
	return text;
}

// The processes whose command line starts with start.
vector<string> processesStarting(const string &start)
{
	vector<string> found;
	DIR *proc = opendir("/proc");
	for (dirent *e; proc && (e = readdir(proc));) {
		string line = processFile(e->d_name, "cmdline");
		std::replace(line.begin(), line.end(), '\0', ' ');
		if (line.starts_with(start))
			found.push_back(e->d_name);
	}
	if (proc)
		closedir(proc);
	return found;
}

// Whether every process whose command line starts with start has been
// killed: SIGKILL is pending for it, and it goes as soon as it next runs.
bool allKilled(const string &start)
{
	constexpr unsigned long long kKill = 1ull << (SIGKILL - 1);
	bool all = true;
	for (const string &pid : processesStarting(start)) {
		std::istringstream status(processFile(pid, "status"));
		bool killed = status.str().empty(); // gone meanwhile
		for (string line; std::getline(status, line);)
			if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:"))
				killed = killed || (std::stoull(line.substr(7), nullptr, 16) & kKill) != 0;
		all = all && killed;
	}
	return all;
}

// Waits until ready() holds, for as long as any request may take and more.
bool waitFor(const std::function<bool()> &ready)
{
	const auto until = Clock::now() + std::chrono::seconds(30);
	while (!ready()) {
		if (Clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

int count(const string &text, const string &what)
{
	int n = 0;
	for (auto at = text.find(what); at != string::npos; at = text.find(what, at + what.size()))
		++n;
	return n;
}

} // namespace

// Floods in answer to a request: each is cut off within the request's time
// (three answers' times, here 2 s each), with the helper's memory bounded
// all the while, and told of once.
TEST_F(Hostile, FloodsEndInTimeWithinBoundedMemory)
{
	const struct {
		const char *mode;
		string err;
	} cases[] = {
		{"flood", "the server sent more than any answer needs"},
		{"empty-flood", "the server sent more than any answer needs"},
		{"literal-flood", "the server sent more than any answer needs"},
		{"plus-flood", "the server sent more than any answer needs"},
		{"trickle", "the server did not answer"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.mode);
		TinyServer server(c.mode, dir_);
		TempDir run;
		HelperProcess h(args(server), run.sub("helper.err"), lowQuarantine());
		long most = 0;
		auto measure = [&] { most = std::max(most, h.rssKilobytes()); };
		for (int i = 0; i < 2; ++i) {
			const auto start = Clock::now();
			EXPECT_EQ(h.ask("poll", std::chrono::seconds(30), measure), (Answer{"failed\n", ""}));
			EXPECT_LT(Clock::now() - start, std::chrono::seconds(6 + 2));
		}
		std::printf("%s: at most %ld kB resident\n", c.mode, most);
		EXPECT_LT(most, kMostResidentKilobytes);
		const string err = h.err();
		EXPECT_EQ(count(err, "\n"), 1) << err;
		EXPECT_NE(err.find(c.err), string::npos) << err;
	}
}

// While idling, a flood is cut off as well, and told of once.
TEST_F(Hostile, AFloodWhileIdling)
{
	TinyServer server("idle-flood", dir_);
	TempDir run;
	HelperProcess h(args(server, {"-instant"}), run.sub("helper.err"), lowQuarantine());
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	long most = 0;
	const auto until = Clock::now() + std::chrono::seconds(4);
	while (Clock::now() < until) {
		most = std::max(most, h.rssKilobytes());
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	std::printf("idle-flood: at most %ld kB resident\n", most);
	EXPECT_LT(most, kMostResidentKilobytes);
	EXPECT_EQ(h.err(), "boxwarden-imap: imaps://localhost/INBOX: while idling: the server sent more than any answer "
	                   "needs; the folder is only polled from now on\n");
	EXPECT_EQ(h.ask("poll"), (Answer{"status 0 1\n", ""})); // and polls go on
}

// A server that ends each connection, or each IDLE, as soon as it is
// made is not asked again at once: a second, then twice as long each
// time, up to the poll interval.  However it ends them, idling never logs
// in more than five times a minute, leaving the rest of ten to polls, nor
// starts IDLE more than ten times a minute.
TEST_F(Hostile, NoStormOfLoginsOrIdles)
{
	const struct {
		const char *mode;
		const char *interval;
		const char *counted;
		int least, most;
		bool doubling; // most is that of the waits, by the time that passed
	} cases[] = {
		// At 0, 1, 3, 7 s: the fifth would be at 15.
		{"idle-close", "60", "connection", 3, 4, true},
		{"idle-end", "60", " IDLE", 3, 4, true},
		// A second apart, as the poll interval allows; but for the limit.
		{"idle-close", "1", "connection", 5, 5, false},
		{"idle-close-late", "60", "connection", 5, 5, false},
		{"idle-end-late", "60", " IDLE", 9, 10, false},
	};
	// After waits of 1, 2, 4 s and so on, the n-th start comes 2^n - 1 s
	// after the first at the soonest: how many can have come by then.
	const auto mostByDoubling = [](Clock::duration passed) {
		int n = 0;
		while (std::chrono::seconds((1 << n) - 1) <= passed)
			++n;
		return n;
	};
	vector<std::unique_ptr<TinyServer>> servers;
	vector<std::unique_ptr<HelperProcess>> helpers;
	vector<Clock::time_point> started;
	TempDir run;
	for (const auto &c : cases) {
		servers.push_back(std::make_unique<TinyServer>(c.mode, dir_));
		started.push_back(Clock::now());
		helpers.push_back(std::make_unique<HelperProcess>(args(*servers.back(), {"-instant", "-interval", c.interval}),
		                                                  run.sub(std::to_string(helpers.size()) + ".err")));
		EXPECT_EQ(helpers.back()->ask("poll"), (Answer{"status 1 1\n", ""}));
	}
	// Each is judged 14 s after it started, or as soon after as the machine
	// gets to it, by the time that really passed.
	for (std::size_t i = 0; i < std::size(cases); ++i) {
		const auto &c = cases[i];
		SCOPED_TRACE(c.mode + string(" every ") + c.interval + " s");
		std::this_thread::sleep_until(started[i] + std::chrono::seconds(14));
		const string heard = servers[i]->heard();
		const int most = c.doubling ? mostByDoubling(Clock::now() - started[i]) : c.most;
		EXPECT_LE(count(heard, c.counted), most) << heard;
		EXPECT_GE(count(heard, c.counted), c.least) << heard; // it does try again
	}
	// And polls are answered all the while.
	for (std::size_t i = 0; i < std::size(cases); ++i)
		EXPECT_EQ(helpers[i]->ask("poll"), (Answer{"status 0 1\n", ""})) << helpers[i]->err();
}

// A request that comes while the helper is starting to idle waits one
// answer's time at most (here 2 s), not a request's.
TEST_F(Hostile, ARequestWaitsLittleForIdling)
{
	TinyServer server("idle-trickle", dir_);
	TempDir run;
	HelperProcess h(args(server, {"-instant"}), run.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	std::this_thread::sleep_for(std::chrono::milliseconds(300)); // EXAMINE is under way
	const auto start = Clock::now();
	EXPECT_EQ(h.ask("poll"), (Answer{"status 0 1\n", ""}));
	EXPECT_LT(Clock::now() - start, std::chrono::seconds(2 + 1));
}

// A login refused is tried again at the next poll, not by idling too.
TEST_F(Hostile, ARefusedLoginOncePerPoll)
{
	TinyServer server("denied", dir_);
	TempDir run;
	HelperProcess h(args(server, {"-instant"}), run.sub("helper.err"));
	for (int i = 0; i < 3; ++i) {
		EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
		std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	}
	EXPECT_EQ(count(server.heard(), " LOGIN "), 3) << server.heard();
	EXPECT_EQ(count(h.err(), "\n"), 1) << h.err(); // told once
}

// News that comes in a burst is all read, however it falls into the
// pieces the helper reads at a time.
TEST_F(Hostile, NewsAfterABurstIsTold)
{
	for (int size : {250000, 254000, 256000, 258000, 260000, 300000}) {
		SCOPED_TRACE(size);
		TinyServer server("idle-burst-" + std::to_string(size), dir_);
		TempDir run;
		HelperProcess h(args(server, {"-instant"}), run.sub("helper.err"));
		EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
		EXPECT_EQ(h.next(std::chrono::seconds(5)), (Answer{"changed\n", ""}));
	}
}

// FETCH answers for UIDs that were not asked, or twice for one, list
// nothing.
TEST_F(Hostile, OnlyWhatWasAskedIsListed)
{
	TinyServer server("unasked", dir_);
	TempDir run;
	HelperProcess h(args(server), run.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), (Answer{"list 1 14\n", "Asked << s >>\n"}));
	EXPECT_EQ(h.err(), "");
}

// A server's words reach a warning masked and without a terminal's
// controls, C1 ones too (CSI, raw and as UTF-8); a password that is part
// of its own mask is masked once.
TEST_F(Hostile, WarningsShowNoPasswordAndNoControls)
{
	const struct {
		const char *password;
		const char *shown;
	} cases[] = {
		{"tiny secret", "NO ?[31m?31m?31mLOGIN alice \"...\""},
		{".", "NO ?[31m?31m?31mLOGIN alice ..."},
		{"..", "NO ?[31m?31m?31mLOGIN alice ..."},
		{"...", "NO ?[31m?31m?31mLOGIN alice ..."},
		// As LOGIN quotes it, too.
		{"se\"c\\ret", "NO ?[31m?31m?31mLOGIN alice \"...\""},
	};
	TinyServer server("echo", dir_);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.password);
		TempDir run;
		const string password = run.write("password", string(c.password) + "\n");
		HelperProcess h(args(server, {}, "cat " + password), run.sub("helper.err"));
		EXPECT_EQ(h.ask("poll", std::chrono::seconds(10)), (Answer{"failed\n", ""}));
		const string err = h.err();
		EXPECT_EQ(err, "boxwarden-imap: imaps://localhost/INBOX: the server refused STATUS: " + string(c.shown) + "\n");
		EXPECT_EQ(err.find('\x9b'), string::npos);
		EXPECT_EQ(err.find('\x1b'), string::npos);
	}
}

// A password command that hangs is given up on within the request's time,
// and so is everything it started; as it is when the helper is ended
// while the command runs, or when the watcher goes (its requests' pipe
// closes).
TEST_F(Hostile, APasswordCommandThatHangsLeavesNothingBehind)
{
	TinyServer server("unasked", dir_);
	const string hang = "sleep 7001 & sleep 7002; echo late";
	{
		TempDir run;
		HelperProcess h(args(server, {}, hang), run.sub("helper.err"));
		const auto start = Clock::now();
		EXPECT_EQ(h.ask("poll", std::chrono::seconds(30)), (Answer{"failed\n", ""}));
		EXPECT_LT(Clock::now() - start, std::chrono::seconds(6 + 2));
		EXPECT_EQ(h.err(), "boxwarden-imap: imaps://localhost/INBOX: passwordCommand did not finish in time\n");
		EXPECT_TRUE(allKilled("sleep 700"));
		EXPECT_TRUE(waitFor([] { return processesStarting("sleep 700").empty(); }));
	}
	// Ended as the watcher ends it: at once, all of it killed before the
	// helper has gone.  Left by the watcher: by the time the request would
	// have ended, when the helper says so.
	for (const char *end : {"ended", "left"}) {
		SCOPED_TRACE(end);
		TempDir run;
		auto h = std::make_unique<HelperProcess>(args(server, {}, hang), run.sub("helper.err"));
		h->ask("poll", std::chrono::seconds(1)); // no answer yet: the command runs
		ASSERT_TRUE(waitFor([] { return processesStarting("sleep 700").size() == 2; }));
		if (string(end) == "ended") {
			h.reset(); // SIGTERM, as the watcher sends it; waits for its end
		} else {
			h->leave();
			ASSERT_TRUE(waitFor([&] { return h->err().find("did not finish in time") != string::npos; }));
		}
		EXPECT_TRUE(allKilled("sleep 700"));
		EXPECT_TRUE(waitFor([] { return processesStarting("sleep 700").empty(); }));
	}
	EXPECT_EQ(server.heard().find("LOGIN"), string::npos);
}

// A password with a line break, a bare CR or a NUL could carry commands
// of its own to the server: it is refused, said why, and never sent.
TEST_F(Hostile, APasswordCannotCarryACommand)
{
	TempDir home;
	const string netrc = home.write(".netrc", "machine localhost login alice password \"x\r\nX9 EXAMINE INBOX\"\n");
	chmod(netrc.c_str(), 0600);
	const struct {
		const char *what;
		string command;
	} cases[] = {
		{"a quoted .netrc token with CR LF", ""},
		{"a command's bare CR", "printf 'x\\rX9 EXAMINE INBOX\\n'"},
		{"a command's NUL", "printf 'x\\0X9 EXAMINE INBOX\\n'"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		TinyServer server("unasked", dir_);
		TempDir run;
		vector<string> a = args(server, {}, c.command);
		if (c.command.empty())
			a.erase(a.begin(), a.begin() + 2);
		HelperProcess h(a, run.sub("helper.err"), {"HOME=" + home.path()});
		EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
		EXPECT_EQ(h.err(), "boxwarden-imap: imaps://localhost/INBOX: the password holds a line break or a NUL, which "
		                   "no login can carry; it is not used\n");
		const string heard = server.heard();
		EXPECT_EQ(heard.find("X9"), string::npos) << heard;
		EXPECT_EQ(heard.find("LOGIN"), string::npos) << heard;
	}
}

// A password of 8-bit characters goes by AUTHENTICATE, never in a LOGIN,
// where IMAP cannot carry it.
TEST_F(Hostile, An8BitPasswordGoesBySaslOnly)
{
	const string password = dir_.write("grüße", "grüße\n");
	{
		TinyServer server("auth-plain", dir_);
		TempDir run;
		HelperProcess h(args(server, {}, "cat " + password), run.sub("helper.err"));
		EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""})) << h.err();
		const string heard = server.heard();
		EXPECT_NE(heard.find("AUTHENTICATE PLAIN\n"), string::npos) << heard;
		EXPECT_NE(heard.find("credentials  alice grüße\n"), string::npos) << heard; // as UTF-8
		EXPECT_EQ(heard.find("LOGIN"), string::npos) << heard;
	}
	{
		TinyServer server("unasked", dir_); // LOGIN only
		TempDir run;
		HelperProcess h(args(server, {}, "cat " + password), run.sub("helper.err"));
		EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
		EXPECT_EQ(h.err(), "boxwarden-imap: imaps://localhost/INBOX: the password or user name has 8-bit characters, "
		                   "which this server would take by LOGIN only, where they cannot go; nothing was sent\n");
		const string heard = server.heard();
		EXPECT_EQ(heard.find("LOGIN"), string::npos) << heard;
		EXPECT_EQ(heard.find("AUTHENTICATE"), string::npos) << heard;
	}
}

// The helper's memory holds the password: it never leaves a core file.
TEST_F(Hostile, NoCoreFile)
{
	TinyServer server("unasked", dir_);
	TempDir run;
	HelperProcess h(args(server), run.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	const string limits = readFile("/proc/" + std::to_string(h.pid()) + "/limits");
	const auto line = limits.find("Max core file size");
	ASSERT_NE(line, string::npos) << limits;
	char soft[32] = "", hard[32] = "";
	std::sscanf(limits.c_str() + line, "Max core file size %31s %31s", soft, hard);
	EXPECT_EQ(string(soft), "0") << limits;
	EXPECT_EQ(string(hard), "0") << limits; // nor can it be raised again
}
