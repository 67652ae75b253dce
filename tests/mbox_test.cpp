#include "scanner/scanner.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using std::string;
using std::string_literals::operator""s;

namespace {

const string kCtrlA4 = "\x01\x01\x01\x01\n";

struct Case {
	const char *what;
	string mbox;
	int flags;
	string summary;
	int count;
};

// Every case is scanned twice: as it is, and with tracing on, which sends
// every piece down the careful path instead of skipping body text.
void expectScans(const Case &c)
{
	TempDir dir;
	string path = dir.write("mbox", c.mbox);
	EXPECT_EQ(scan(path, c.flags), (ScanResult{c.count, c.summary})) << c.what;
	EXPECT_EQ(scanTraced(path, c.flags | SCAN_DEBUG).result, (ScanResult{c.count, c.summary}))
		<< c.what << " (traced)";
}

string pad(string start, std::size_t length, char fill = 'x')
{
	start.resize(length, fill);
	return start;
}

} // namespace

TEST(Mbox, MessagesAndTheirLines)
{
	const Case cases[] = {
		{"empty file", "", SCAN_NEW_ONLY, "", 0},
		{"one message", "From a x\nSubject: hi\n\nbody\n", SCAN_NEW_ONLY, "a << hi >>\n", 1},
		{"last line without newline", "From a x\nSubject: hi", 0, "a << hi >>\n", 1},
		{"status hides it when new only", "From a x\nSubject: hi\nStatus: O\n\nbody\n", SCAN_NEW_ONLY, "", 0},
		{"status shown otherwise", "From a x\nSubject: hi\nStatus: O\n\nbody\n", 0, "a (O) << hi >>\n", 1},
		{"status RO", "From a x\nStatus: RO\nSubject: s\n\n", 0, "a (RO) << s >>\n", 1},
		{"new and old mixed", "From a x\nStatus: RO\n\nFrom b x\n\nFrom c x\nStatus: O\n\nFrom d x\n",
		 SCAN_NEW_ONLY, "b <<  >>\nd <<  >>\n", 2},
		{"From: replaces the envelope sender", "From env x\nFrom: Real Name <r@x>\nSubject: s\n\n", 0,
		 "Real Name << s >>\n", 1},
		{"envelope sender without From:", "From env@x Mon Jan 1\nSubject: s\n\n", 0, "env@x << s >>\n", 1},
		{"full names", "From e x\nFrom: Real Name <r@x>\n\n", SCAN_FULL_NAMES, "Real Name <r@x> <<  >>\n", 1},
		{"address only", "From e x\nFrom: <r@x>\nSubject: s\n\n", 0, " << s >>\n", 1},
		{"header names in any case", "From a x\nFROM: b\nSUBJECT: s\nsTaTuS: R\n\n", 0, "b (R) << s >>\n", 1},
		{"no blank after the colon", "From a x\nfrom:b\nsubject:s\n\n", 0, "b << s >>\n", 1},
		{"blank values leave fields alone", "From a x\nFrom:   \t\nSubject:\nStatus: \n\n", 0, "a <<  >>\n", 1},
		{"value keeps inner blanks", "From a x\nSubject:   two  words \n\n", 0, "a << two  words  >>\n", 1},
		{"Resent-From: is not From:", "From a x\nResent-From: z\n\n", 0, "a <<  >>\n", 1},
		{"continuation lines ignored", "From a x\nSubject: first\n  second\nFrom: b\n\n", 0, "b << first >>\n", 1},
		{"later header wins", "From a x\nSubject: one\nSubject: two\n\n", 0, "a << two >>\n", 1},
		{"no sender: subject carries over", "Subject: orphan\n\nFrom a x\n\n", 0, "a << orphan >>\n", 1},
		{"blank lines before a sender keep the headers open", "\n\nSubject: s\n\nFrom: f\n\nSubject: t\n", 0,
		 "f << s >>\n", 1},
		{"status word only", "From a x\nStatus: RO extra\n\n", 0, "a (RO) <<  >>\n", 1},
		{"long status keeps 79", "From a x\nStatus: " + string(100, 'R') + "\n\n", 0,
		 "a (" + string(79, 'R') + ") <<  >>\n", 1},
		{"message without sender at the end", "From a x\n\nbody\n\n\x01\nSubject: s\n", 0, "a <<  >>\n", 1},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Mbox, Separators)
{
	const Case cases[] = {
		{"From after a blank line in the body", "From a x\nSubject: one\n\nbody\n\nFrom b y\nSubject: two\n\nmore\n",
		 0, "a << one >>\nb << two >>\n", 2},
		{"Fromage", "From a x\n\nbody\n\nFromage x\n", 0, "a <<  >>\nage <<  >>\n", 2},
		{"the word is folded with the name", "FromAGE x\n", 0, "age <<  >>\n", 1},
		{"From: after a blank line is neither", "From a x\nSubject: s\n\nbody\n\nFrom: c\n", 0, "a << s >>\n", 1},
		{"From without a blank line before", "From a x\n\nbody\nFrom b y\n", 0, "a <<  >>\n", 1},
		{"tab and several blanks", "From\tb\n\nFrom   c\n", 0, "b <<  >>\nc <<  >>\n", 2},
		{"From alone", "From\n\nFrom \n", 0, "", 0},
		{"From : word", "From :x\nSubject: s\n", 0, "", 0},
		{"first line only needs no blank", "From a\nFrom b\n", 0, "a <<  >>\n", 1},
		{"envelope sender of 155", "From" + string(200, 'X') + "\n", 0, string(155, 'x') + " <<  >>\n", 1},
		{"envelope sender after a blank", "From " + string(200, 'y') + "\n", 0, string(154, 'y') + " <<  >>\n", 1},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Mbox, ValuesAreCutAtSeventyCharacters)
{
	for (std::size_t length : {69, 70, 71, 150}) {
		string value = pad("v", length, 'v');
		string kept = value.substr(0, 70);
		const Case cases[] = {
			{"subject", "From a x\nSubject: " + value + "\n\n", 0, "a << " + kept + " >>\n", 1},
			{"from", "From a x\nFrom: " + value + "\n\n", 0, kept + " <<  >>\n", 1},
		};
		for (const Case &c : cases)
			expectScans(c);
	}
}

TEST(Mbox, LongLinesArriveInPiecesOf159)
{
	const Case cases[] = {
		{"header line of 158", "From a x\n" + pad("X-Long: ", 158) + "\nSubject: s\n\n", 0, "a << s >>\n", 1},
		{"header line of 159 ends the headers", "From a x\n" + pad("X-Long: ", 159) + "\nSubject: s\n\n", 0,
		 "a <<  >>\n", 1},
		{"header line of 160", "From a x\n" + pad("X-Long: ", 160) + "\nSubject: s\n\n", 0, "a << s >>\n", 1},
		{"header line of 318", "From a x\n" + pad("X-Long: ", 318) + "\nSubject: s\n\n", 0, "a <<  >>\n", 1},
		{"From: in the second piece", "From a x\n" + pad("X: ", 159) + "From: mid\n\n", 0, "mid <<  >>\n", 1},
		{"From: in the second piece is folded", "From a x\n" + pad("X: ", 159) + "FROM: mid\n\n", 0,
		 "mid <<  >>\n", 1},
		{"body line of 158", "From a x\n\n" + pad("b", 158) + "\nFrom c y\n", 0, "a <<  >>\n", 1},
		{"body line of 159 is followed by an empty piece", "From a x\n\n" + pad("b", 159) + "\nFrom c y\n", 0,
		 "a <<  >>\nc <<  >>\n", 2},
		{"body line of 160", "From a x\n\n" + pad("b", 160) + "\nFrom c y\n", 0, "a <<  >>\n", 1},
		{"body line of 317", "From a x\n\n" + pad("b", 317) + "\nFrom c y\n", 0, "a <<  >>\n", 1},
		{"body line of 318", "From a x\n\n" + pad("b", 318) + "\nFrom c y\n", 0, "a <<  >>\nc <<  >>\n", 2},
		{"Ctrl-A starting a second piece", "From a x\n\n" + pad("b", 159) + "\x01\x01\nfrom: z\n", 0,
		 "a <<  >>\nz <<  >>\n", 2},
		{"Ctrl-A elsewhere in a line", "From a x\n\n" + pad("b", 100) + "\x01\x01\nfrom: z\n", 0, "a <<  >>\n", 1},
		{"From starting a second piece is no separator", "From a x\n\n\n" + pad("b", 159) + "From c y\n", 0,
		 "a <<  >>\n", 1},
		{"a lone newline piece in a From line", "From a x\n\n" + pad("From ", 159) + "\nFrom c y\n", 0,
		 "a <<  >>\n" + pad("", 154) + " <<  >>\nc <<  >>\n", 3},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Mbox, LinesLongerThanAReadBlock)
{
	const std::size_t pieces = 7000; // about 1.1 MB on one line
	const Case cases[] = {
		{"many whole pieces, then an empty one", "From a x\n\n" + string(159 * pieces, 'b') + "\nFrom c y\n", 0,
		 "a <<  >>\nc <<  >>\n", 2},
		{"one character more", "From a x\n\n" + string(159 * pieces + 1, 'b') + "\nFrom c y\n", 0, "a <<  >>\n", 1},
		{"Ctrl-A deep inside",
		 "From a x\n\n" + string(159 * 1000, 'b') + "\x01" + string(159 * 5000, 'c') + "\nfrom: z\n", 0,
		 "a <<  >>\nz <<  >>\n", 2},
		{"no newline at all", "From a x\n\n" + string(159 * pieces + 3, 'b'), 0, "a <<  >>\n", 1},
		{"in the headers", "From a x\n" + pad("X: ", 159 * pieces + 5) + "\nSubject: s\n\n", 0, "a << s >>\n", 1},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Mbox, CtrlAFraming)
{
	const string message1 = kCtrlA4 + "From: a\nSubject: one\n\nbody\n\nFrom x y\n" + kCtrlA4;
	const string message2 = kCtrlA4 + "From: b\nSubject: two\nStatus: RO\n\nbody\n" + kCtrlA4;
	const Case cases[] = {
		{"two messages", message1 + message2, 0, "a << one >>\nb (RO) << two >>\n", 2},
		{"new only", message1 + message2, SCAN_NEW_ONLY, "a << one >>\n", 1},
		{"no From lines separate after Ctrl-A", "From e x\n\n" + message1 + "\nFrom q r\nFrom: q\n", 0,
		 "e <<  >>\na << one >>\nq <<  >>\n", 3},
		{"text after the Ctrl-A run is a header", "\x01\x01\x01\x01subject: s\nfrom: z\n", 0, "z << s >>\n", 1},
		{"text after the Ctrl-A run is not folded", "\x01\x01\x01\x01From: z\nSubject: s\n", 0, "", 0},
		{"Ctrl-A piece ends a message without a blank line", "From a x\nSubject: s\n\x01\x01\nFrom: b\n", 0,
		 "a << s >>\nb <<  >>\n", 2},
		{"a lone Ctrl-A", "\x01", 0, "", 0},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Mbox, OnlyALoneNewlineIsAnEmptyLine)
{
	const string crlf = "From a x\r\nSubject: one\r\n\r\nbody\r\n\r\nFrom b y\r\nFrom: Real <r>\r\n"
	                    "Subject: two\r\nStatus: RO\r\n";
	const Case cases[] = {
		{"CR-LF is one message", crlf, 0, "Real (RO) << two\r >>\n", 1},
		{"CR-LF new only", crlf, SCAN_NEW_ONLY, "", 0},
		{"values keep their carriage return", "From a x\r\nFrom: b\r\nSubject: s\r\n", 0, "b << s\r >>\n", 1},
		{"a NUL ends the text of a piece", "From a x\nSubject: ab\0cd\n\n"s, 0, "a << ab >>\n", 1},
		{"a piece holding only a NUL is not empty", "From a x\n\0\nSubject: s\n\n"s, 0, "a << s >>\n", 1},
		{"a NUL in a separator word", "From a\0b x\n"s, 0, "a <<  >>\n", 1},
		{"a NUL piece in the body is no blank line", "From a x\n\nbody\n\0\nFrom c y\n"s, 0, "a <<  >>\n", 1},
		{"bytes above 0x7F pass through", "From a x\nSubject: caf\xE9\n\n", 0, "a << caf\xE9 >>\n", 1},
	};
	for (const Case &c : cases)
		expectScans(c);
}

TEST(Summary, RoomRule)
{
	// Lines: "a << s >>\n" is 10 characters, "bbbbbb << s >>\n" 15, "c <<  >>\n" 9.
	const string mbox = "From a\nSubject: s\n\nFrom bbbbbb\nSubject: s\n\nFrom c\n";
	struct {
		int capacity;
		string summary;
	} cases[] = {
		{1, ""},
		{10, ""},                       // room exactly 0: not appended
		{11, "a << s >>\n"},            // room 1 left
		{25, "a << s >>\n"},            // the second line would leave 0
		{26, "a << s >>\nbbbbbb << s >>\n"},
		{20, "a << s >>\n"},            // the third line would fit, but room only goes down
		{34, "a << s >>\nbbbbbb << s >>\n"},
		{35, "a << s >>\nbbbbbb << s >>\nc <<  >>\n"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(scanText(mbox, 0, c.capacity), (ScanResult{3, c.summary})) << c.capacity;
}

TEST(Summary, LongestLineIsNeverCut)
{
	string mbox = "From" + string(200, 'x') + "\nStatus: " + string(100, 'S') + "\nSubject: " + string(100, 's') + "\n";
	string line = string(155, 'x') + " (" + string(79, 'S') + ") << " + string(70, 's') + " >>\n";
	EXPECT_EQ(scanText(mbox, 0), (ScanResult{1, line}));
	EXPECT_EQ(scanText(mbox, 0, static_cast<int>(line.size())), (ScanResult{1, ""}));
}

TEST(Trace, EveryPieceAndEveryMessage)
{
	TempDir dir;
	string path = dir.write("mbox", "From a x\nSubject: Hi\nStatus: O\n\nBody\n"
	                                "\x01\x01\x01\x01\nfrom: B\n\x01\x01More\n");
	TracedScan traced = scanTraced(path, SCAN_DEBUG | SCAN_NEW_ONLY);
	EXPECT_EQ(traced.result, (ScanResult{1, "B <<  >>\n"}));
	EXPECT_EQ(traced.out, "Mailbox: " + path + ", flags: 5\n"
	                      "1, 1, <from a x\n>\n"
	                      "0, 1, <subject: Hi\n>\n"
	                      "0, 1, <status: O\n>\n"
	                      "0, 1, <\n>\n"
	                      "1, 0, <body\n>\n"
	                      "0: a 'O' <<Hi>>\n"
	                      "0, 1, <from: B\n>\n"
	                      "0: B '' <<>>\n"
	                      "0, 1, <More\n>\n");
}

TEST(Trace, NothingWithoutTheFlag)
{
	TempDir dir;
	EXPECT_EQ(scanTraced(dir.write("mbox", "From a x\n\nbody\n"), SCAN_NEW_ONLY).out, "");
}

TEST(Failures, MissingMailbox)
{
	TempDir dir;
	testing::internal::CaptureStderr();
	ScanResult result = scan(dir.sub("none"), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Couldn't stat() mailbox: No such file or directory\n");
	EXPECT_EQ(result, (ScanResult{-1, ""}));
}

TEST(Failures, MailboxThatCannotBeOpened)
{
	// A socket can be looked at but not opened, even by root.
	TempDir dir;
	string path = dir.sub("socket");
	makeSocket(path);

	testing::internal::CaptureStderr();
	EXPECT_EQ(scan(path, 0), (ScanResult{-1, "Failed to open " + path}));
	EXPECT_EQ(scan(path, 0, 10), (ScanResult{-1, "Failed to"}));
	EXPECT_EQ(scan(path, 0, 1), (ScanResult{-1, ""}));
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Failures, FifoReadsAsEmpty)
{
	TempDir dir;
	string path = dir.sub("fifo");
	ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	EXPECT_EQ(scan(path, 0), (ScanResult{0, ""}));
}

TEST(ReadOnly, ScanLeavesTheMailboxAsItWas)
{
	TempDir dir;
	const string bytes = "From a x\nSubject: hi\n\nbody\n\nFrom b x\nStatus: RO\n\n";
	string path = dir.write("mbox", bytes);
	// Mail not yet read: the access time is older than the modification time.
	const timespec times[2] = {{1000000000, 0}, {1500000000, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

	for (int flags : {0, SCAN_NEW_ONLY | SCAN_MIME, SCAN_DEBUG})
		scanTraced(path, flags);

	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(readFile(path), bytes);
	EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
	EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
	// Nothing was created beside it: no lock, no temporary copy.
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Failures, MailboxChangingDuringScans)
{
	// A writer truncates, appends and rewrites while scans go on.
	TempDir dir;
	const string path = dir.write("mbox", "");
	string messages;
	for (int i = 0; i < 3000; ++i)
		messages += "From m" + std::to_string(i) + " x\nSubject: s" + std::to_string(i) + "\n\n" +
		            string(static_cast<std::size_t>(i % 300), 'b') + "\n\n";
	std::atomic<bool> done{false};
	std::atomic<int> writes{0};
	std::thread writer([&] {
		std::mt19937 random(3);
		for (; !done; ++writes) {
			switch (random() % 3) {
			case 0:
				if (truncate(path.c_str(), static_cast<off_t>(random() % messages.size())) != 0)
					return;
				break;
			case 1:
				std::ofstream(path, std::ios::binary | std::ios::app) << messages.substr(0, random() % 5000);
				break;
			default:
				std::ofstream(path, std::ios::binary | std::ios::trunc) << messages;
			}
		}
	});
	const std::regex line("m[0-9]* << s?[0-9]* >>");
	for (int i = 0; i < 200 || writes < 1000; ++i) {
		ScanResult r = scan(path, SCAN_NEW_ONLY, 2000 + i % 200 * 100);
		ASSERT_GE(r.count, 0);
		std::istringstream lines(r.summary);
		for (string l; std::getline(lines, l);)
			ASSERT_TRUE(std::regex_match(l, line)) << l;
	}
	done = true;
	writer.join();
}
