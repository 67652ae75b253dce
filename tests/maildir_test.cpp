// Maildir folders: which messages are listed, in what order, and what is
// read of them; mail delivered and flagged by mblaze and written by
// Python's mailbox module, and a small fixture where a rule needs one.
#include "scanner/scanner.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using std::string;
namespace fs = std::filesystem;

namespace {

string note(const string &from, const string &subject)
{
	return "From: " + from + "\nSubject: " + subject + "\n\nFrom: not a header\nSubject: body\n";
}

// A Maildir with its three folders, in dir.
string maildir(const TempDir &dir, const string &name = "Maildir")
{
	const string path = dir.sub(name);
	for (const char *sub : {"cur", "new", "tmp"})
		fs::create_directories(path + "/" + sub);
	return path;
}

// Runs a shell command line; mblaze's tools are run this way.
void shell(const string &command)
{
	ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

} // namespace

TEST(Maildir, WhichMessagesShowAndInWhatOrder)
{
	TempDir dir;
	const string md = maildir(dir);
	const struct {
		const char *name, *from;
	} files[] = {
		{"new/1000.a", "Ann"},          {"cur/2000.b:2,S", "Bob"},     {"cur/1500.c:2,RS", "Cid"},
		{"cur/1200.d:2,T", "Dee"},      {"cur/1300.e:2,", "Eve"},      {"cur/1400.f!2,FS", "Fay"},
		{"new/1600.g:2,ST", "Gus"},     {"new/.hidden", "Hal"},        {"tmp/3000.i", "Ivy"},
		{"cur/20.j:2,R", "Jon"},        {"new/100.k", "Kim"},          {"cur/1000.0", "Lee"},
		{"cur/x.m", "Mo"},              {".Sent/cur/10.n", "Ned"},     {"new/1000.a:2,S", "Oto"},
	};
	fs::create_directories(md + "/.Sent/cur");
	for (const auto &f : files)
		dir.write(string("Maildir/") + f.name, note(f.from, fs::path(f.name).filename()));
	EXPECT_EQ(scan(md, SCAN_NEW_ONLY), (ScanResult{7, "Mo << x.m >>\n"
	                                                  "Jon << 20.j:2,R >>\n"
	                                                  "Kim << 100.k >>\n"
	                                                  "Lee << 1000.0 >>\n"
	                                                  "Ann << 1000.a >>\n"
	                                                  "Oto (S) << 1000.a:2,S >>\n"
	                                                  "Eve << 1300.e:2, >>\n"}));
	EXPECT_EQ(scan(md, 0), (ScanResult{10, "Mo << x.m >>\n"
	                                       "Jon << 20.j:2,R >>\n"
	                                       "Kim << 100.k >>\n"
	                                       "Lee << 1000.0 >>\n"
	                                       "Ann << 1000.a >>\n"
	                                       "Oto (S) << 1000.a:2,S >>\n"
	                                       "Eve << 1300.e:2, >>\n"
	                                       "Fay (FS) << 1400.f!2,FS >>\n"
	                                       "Cid (RS) << 1500.c:2,RS >>\n"
	                                       "Bob (S) << 2000.b:2,S >>\n"}));
}

TEST(Maildir, OnlyTheHeaderBlockIsRead)
{
	const struct {
		const char *what;
		string message;
		int flags;
		string line;
	} cases[] = {
		{"the body is never read", note("a", "s"), 0, "a << s >>\n"},
		{"a later From: in the header wins", "From: a\nFrom: b\nSubject: s\n\n", 0, "b << s >>\n"},
		{"no sender", "Subject: s\n\nFrom: body\n", 0, "*Unknown sender* << s >>\n"},
		{"CR-LF lines", "From: a\r\n\r\nFrom: body\r\nSubject: body\r\n", 0, "a <<  >>\n"},
		{"CR-LF line ends are no part of a value", "From: a\r\nSubject: s\r\n\r\n", 0, "a << s >>\n"},
		{"header names in any case", "FROM: a\nsubject: s\n", 0, "a << s >>\n"},
		{"a header line goes on past a piece", "X-Long: " + string(151, 'x') + "From: no\nFrom: a\n", 0, "a <<  >>\n"},
		{"names and decoding", "From: =?iso-8859-1?q?Jos=E9?= <j@x>\nSubject: =?utf-8?b?5Lya6K2w?=\n",
		 SCAN_MIME | SCAN_UTF8, "José << 会議 >>\n"},
		{"folded, in the international list", "Subject: a\n b\nFrom: z\n\n c\n", SCAN_MIME | SCAN_UTF8,
		 "z << a b >>\n"},
		{"full names", "From: Ann <a@x>\n", SCAN_FULL_NAMES, "Ann <a@x> <<  >>\n"},
	};
	for (const auto &c : cases) {
		TempDir dir;
		const string md = maildir(dir);
		dir.write("Maildir/new/1.m", c.message);
		EXPECT_EQ(scan(md, c.flags), (ScanResult{1, c.line})) << c.what;
	}
}

TEST(Maildir, WhatTheProducersWrite)
{
	TempDir dir;
	const string md = maildir(dir);
	// mblaze: delivered new, one moved to cur by minc and marked seen,
	// one trashed.
	for (const char *who : {"Ann", "Bob", "Cid"})
		shell("printf 'From: " + string(who) + " <x@y>\\nSubject: hi " + who + "\\n\\nbody\\n' | mdeliver " + md);
	EXPECT_EQ(scan(md, SCAN_NEW_ONLY).count, 3);
	shell("minc " + md + " >/dev/null");
	shell("mflag -S $(grep -l 'From: Bob' " + md + "/cur/*) >/dev/null");
	shell("mflag -T $(grep -l 'From: Cid' " + md + "/cur/*) >/dev/null");
	EXPECT_EQ(scan(md, SCAN_NEW_ONLY), (ScanResult{1, "Ann << hi Ann >>\n"}));
	EXPECT_EQ(scan(md, 0), (ScanResult{2, "Ann << hi Ann >>\nBob (S) << hi Bob >>\n"}));

	// Python's mailbox module, with "!" for the colon that some file
	// systems refuse.
	const string py = dir.sub("py");
	produce({"encode_header.py", "maildir", py, "!", "Zoë <z@x>", "Grüße", "S"});
	produce({"encode_header.py", "maildir", py, "!", "Ana <a@x>", "mañana", ""});
	EXPECT_EQ(scan(py, SCAN_NEW_ONLY | SCAN_MIME | SCAN_UTF8), (ScanResult{1, "Ana << mañana >>\n"}));
	// Two messages of one second: the order of their names is chance.
	ScanResult both = scan(py, SCAN_MIME | SCAN_UTF8);
	EXPECT_EQ(both.count, 2);
	EXPECT_TRUE(both.summary == "Zoë (S) << Grüße >>\nAna << mañana >>\n" ||
	            both.summary == "Ana << mañana >>\nZoë (S) << Grüße >>\n")
		<< both.summary;
}

TEST(Maildir, EmptyOrNoMaildirAtAll)
{
	TempDir dir;
	EXPECT_EQ(scan(maildir(dir), SCAN_NEW_ONLY), (ScanResult{0, ""}));
	// Without cur it is an MH folder, whose entries are new and tmp.
	const string half = dir.sub("half");
	fs::create_directories(half + "/new");
	fs::create_directories(half + "/tmp");
	dir.write("half/new/1.m", note("a", "s"));
	EXPECT_EQ(scan(half, SCAN_NEW_ONLY).count, 2);
	timespec changed{};
	EXPECT_FALSE(isMaildir(half.c_str(), &changed));
	EXPECT_FALSE(isMaildir(dir.write("file", "x").c_str(), &changed));
}

// To the nanosecond: a delivery and a reader's move often come within the
// same second.
TEST(Maildir, ItsTimeIsTheLaterOfNewAndCur)
{
	TempDir dir;
	const string md = maildir(dir);
	struct Case {
		timespec fresh, cur, later;
	};
	for (const auto &[fresh, cur, later] : {Case{{1000, 0}, {2000, 0}, {2000, 0}}, Case{{3000, 0}, {2000, 0}, {3000, 0}},
	                                        Case{{3000, 5}, {3000, 7}, {3000, 7}}, Case{{3000, 9}, {3000, 7}, {3000, 9}}}) {
		const timespec n[2] = {fresh, fresh}, c[2] = {cur, cur};
		utimensat(AT_FDCWD, (md + "/new").c_str(), n, 0);
		utimensat(AT_FDCWD, (md + "/cur").c_str(), c, 0);
		timespec changed{};
		ASSERT_TRUE(isMaildir(md.c_str(), &changed));
		EXPECT_EQ(changed.tv_sec, later.tv_sec);
		EXPECT_EQ(changed.tv_nsec, later.tv_nsec);
	}
}

TEST(Maildir, WhatIsNoMessageIsNeverRead)
{
	TempDir dir;
	const string md = maildir(dir);
	fs::create_directories(md + "/new/1.folder");
	ASSERT_EQ(mkfifo((md + "/new/2.fifo").c_str(), 0600), 0);
	makeSocket(md + "/cur/3.socket");
	fs::create_symlink("/dev/zero", md + "/cur/4.zero");
	fs::create_symlink(md + "/nowhere", md + "/cur/5.dangling");
	dir.write("Maildir/cur/6.m", note("a", "s"));
	TracedScan traced = scanTraced(md, SCAN_NEW_ONLY);
	EXPECT_EQ(traced.result, (ScanResult{5, "*Unknown sender* <<  >>\n"
	                                        "*Unknown sender* <<  >>\n"
	                                        "Failed to open " + md + "/cur/3.socket\n"
	                                        "*Unknown sender* <<  >>\n"
	                                        "a << s >>\n"}));
	EXPECT_EQ(scanTraced(md, SCAN_NEW_ONLY | SCAN_DEBUG).out,
	          "Mailbox: " + md + ", flags: 5\nMDparseMailbox(" + md + ")\nMDparseOne(" + md + "/new/1.folder)\n"
	          "MDparseOne(" + md + "/new/2.fifo)\nMDparseOne(" + md + "/cur/3.socket)\nMDparseOne(" + md +
	          "/cur/4.zero)\nMDparseOne(" + md + "/cur/5.dangling)\nMDparseOne(" + md + "/cur/6.m)\n");
}

// A file's name is a stranger's: it never forges a line of the list, in
// either list; only the letters of its flags are a status, those after
// its first ":2,".
TEST(Maildir, NamesNeverForgeALine)
{
	TempDir dir;
	const string md = maildir(dir);
	makeSocket(md + "/cur/3.z\nForged << x >>"); // which cannot be opened: its name is shown
	dir.write("Maildir/cur/4.m:2,S\nFake << y >>", note("a", "s"));
	dir.write("Maildir/cur/5.m:2,S:2,", note("b", "t"));
	dir.write("Maildir/cur/6.m:2,ST:2,", note("c", "u"));
	makeSocket(md + "/cur/7.\xff\x1b[2J");
	const struct {
		int flags;
		string lines;
	} cases[] = {
		{0, "Failed to open " + md + "/cur/3.z?Forged << x >>\n" + "a (SFakey) << s >>\n" + "b (S) << t >>\n" +
		        "Failed to open " + md + "/cur/7.\xff?[2J\n"},
		{SCAN_UTF8, "Failed to open " + md + "/cur/3.z?Forged << x >>\n" + "a (SFakey) << s >>\n" + "b (S) << t >>\n" +
		                "Failed to open " + md + "/cur/7.ÿ?[2J\n"},
		{SCAN_NEW_ONLY, "Failed to open " + md + "/cur/3.z?Forged << x >>\n" + "Failed to open " + md +
		                    "/cur/7.\xff?[2J\n"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(scan(md, c.flags), (ScanResult{static_cast<int>(std::count(c.lines.begin(), c.lines.end(), '\n')), c.lines}))
			<< c.flags;
}

// A FIFO is never opened: that would release a writer waiting on it (who
// would then die of SIGPIPE).
TEST(Maildir, AFifoIsNeverOpened)
{
	TempDir dir;
	const string md = maildir(dir);
	FifoWriter writer(md + "/new/2.fifo");
	EXPECT_EQ(scan(md, 0), (ScanResult{1, "*Unknown sender* <<  >>\n"}));
	EXPECT_TRUE(writer.waiting());
}

TEST(Maildir, ScanLeavesTheMaildirAsItWas)
{
	TempDir dir;
	const string md = maildir(dir);
	const string path = dir.write("Maildir/new/1.m", note("a", "s"));
	const timespec times[2] = {{1000, 0}, {2000, 0}}; // read before it was written: unread
	utimensat(AT_FDCWD, path.c_str(), times, 0);
	ASSERT_EQ(scan(md, SCAN_NEW_ONLY).count, 1);
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_atime, 1000);
	EXPECT_EQ(st.st_mtime, 2000);
	EXPECT_EQ(readFile(path), note("a", "s"));
}

// A mail reader moving messages from new to cur and changing their flags
// while the watcher scans: a message is seen in one place or the other,
// or not at all, and never fails to open.
TEST(Maildir, MessagesMovedDuringScans)
{
	TempDir dir;
	const string md = maildir(dir);
	constexpr int kMessages = 20;
	for (int i = 0; i < kMessages; ++i)
		dir.write("Maildir/new/" + std::to_string(1000 + i) + ".m", note("a" + std::to_string(i), "s"));
	std::atomic<bool> done{false};
	std::atomic<int> moves{0};
	std::thread reader([&] {
		auto place = [&](int round, int i) {
			const char *const folders[] = {"/new/", "/cur/", "/cur/", "/cur/"};
			const char *const info[] = {"", ":2,", ":2,S", ":2,RS"};
			return md + folders[round % 4] + std::to_string(1000 + i) + ".m" + info[round % 4];
		};
		for (int round = 0; !done; ++round)
			for (int i = 0; i < kMessages; ++i)
				if (std::rename(place(round, i).c_str(), place(round + 1, i).c_str()) == 0)
					++moves;
	});
	// Joined however the test ends, so that a failure is reported, not
	// ended by a thread left running.
	struct Join {
		std::atomic<bool> &done;
		std::thread &thread;
		~Join()
		{
			done = true;
			thread.join();
		}
	} join{done, reader};
	const std::regex line(R"(a\d+( \((S|RS)\))? << s >>\n)");
	int scans = 0;
	while (scans < 300 || moves < 2000) {
		for (int flags : {0, SCAN_NEW_ONLY}) {
			ScanResult r = scan(md, flags);
			EXPECT_GE(r.count, 0);
			EXPECT_LE(r.count, kMessages);
			for (std::size_t at = 0, end; (end = r.summary.find('\n', at)) != string::npos; at = end + 1)
				ASSERT_TRUE(std::regex_match(r.summary.substr(at, end + 1 - at), line)) << r.summary;
			++scans;
		}
	}
}
