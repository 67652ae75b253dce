#include "decode/decode.h"
#include "scanner/parsers.h"
#include "scanner/scanner.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using std::string;

namespace {

// The waits between re-reads are recorded instead of slept, and a test may
// act during one, as a delivering mail agent would.
std::vector<unsigned> waits;
std::function<void()> duringWait;

void recordWait(unsigned seconds)
{
	waits.push_back(seconds);
	if (duringWait)
		duringWait();
}

class MHFolder : public testing::Test {
protected:
	void SetUp() override
	{
		waits.clear();
		duringWait = nullptr;
		mhRereadWait = recordWait;
	}
	void TearDown() override { setFontCharset(nullptr, nullptr); }

	string message(const string &name, const string &bytes) { return dir.write(name, bytes); }

	TempDir dir;
};

} // namespace

TEST_F(MHFolder, ListedInAlphabeticalOrder)
{
	string expected;
	for (int i = 1; i <= 12; ++i)
		message(std::to_string(i), "From: s" + std::to_string(i) + "\nSubject: t" + std::to_string(i) + "\n");
	for (int i : {1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9})
		expected += "s" + std::to_string(i) + " << t" + std::to_string(i) + " >>\n";
	EXPECT_EQ(scan(dir.path(), SCAN_NEW_ONLY), (ScanResult{12, expected}));
	EXPECT_TRUE(waits.empty());
}

TEST_F(MHFolder, EveryMessageCountsWhateverItsStatus)
{
	message("1", "From: a\nStatus: RO\nSubject: old\n");
	message("2", "Status: O\nFrom: b\n");
	message(".mh_sequences", "unseen: 2\n");
	message(".hidden", "From: h\n");
	for (int flags : {0, SCAN_NEW_ONLY})
		EXPECT_EQ(scan(dir.path(), flags), (ScanResult{2, "a << old >>\nb <<  >>\n"}));
}

TEST_F(MHFolder, EmptyFolder)
{
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{0, ""}));
}

TEST_F(MHFolder, HeaderLinesAnywhereInTheFile)
{
	const struct {
		string what, bytes, line;
	} cases[] = {
		{"From: in the body", "X: y\n\nbody\nFROM: late\n", "late <<  >>\n"},
		{"a later From: replaces an earlier one", "From: a\nFrom: b\nSubject: s\nFrom: c\n", "b << s >>\n"},
		{"reading stops once both are seen", "Subject: s\nFrom: a\nSubject: t\n", "a << s >>\n"},
		{"names and values as in a mailbox file", "from:   First Last <fl>\nsubject:x\n", "First Last << x >>\n"},
		{"a From: in a second piece", "X: " + string(156, 'x') + "From: mid\n", "mid <<  >>\n"},
		{"From lines are no separators here", "From env x\nFrom: a\n", "a <<  >>\n"},
	};
	for (const auto &c : cases) {
		message("1", c.bytes);
		EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, c.line})) << c.what;
	}
	EXPECT_TRUE(waits.empty());
}

TEST_F(MHFolder, AMessageWithoutSenderIsReadFourTimes)
{
	message("1", "Subject: s\n\nno sender yet\n");
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "*Unknown sender* << s >>\n"}));
	EXPECT_EQ(waits, (std::vector<unsigned>{4, 4, 4}));
}

TEST_F(MHFolder, OnlyAMessageWrittenLatelyIsWaitedOn)
{
	// Two minutes untouched: no delivery is going on.
	const struct {
		long age;
		std::size_t waits;
	} cases[] = {{0, 3}, {60, 3}, {100, 3}, {140, 0}, {86400, 0}, {-3600, 3}};
	for (const auto &c : cases) {
		waits.clear();
		string path = message("1", "Subject: s\n");
		const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - c.age, 0}};
		ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
		EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "*Unknown sender* << s >>\n"}));
		EXPECT_EQ(waits.size(), c.waits) << c.age;
	}
}

TEST_F(MHFolder, ASenderThatArrivesDuringTheWaitsEndsThem)
{
	string path = message("1", "");
	duringWait = [&] {
		if (waits.size() == 2)
			message("1", "From: late\nSubject: now\n");
	};
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "late << now >>\n"}));
	EXPECT_EQ(waits.size(), 2u);
}

TEST_F(MHFolder, AMessageRemovedDuringTheWaits)
{
	string path = message("1", "Subject: s\n");
	duringWait = [&] { unlink(path.c_str()); };
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "Failed to open " + path + "\n"}));
	EXPECT_EQ(waits.size(), 1u);
}

TEST_F(MHFolder, EntriesThatAreNotFilesAreNeverWaitedOn)
{
	message("1", "From: a\n");
	std::filesystem::create_directory(dir.sub("2sub"));
	ASSERT_EQ(mkfifo(dir.sub("3fifo").c_str(), 0600), 0);
	makeSocket(dir.sub("4socket"));
	std::filesystem::create_symlink("/dev/null", dir.sub("5null"));
	std::filesystem::create_symlink("/dev/zero", dir.sub("6zero"));
	std::filesystem::create_symlink(dir.sub("3fifo"), dir.sub("7fifolink"));
	std::filesystem::create_symlink(dir.sub("gone"), dir.sub("8dangling"));
	std::filesystem::create_symlink("1", dir.sub("9link"));

	const string unknown = "*Unknown sender* <<  >>\n";
	EXPECT_EQ(scan(dir.path(), 0),
	          (ScanResult{9, "a <<  >>\n" + unknown + unknown + "Failed to open " + dir.sub("4socket") + "\n" +
	                             unknown + unknown + unknown + "Failed to open " + dir.sub("8dangling") + "\n" +
	                             "a <<  >>\n"}));
	EXPECT_TRUE(waits.empty());
}

// A FIFO is never opened: that would release a writer waiting on it (who
// would then die of SIGPIPE).
TEST_F(MHFolder, AFifoIsNeverOpened)
{
	FifoWriter writer(dir.sub("2fifo"));
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "*Unknown sender* <<  >>\n"}));
	EXPECT_TRUE(writer.waiting());
}

// A file's name is a stranger's: it never forges a line of the list.
TEST_F(MHFolder, NamesNeverForgeALine)
{
	makeSocket(dir.sub("7\nForged << x >>\x9b\xff"));
	EXPECT_EQ(scan(dir.path(), 0), (ScanResult{1, "Failed to open " + dir.sub("7?Forged << x >>\x9b\xff") + "\n"}));
	EXPECT_EQ(scan(dir.path(), SCAN_UTF8), (ScanResult{1, "Failed to open " + dir.sub("7?Forged << x >>›ÿ") + "\n"}));
}

TEST_F(MHFolder, MessagePathsUpTo1023Characters)
{
	// Folders nested deep enough that an entry's path passes 1023.
	string folder = dir.path();
	while (1023 - folder.size() - 1 > 250) {
		folder += "/" + string(200, 'd');
		std::filesystem::create_directory(folder);
	}
	const std::size_t fits = 1023 - folder.size() - 1;
	string longest = folder + "/" + string(fits, '1');
	string tooLong = folder + "/" + string(fits + 1, '2');
	std::ofstream(longest) << "From: fits\n";
	std::ofstream(tooLong) << "From: too long\n";
	ASSERT_EQ(longest.size(), 1023u);
	EXPECT_EQ(scan(folder, 0), (ScanResult{2, "fits <<  >>\nFailed to open " + tooLong + "\n"}));
}

TEST_F(MHFolder, RoomRule)
{
	message("1", "From: a\nSubject: s\n"); // "a << s >>\n", 10 characters
	message("2", "From: bbbbbb\nSubject: s\n");
	message("3", "From: c\n");
	EXPECT_EQ(scan(dir.path(), 0, 20), (ScanResult{3, "a << s >>\n"}));
	EXPECT_EQ(scan(dir.path(), 0, 35), (ScanResult{3, "a << s >>\nbbbbbb << s >>\nc <<  >>\n"}));
	EXPECT_EQ(scan(dir.path(), 0, 10), (ScanResult{3, ""}));
}

// Once the room is gone nothing more can be listed: the rest are counted
// by their entries, never opened, and one being delivered is not waited on.
TEST_F(MHFolder, NothingIsOpenedPastTheRoom)
{
	message("1", "From: a\nSubject: s\n"); // "a << s >>\n", 10 characters
	message("2", "Subject: no sender yet\n");  // written just now
	EXPECT_EQ(scan(dir.path(), 0, 10), (ScanResult{2, ""})); // the first takes the room
	EXPECT_TRUE(waits.empty());
	TracedScan traced = scanTraced(dir.path(), SCAN_DEBUG, 10);
	EXPECT_EQ(traced.out, "Mailbox: " + dir.path() + ", flags: 4\nMHparseMailbox(" + dir.path() + ")\nMHparseOne(" +
	                          dir.sub("1") + ")\nMHparseOne(" + dir.sub("2") + ")\n");
	EXPECT_TRUE(waits.empty());
}

TEST_F(MHFolder, DecodesAndShortensSenders)
{
	setFontCharset("ISO8859", "1");
	message("1", "From: =?iso-8859-1?q?Jos=E9?= <j@x>\nSubject: =?iso-8859-1?q?caf=E9_au_lait?=\n");
	EXPECT_EQ(scan(dir.path(), SCAN_MIME), (ScanResult{1, "Jos << caf\xE9 au lait >>\n"}));
	EXPECT_EQ(scan(dir.path(), SCAN_MIME | SCAN_FULL_NAMES), (ScanResult{1, "Jos\xE9 <j@x> << caf\xE9 au lait >>\n"}));
	EXPECT_EQ(scan(dir.path(), 0),
	          (ScanResult{1, "=?iso-8859-1?q?Jos=E9?= << =?iso-8859-1?q?caf=E9_au_lait?= >>\n"}));
}

TEST_F(MHFolder, Trace)
{
	message("1", "From: a\n");
	message(".hidden", "");
	TracedScan traced = scanTraced(dir.path(), SCAN_DEBUG | SCAN_NEW_ONLY);
	EXPECT_EQ(traced.result, (ScanResult{1, "a <<  >>\n"}));
	EXPECT_EQ(traced.out, "Mailbox: " + dir.path() + ", flags: 5\n" + "MHparseMailbox(" + dir.path() + ")\n" +
	                          "MHparseOne(" + dir.sub("1") + ")\n");
}

TEST_F(MHFolder, FolderThatCannotBeListed)
{
	char text[16] = "x";
	Summary summary = startSummary(text, sizeof text);
	testing::internal::CaptureStderr();
	EXPECT_EQ(MHparseMailbox(dir.sub("gone").c_str(), summary, 0), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "scandir mailbox: No such file or directory\n");
	EXPECT_STREQ(text, "");
}

TEST_F(MHFolder, ScanLeavesTheFolderAsItWas)
{
	string path = message("1", "Subject: s\n");
	const timespec times[2] = {{1000000000, 0}, {1500000000, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
	scan(dir.path(), 0);
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(readFile(path), "Subject: s\n");
	EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
	EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
}
