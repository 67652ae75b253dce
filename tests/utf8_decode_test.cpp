// The international list's decoding of one header value.  Where a charset
// has to be converted, the encoded words come from Python's email package
// and Perl's Encode, so the expected texts are theirs, not this code's.
#include "decode/utf8.h"
#include "decode/words.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <string>

using std::string;

namespace {

string decoded(const string &value)
{
	return decodeHeaderUtf8(value, true);
}

// One text in every charset family, short enough for one list line.
struct Sample {
	const char *charset;
	const char *text;
};
const Sample kSamples[] = {
	{"utf-8", "Grüße aus München — Treffen am Freitag? 🍝"},
	{"UTF-8", "Zoë Müller"},
	{"iso-8859-1", "¿Cenamos mañana? Café crème"},
	{"iso-8859-2", "Zażółć gęślą jaźń"},
	{"iso-8859-5", "Привет из Москвы"},
	{"iso-8859-7", "Καλημέρα κόσμε"},
	{"iso-8859-15", "Prix: 20 € net"},
	{"windows-1250", "Příliš žluťoučký kůň"},
	{"windows-1251", "Съешь же ещё этих булок"},
	{"windows-1252", "“Smart” quotes – and … more"},
	{"koi8-r", "Широкая электрификация"},
	{"shift_jis", "会議の資料について"},
	{"euc-jp", "来週の予定を確認してください"},
	{"iso-2022-jp", "日本語のメール"},
	{"gb2312", "会议记录"},
	{"gbk", "中文邮件测试"},
	{"gb18030", "中文郵件 €"},
	{"big5", "會議記錄與資料"},
	{"euc-kr", "회의 자료입니다"},
};

} // namespace

TEST(Utf8Decoding, EveryCharsetFamilyInBAndQ)
{
	for (const Sample &s : kSamples)
		for (const char *encoding : {"b", "q"}) {
			const string value = produce({"encode_header.py", "word", s.charset, encoding, s.text});
			// Long texts come folded; the scanner unfolds them before this.
			string unfolded = value;
			for (std::size_t at; (at = unfolded.find('\n')) != string::npos;)
				unfolded.erase(at, 1);
			EXPECT_EQ(decoded(unfolded), s.text) << s.charset << " " << encoding << ": " << value;
		}
}

TEST(Utf8Decoding, WhatPerlWrites)
{
	for (const char *text : {"Grüße aus München", "¿Cenamos mañana? 🍝", "山田太郎", "a_b = c? d"})
		for (const char *encoding : {"b", "q"}) {
			const string value = produce({"encode_header.pl", encoding, text});
			EXPECT_EQ(decoded(value), text) << value;
		}
}

TEST(Utf8Decoding, CharactersCutAcrossWords)
{
	const Sample split[] = {
		{"utf-8", "Grüße, Zoë"}, {"shift_jis", "会議の資料"}, {"euc-kr", "회의 자료"}, {"gb18030", "中文 €"},
	};
	for (const Sample &s : split)
		for (const char *encoding : {"b", "q"})
			for (const char *between : {"", " ", " \t "}) {
				const string value = produce({"encode_header.py", "split", s.charset, encoding, between, s.text});
				EXPECT_EQ(decoded(value), s.text) << value;
			}
}

TEST(Utf8Decoding, WordsAndTheTextAroundThem)
{
	const struct {
		string value, expected;
	} cases[] = {
		// White space goes only between two words.
		{"=?utf-8?q?a?= =?utf-8?q?b?=", "ab"},
		{"=?utf-8?q?a?=\t =?iso-8859-1?q?=E9?=", "aé"},
		{"=?utf-8?q?a?==?utf-8?q?b?=", "ab"},
		{"=?utf-8?q?a?= x =?utf-8?q?b?=", "a x b"},
		{"Re: =?utf-8?q?caf=C3=A9?= ok", "Re: café ok"},
		{"Re:=?utf-8?q?caf=C3=A9?=", "Re:café"},
		{"=?utf-8?q?a_b?=", "a b"},
		{"=?UTF-8?Q?=c3=a9?=", "é"},
		{"=?utf-8*de?q?Gr=C3=BC=C3=9Fe?=", "Grüße"},
		{"=?utf-8?b?w6k?=", "é"}, // padding left off
		{"=?utf-8?q?" "?=", ""},
		// A word that cannot be decoded stays as written; the rest still decodes.
		{"=?utf-8?b?w6=k?= =?utf-8?q?ok?=", "=?utf-8?b?w6=k?= ok"},
		{"=?utf-8?b?@@@@?=", "=?utf-8?b?@@@@?="},
		{"=?utf-8?b?w?=", "=?utf-8?b?w?="},
		{"=?x-unknown?q?abc?= =?utf-8?q?=C3=A9?=", "=?x-unknown?q?abc?= é"},
		{"=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
		{"=?utf-8?q?bad=G1?=", "=?utf-8?q?bad=G1?="},
		{"=?utf-8?q?bad=4?=", "=?utf-8?q?bad=4?="},
		{"=?utf-8?q?never closed", "=?utf-8?q?never closed"},
		{"=?utf-8?q?abc", "=?utf-8?q?abc"},
		{"=??q?abc?=", "=??q?abc?="},
		{"=?*de?q?abc?=", "=?*de?q?abc?="},
		{"=?=?utf-8?q?a?=", "=?a"},
		{"x =? y", "x =? y"},
		// What cannot be converted becomes U+FFFD.
		{"=?utf-8?q?a=FFb?=", "a\uFFFDb"},
		{"=?utf-8?q?a=C3?=", "a\uFFFD"},
		// One U+FFFD for each maximal part that is no sequence: A4, 83,
		// EE B3 (a three-byte sequence cut short); 05 is a control.
		{"=?utf-8?b?pIPuswU=?=", "\uFFFD\uFFFD\uFFFD?"},
		{"=?utf-8?q?=F0=9F=8D?=", "\uFFFD"},
		{"=?utf-8?q?=F0=9F=8Dx=E0=80=80?=", "\uFFFDx\uFFFD\uFFFD\uFFFD"},
		{"=?shift_jis?b?gg==?=", "\uFFFD"},
		// A unit of two or four bytes is stepped over whole, and a letter
		// held back for a mark comes before the U+FFFD, as Python has them.
		{"=?utf-16be?b?2AAASABlAGwAbABv?=", "\uFFFDHello"},
		{"=?utf-32be?b?ABEAAAAAAEgAAABp?=", "\uFFFDHi"},
		{"=?windows-1258?b?YYFi?=", "a\uFFFDb"},
		{"=?windows-1255?b?+dns5e0=?=", "ש\uFFFDלום"},
		// Names that iconv would read loosely, each a converter of its
		// own, name no charset.
		{"=?latin1!?q?x?=", "=?latin1!?q?x?="},
		{"=?latin1,,?q?x?=", "=?latin1,,?q?x?="},
		{"=?l@tin1?q?x?=", "=?l@tin1?q?x?="},
		// Nor is the five-byte form of old, which iconv lets through.
		{"=?utf-8?b?+qqqqqo=?=", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
		// Text outside words: UTF-8 where it is, Windows-1252 where not.
		{"Caf\xC3\xA9", "Café"},
		{"Caf\xE9 cr\xE8me", "Café crème"},
		{"\x93quoted\x94 \x80 \x81", "“quoted” € \uFFFD"},
		{"M\xC3\xBCller und M\xFCller", "Müller und Müller"},
		{"\xED\xA0\x80", "í\u00A0\u20AC"}, // a surrogate is no UTF-8
		{"\xC0\xAF", "À¯"},                 // nor is an overlong form
		// Clean: a tab becomes a blank, other control characters a "?".
		{"a\tb", "a b"},
		{"=?utf-8?q?hi=0ABoss_Person_<<_x_>>?=", "hi?Boss Person << x >>"},
		{"=?iso-8859-1?q?a=0D=0Ab=09c=00d=7Fe?=", "a??b c?d?e"},
		{"a\rb\x1b[31mc", "a?b?[31mc"},
		{"=?utf-8?q?=C2=85=C2=9F=C2=A0?=", "??\u00A0"},
		{"=?iso-8859-1?q?=85?=", "?"},
		{string("a\0b", 3), "a?b"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(decoded(c.value), c.expected) << testing::PrintToString(c.value);
}

// Charset labels that mail carries for what iconv knows by another name, or
// as a narrower charset than their writers mean, read as browsers read
// them; the expected text is Python's decoding of each word's bytes.
TEST(Utf8Decoding, CharsetLabelsAsMailCarriesThem)
{
	const struct {
		const char *label, *codec, *text;
	} cases[] = {
		{"ks_c_5601-1987", "cp949", "안녕하세요, 똠방각하"}, // the second word is CP949's, not EUC-KR's
		{"euc-kr", "cp949", "똠방각하"},
		{"shift_jis", "cp932", "①②③ C:\\temp ～"},
		{"x-sjis", "cp932", "会議の資料 ㈱"},
		{"Shift_JIS", "cp932", "パス C:\\Users"},
		{"gb2312", "gbk", "奮鬥 测试"},
		{"iso-8859-8-i", "iso8859_8", "שלום עולם"},
		{"big5", "big5hkscs", "香港 會議"},
		{"x-mac-roman", "mac_roman", "Café crème"},
		{"x-cp1250", "cp1250", "Příliš žluťoučký"},
		{"unicode-1-1-utf-8", "utf-8", "Grüße"},
	};
	for (const auto &c : cases)
		for (const char *encoding : {"b", "q"}) {
			const string both = produce({"encode_header.py", "label", c.label, c.codec, encoding, c.text});
			const string word = both.substr(0, both.find('\n')), python = both.substr(both.find('\n') + 1);
			EXPECT_EQ(decoded(word), python) << c.label << " " << encoding << ": " << word;
		}
}

TEST(Utf8Decoding, WithoutWordsOnlyCleans)
{
	EXPECT_EQ(decodeHeaderUtf8("=?utf-8?q?caf=C3=A9?= caf\xE9\t\x01", false), "=?utf-8?q?caf=C3=A9?= café ?");
}

TEST(Utf8Decoding, CutsByCharacters)
{
	const struct {
		string text;
		std::size_t chars;
		string expected;
	} cases[] = {
		{"abc", 70, "abc"},      {"abcdef", 3, "abc"},   {"Grüße", 3, "Grü"}, {"Grüße", 2, "Gr"},
		{"会議の資料", 2, "会議"}, {"🍝🍝", 1, "🍝"},       {"", 0, ""},         {"é", 0, ""},
	};
	for (const auto &c : cases) {
		string text = c.text;
		keepCharacters(text, c.chars);
		EXPECT_EQ(text, c.expected) << c.text << " " << c.chars;
	}
}
