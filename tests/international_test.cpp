// The international list (SCAN_UTF8): whole header fields, decoded from
// any charset, as clean UTF-8 lines; and everything else as it was.
#include "scanner/parsers.h"
#include "scanner/scanner.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

using std::string;

namespace {

constexpr int kUtf8 = SCAN_UTF8 | SCAN_MIME;

void noWait(unsigned) {}

// The three messages of a German, a Japanese and a Spanish writer.
struct Letter {
	const char *from, *subject, *line;
};
const Letter kLetters[] = {
	{"Zoë Müller <zoe@example.de>", "Grüße aus München — Treffen am Freitag?",
	 "Zoë Müller << Grüße aus München — Treffen am Freitag? >>\n"},
	{"山田太郎 <taro@example.jp>", "会議の資料", "山田太郎 << 会議の資料 >>\n"},
	{"Ana <ana@example.es>", "¿Cenamos mañana? 🍝", "Ana << ¿Cenamos mañana? 🍝 >>\n"},
};

int lines(const string &summary)
{
	return static_cast<int>(std::count(summary.begin(), summary.end(), '\n'));
}

} // namespace

TEST(International, MailThatPythonWrote)
{
	TempDir dir;
	const string mbox = dir.sub("mbox"), folder = dir.sub("folder");
	string expected;
	for (const Letter &l : kLetters) {
		produce({"encode_header.py", "mbox", mbox, l.from, l.subject});
		produce({"encode_header.py", "mh", folder, l.from, l.subject});
		expected += l.line;
	}
	for (const string &path : {mbox, folder}) {
		EXPECT_EQ(scan(path, kUtf8 | SCAN_NEW_ONLY), (ScanResult{3, expected})) << readFile(mbox);
		// Without it: the same messages, shown as the default decoding can.
		ScanResult plain = scan(path, SCAN_MIME | SCAN_NEW_ONLY);
		EXPECT_EQ(plain.count, 3);
		EXPECT_EQ(lines(plain.summary), 3);
	}
}

namespace {

string repeat(const string &s, int times)
{
	string out;
	for (int i = 0; i < times; ++i)
		out += s;
	return out;
}

} // namespace

TEST(International, WholeFieldsOnTheMboxPath)
{
	const string fold = produce({"encode_header.py", "field", "Subject",
	                             "会議の資料についてのお知らせ、とても長い件名になりますがよろしくお願いします。"});
	const string words20 = [] {
		string s;
		for (int i = 0; i < 20; ++i)
			s += "=?utf-8?q?a?= ";
		return s;
	}();
	const struct {
		const char *what;
		string headers;
		int flags;
		string line;
	} cases[] = {
		{"a subject folded over three lines", "From: a\n" + fold, kUtf8,
		 "a << 会議の資料についてのお知らせ、とても長い件名になりますがよろしくお願いします。 >>\n"},
		{"a sender folded with a tab",
		 "From: =?utf-8?q?Zo=C3=AB?=\n\t=?utf-8?q?_M=C3=BCller?= <z@x>\nSubject: hi\n", kUtf8,
		 "Zoë Müller << hi >>\n"},
		{"words across the pieces of a long line", "From: a\nSubject: " + words20 + "=?utf-8?b?5Lya6K2w?=\n", kUtf8,
		 "a << aaaaaaaaaaaaaaaaaaaa会議 >>\n"},
		{"a line of 998 characters is whole",
		 "From: a\nSubject: =?utf-8?q?" + string(977, 'b') + "?=\n", kUtf8, "a << " + string(70, 'b') + " >>\n"},
		{"a longer line is cut there, and the word with it",
		 "From: a\nSubject: =?utf-8?q?" + string(978, 'b') + "?=\n", kUtf8,
		 "a << =?utf-8?q?" + string(60, 'b') + " >>\n"},
		{"a 2,000-character line", "From: a\nSubject: " + string(2000, 'c') + "\n", kUtf8,
		 "a << " + string(70, 'c') + " >>\n"},
		{"CR-LF line ends", "From: a\nSubject: =?utf-8?q?a?=\r\n =?utf-8?q?b?=\r\n", kUtf8, "a << ab >>\n"},
		{"continuations end at the next field", "From: a\nSubject: x\nTo: y\n z\n", kUtf8, "a << x >>\n"},
		{"control characters", "From: a\nSubject: a\x01" "b\x7f" "c\td\x1b[1m\n", kUtf8, "a << a?b?c d?[1m >>\n"},
		{"a forged line", "From: a\nSubject: =?ISO-8859-1?Q?hi=0ABoss_Person_<<_Wire_money_now_>>?=\n", kUtf8,
		 "a << hi?Boss Person << Wire money now >> >>\n"},
		{"raw Latin-1", "From: Jos\xE9 <j@x>\nSubject: Caf\xE9 cr\xE8me\n", kUtf8, "José << Café crème >>\n"},
		{"raw UTF-8", "From: Jos\xC3\xA9 <j@x>\nSubject: Caf\xC3\xA9\n", kUtf8, "José << Café >>\n"},
		{"70 characters, not bytes", "From: a\nSubject: " + [] { string s; for (int i = 0; i < 80; ++i) s += "é"; return s; }() + "\n",
		 kUtf8, "a << " + [] { string s; for (int i = 0; i < 70; ++i) s += "é"; return s; }() + " >>\n"},
		{"never half a character", "From: a\nSubject: " + string(69, 'x') + "会議\n", kUtf8,
		 "a << " + string(69, 'x') + "会 >>\n"},
		{"a decoded name", "From: =?utf-8?q?Jos=C3=A9?= <j@x>\n", kUtf8, "José <<  >>\n"},
		{"a decoded name in parentheses", "From: j@x (=?utf-8?b?5bGx55Sw5aSq6YOO?=)\n", kUtf8, "山田太郎 <<  >>\n"},
		{"a name that ends in a letter not ASCII", "From: Ana \xC3\xB1  <a@x>\n", kUtf8, "Ana ñ <<  >>\n"},
		// The name is found before it is decoded: a quote it decodes to is
		// no quote of the field's.
		{"a quoted decoded name", "From: =?utf-8?q?=22M=C3=BCller=2C_Zo=C3=AB=22?= <z@x>\n", kUtf8,
		 "\"Müller, Zoë\" <<  >>\n"},
		{"full names", "From: =?utf-8?q?Jos=C3=A9?= <j@x>\n", kUtf8 | SCAN_FULL_NAMES, "José <j@x> <<  >>\n"},
		{"an address alone", "From: <j@x>\n", kUtf8, " <<  >>\n"},
		{"words as written without decoding", "From: a\nSubject: =?utf-8?q?caf=C3=A9?= caf\xE9\n", SCAN_UTF8,
		 "a << =?utf-8?q?caf=C3=A9?= café >>\n"},
		{"a status", "From: a\nStatus: R\xE9\x01\n", kUtf8, "a (Ré?) <<  >>\n"},
		// The name is found before it is decoded: a "(" it decodes to is
		// part of the name, not the start of a comment.
		{"a decoded parenthesis", "From: =?iso-8859-5?q?=C0=28=9B=D7?= Meeting <a@x>\n", kUtf8,
		 "Р(?з Meeting <<  >>\n"},
		// A line of exactly a piece comes as the piece and a lone newline,
		// which ends that line, not the field.
		{"a line of 159 bytes and its continuation",
		 "From: a\nSubject: =?utf-8?q?" + repeat("=41", 46) + "?=\n =?utf-8?q?caf=C3=A9?=\n", kUtf8,
		 "a << " + string(46, 'A') + "café >>\n"},
		{"a line of 158 bytes and CR, and its continuation",
		 "From: a\nSubject: =?utf-8?q?" + repeat("=41", 45) + "AB?=\r\n =?utf-8?q?caf=C3=A9?=\r\n", kUtf8,
		 "a << " + string(45, 'A') + "ABcafé >>\n"},
		{"fifty characters of raw UTF-8 and a continuation", "From: a\nSubject: " + repeat("会", 50) + "\n café\n",
		 kUtf8, "a << " + repeat("会", 50) + " café >>\n"},
		// Which lines start a field is decided as without SCAN_UTF8.
		{"a field with nothing on its first line", "From:\n Zoë <z@x>\nSubject: hi\n", kUtf8, "env << hi >>\n"},
	};
	for (const auto &c : cases) {
		const string mbox = "From env Mon Dec  7 10:00:00 2026\n" + c.headers + "\nbody\n";
		TempDir dir;
		const string path = dir.write("mbox", mbox);
		EXPECT_EQ(scan(path, c.flags), (ScanResult{1, c.line})) << c.what;
		EXPECT_EQ(scanTraced(path, c.flags | SCAN_DEBUG).result, (ScanResult{1, c.line})) << c.what << " (traced)";
	}
}

// In an MMDF file too; and the messages, and which lines start a field,
// stay as without the international list: the count is the same.
TEST(International, ALineOfAPieceInAnMmdfFile)
{
	const string subject = "Subject: =?utf-8?q?" + repeat("=41", 46) + "?=\n =?utf-8?q?caf=C3=A9?=\n";
	TempDir dir;
	const string path = dir.write("mmdf", "\x01\x01\x01\x01\nFrom: a\n" + subject + "\nbody\n\x01\x01\x01\x01\n"
	                                      "\x01\x01\x01\x01\nFrom: b\nSubject: two\n\nbody\n\x01\x01\x01\x01\n");
	EXPECT_EQ(scan(path, kUtf8), (ScanResult{2, "a << " + string(46, 'A') + "café >>\nb << two >>\n"}));
	EXPECT_EQ(scan(path, SCAN_MIME).count, 2);
}

TEST(International, WholeFieldsOnTheMHPath)
{
	const struct {
		const char *what;
		string message;
		string line;
	} cases[] = {
		{"continuation lines right after", "From: =?utf-8?q?Zo=C3=AB?=\n =?utf-8?q?_M=C3=BCller?= <z@x>\nSubject: a\n b\n",
		 "Zoë Müller << a b >>\n"},
		{"the last field is gathered whole", "Subject: =?utf-8?q?Gr=C3=BC?=\nFrom: z\n =?utf-8?q?=C3=9Fe?=\nFrom: not this\n",
		 "z ße << Grü >>\n"},
		{"only right after", "From: z\n\n more\nSubject: s\n", "z << s >>\n"},
		{"anywhere in the file", "body\nbody\nFrom: =?iso-8859-2?q?=BFaba?=\n", "żaba <<  >>\n"},
		{"no sender", "Subject: =?utf-8?q?caf=C3=A9?=\n", "*Unknown sender* << café >>\n"},
	};
	mhRereadWait = noWait;
	for (const auto &c : cases) {
		TempDir dir;
		dir.write("1", c.message);
		EXPECT_EQ(scan(dir.path(), kUtf8), (ScanResult{1, c.line})) << c.what;
	}
}

TEST(International, PlainMailGivesTheSameBytes)
{
	TempDir dir;
	for (int i = 0; i < 5; ++i)
		produce({"encode_header.py", "mbox", dir.sub("mbox"), "Person " + std::to_string(i) + " <p@example.org>",
		         "Plain subject number " + std::to_string(i)});
	std::filesystem::copy_file(dir.sub("mbox"), dir.sub("mixed"));
	std::ofstream(dir.sub("mixed"), std::ios::app)
		<< "From x@y Mon Dec  7 10:00:00 2026\nFrom: x@y (Xavier)\nSubject: read\nStatus: RO\n\nbody\n\n"
		   "\x01\x01\x01\x01\nFrom: mmdf@x\nSubject: framed\n\x01\x01\x01\x01\n";
	for (const string &path : {dir.sub("mbox"), dir.sub("mixed")})
		for (int flags : {0, SCAN_NEW_ONLY, SCAN_FULL_NAMES, SCAN_MIME, SCAN_NEW_ONLY | SCAN_MIME})
			EXPECT_EQ(scan(path, flags | SCAN_UTF8), scan(path, flags)) << path << " " << flags;
}
