// Mailboxes that are broken, hostile or changing under the watcher: it
// keeps polling, answers events, shows what it should, prints nothing but
// its own messages, and leaves the mailbox exactly as it was.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "scanner/scanner.h"
#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using std::string;
using std::vector;
using std::string_literals::operator""s;
namespace fs = std::filesystem;

namespace {

constexpr long kT1 = 1700000000; // Tue Nov 14 22:13:20 2023 UTC
constexpr long kT2 = kT1 + 60;   // Tue Nov 14 22:14:20 2023
const string kTime1 = "Tue Nov 14 22:13:20 2023";
const string kTime2 = "Tue Nov 14 22:14:20 2023";

// The user nobody, for files that must be unreadable: root reads all.
const vector<string> kAsNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

string oneMessage()
{
	return message("a", "s");
}

struct Stamp {
	string bytes;
	timespec mtime, atime;
	bool operator==(const Stamp &o) const
	{
		return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
		       atime.tv_sec == o.atime.tv_sec && atime.tv_nsec == o.atime.tv_nsec;
	}
};

// A regular file's bytes and times, read without touching them.
Stamp stamp(const string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
		return {};
	Stamp result{"", st.st_mtim, st.st_atim};
	int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
	char buf[65536];
	for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
		result.bytes.append(buf, static_cast<std::size_t>(n));
	if (fd >= 0)
		close(fd);
	return result;
}

// Mail not yet read: its access time is before its modification time.
void markUnread(const string &path)
{
	const timespec times[2] = {{kT1 - 3600, 0}, {kT1, 0}};
	utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct Fault {
	const char *what;
	std::function<void(const TempDir &)> before; // makes "mbox"
	std::function<void(const TempDir &)> change; // while the watcher runs; may be empty
	string trace;                                // what the rescan of the last state says
	string title;                                // "" when none is ever set
	bool mailLook;
	bool asNobody = false;
	bool rings = false;                          // at all
};

void run(const Fault &f)
{
	SCOPED_TRACE(f.what);
	XSession x;
	TempDir dir;
	fs::permissions(dir.path(), fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
	f.before(dir);
	const string mbox = dir.sub("mbox");
	markUnread(mbox);
	Stamp before = stamp(mbox);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-poll", "1", "-fakeIcon", "-keepIcon"},
	          f.asNobody ? kAsNobody : vector<string>{});
	const Window list = x.waitForShown("boxwardenList");
	ASSERT_NE(list, 0u) << w.err();
	ASSERT_TRUE(w.waitForOutput("MapNotify\n"));
	if (f.change) {
		{
			const HeldStill held = w.hold(); // seen in one look, done in several steps
			f.change(dir);
		}
		before = stamp(mbox);
		ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", occurrences(w.out(), "rescanMailbox 1\n") + 1));
	}

	// It shows what it should.
	EXPECT_TRUE(w.waitForOutput(f.trace)) << f.trace;
	if (f.title.empty())
		EXPECT_EQ(x.wmName(list), "boxwardenList");
	else
		EXPECT_TRUE(x.waitUntil([&] { return x.wmName(list) == f.title; })) << x.wmName(list);
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == (f.mailLook ? kBlack : kWhite); }));
	EXPECT_EQ(!x.bells().empty(), f.rings);

	// It goes on polling and answers events.
	const int polls = occurrences(w.out(), "rescanMailbox 1\n");
	EXPECT_TRUE(w.waitForOutput("rescanMailbox 1\n", polls + 2));
	ASSERT_EQ(x.run("xdotool windowminimize " + std::to_string(list)), 0);
	EXPECT_TRUE(w.waitForOutput("UnmapNotify\nrescanMailbox 0\n"));
	EXPECT_TRUE(x.waitUntil([&] { return !x.isViewable(list); }));
	EXPECT_TRUE(w.running());

	// Nothing but its own messages, and nothing changed.
	EXPECT_EQ(w.err(), "");
	EXPECT_TRUE(stamp(mbox) == before);
}

string tenMegabyteLine()
{
	return "From a x\nSubject: s\n\n" + string(10 << 20, 'x');
}

string randomBytes()
{
	std::mt19937 random(4);
	string bytes(1 << 20, '\0');
	for (char &c : bytes)
		c = static_cast<char>(random());
	return bytes;
}

} // namespace

TEST(Faults, MailboxFiles)
{
	const string binary = randomBytes();
	int binaryCount = 0;
	{
		TempDir probe;
		binaryCount = scan(probe.write("mbox", binary), SCAN_NEW_ONLY | SCAN_MIME).count;
	}
	const auto file = [](string bytes) { return [bytes](const TempDir &d) { d.write("mbox", bytes); }; };
	const Fault faults[] = {
		{"NUL bytes", file("From a x\nSubject: a\0b\n\0\n\nFrom b\0y\n\n"s), {},
		 "Scanned, 1 2 " + kTime1, "Mail at " + kTime1, true, false, true},
		{"CR-LF line ends", file("From a x\r\nSubject: s\r\n\r\nbody\r\n\r\nFrom b y\r\n"), {},
		 "Scanned, 1 1 " + kTime1, "Mail at " + kTime1, true, false, true},
		{"a 10 MB line without a newline", file(tenMegabyteLine()), {}, "Scanned, 1 1 " + kTime1,
		 "Mail at " + kTime1, true, false, true},
		{"random binary", file(binary), {}, "Scanned, 1 " + std::to_string(binaryCount) + " " + kTime1,
		 (binaryCount != 0 ? "Mail at " : "No mail since ") + kTime1, binaryCount > 0, false, binaryCount != 0},
		{"truncated to zero", file(oneMessage()), [](const TempDir &d) { writeMailbox(d.sub("mbox"), "", kT2); },
		 "Empty, 1 " + kTime2, "No mail since " + kTime2, false, false, true},
		{"deleted", file(oneMessage()), [](const TempDir &d) { fs::remove(d.sub("mbox")); },
		 "No mail file, 1 1\n", "No mail", false, false, true},
		{"replaced by a folder", file(oneMessage()),
		 [](const TempDir &d) {
			 fs::remove(d.sub("mbox"));
			 fs::create_directory(d.sub("mbox"));
			 setMtime(d.sub("mbox"), kT2);
		 },
		 "Scanned, 1 0 " + kTime2, "No mail since " + kTime2, false, false, true},
		{"a link loop", [](const TempDir &d) { fs::create_symlink("loop", d.sub("mbox")); fs::create_symlink("mbox", d.sub("loop")); },
		 {}, "No mail file, 1 0\n", "", false},
		{"a dangling link", [](const TempDir &d) { fs::create_symlink("gone", d.sub("mbox")); }, {},
		 "No mail file, 1 0\n", "", false},
		{"unreadable", file(oneMessage()), [](const TempDir &d) {
			 fs::permissions(d.sub("mbox"), fs::perms::none);
			 setMtime(d.sub("mbox"), kT2);
		 },
		 "Scanned, 1 -1 " + kTime2, "Mail at " + kTime2, false, true, true},
	};
	for (const Fault &f : faults)
		run(f);
}

TEST(Faults, MHFolders)
{
	const auto messageFile = [](const TempDir &d, const string &name) {
		std::ofstream(d.sub("mbox/" + name)) << "From: " << name << "\nSubject: s\n";
	};
	const Fault faults[] = {
		{"things that are not messages",
		 [&](const TempDir &d) {
			 fs::create_directory(d.sub("mbox"));
			 messageFile(d, "1");
			 fs::create_directory(d.sub("mbox/2sub"));
			 mkfifo(d.sub("mbox/3fifo").c_str(), 0644);
			 makeSocket(d.sub("mbox/4socket"));
			 fs::create_symlink("/dev/zero", d.sub("mbox/5zero"));
			 std::ofstream(d.sub("mbox/6unreadable")) << "From: secret\n";
			 fs::permissions(d.sub("mbox/6unreadable"), fs::perms::none);
			 messageFile(d, "7");
			 setMtime(d.sub("mbox"), kT1);
		 },
		 {}, "Scanned, 1 7 " + kTime1, "Mail at " + kTime1, true, true, true},
		{"10,000 messages",
		 [&](const TempDir &d) {
			 fs::create_directory(d.sub("mbox"));
			 for (int i = 1; i <= 10000; ++i)
				 messageFile(d, std::to_string(i));
			 setMtime(d.sub("mbox"), kT1);
		 },
		 {}, "Scanned, 1 10000 " + kTime1, "Mail at " + kTime1, true, false, true},
	};
	for (const Fault &f : faults)
		run(f);
}

TEST(Faults, PathsAreNeverFormats)
{
	XSession x;
	TempDir dir;
	const string name = "my box %s %n %d%%";
	writeMailbox(dir.sub(name), oneMessage(), kT1);
	Watcher w(x, dir.path(), {"-mailbox", name, "-debug", "-poll", "1"});
	EXPECT_TRUE(w.waitForOutput("Scanned, 1 1 " + kTime1));
	EXPECT_TRUE(w.waitForOutput("rescanMailbox 1\n", 2));
	const string out = w.out();
	EXPECT_EQ(out.substr(0, out.find('\n') + 1), "mailbox " + name + ", pollInterval 1\n");
	EXPECT_EQ(occurrences(out, "Mailbox: " + name + ", flags: 13\n"), 1);
	EXPECT_EQ(w.err(), "");
	EXPECT_TRUE(w.running());
}

TEST(Faults, DisplayGoesAway)
{
	XSession x;
	TempDir dir;
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-poll", "1"});
	ASSERT_TRUE(w.waitForOutput("MapNotify\n"));
	const auto killed = Clock::now();
	x.killServer();
	ASSERT_TRUE(x.waitUntil([&] { return !w.running(); }, std::chrono::seconds(5)));
	const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
	const int status = w.exitStatus();
	EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status); // no crash, no core
	EXPECT_EQ(WEXITSTATUS(status), 1);
	std::printf("the watcher ended %lld ms after its display\n", static_cast<long long>(took.count()));
}

TEST(Faults, AFloodOfTinyMessages)
{
	// 3,555 lines of 9 characters fill the list; a label of them all
	// would be 46,219 pixels tall, past what X can place and scroll.
	XSession x;
	TempDir dir;
	string mbox;
	for (int i = 0; i < 4000; ++i)
		mbox += "From a" + std::to_string(i % 10) + "\n\n";
	writeMailbox(dir.sub("mbox"), mbox, kT1);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-poll", "1"});
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 4000 " + kTime1));
	// The newest lines that a drag to the bottom of a 160-pixel viewport
	// can bring into view: 1,968 lines of 13 pixels and the margins.
	EXPECT_TRUE(x.waitUntil([&] {
		ListView view = listView(x, list);
		return view.labelHeight == 1968 * 13 + 4 && view.atEnd();
	})) << listView(x, list).labelHeight << " " << listView(x, list).labelY;
	EXPECT_EQ(w.err(), "");
}
