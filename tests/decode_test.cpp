#include "decode/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using std::string;

namespace {

string decoded(const string &value)
{
	std::vector<char> buf(value.begin(), value.end());
	buf.push_back('\0');
	decodeHeader(buf.data());
	return string(buf.data());
}

class WithCharset : public testing::Test {
protected:
	void SetUp() override { setFontCharset("ISO8859", "1"); }
	void TearDown() override { setFontCharset(nullptr, nullptr); }
};

} // namespace

TEST(FontCharset, TakesOnlyOneDigitIso8859Encodings)
{
	struct Case {
		const char *registry, *encoding, *expected;
	} cases[] = {
		{"ISO8859", "1", "iso-8859-1"},
		{"iso8859", "9", "iso-8859-9"},
		{"Iso8859", "0", "iso-8859-0"},
		{"ISO8859", "15", ""},
		{"ISO8859", "", ""},
		{"ISO8859", "x", ""},
		{"ISO10646", "1", ""},
		{"ISO8859-1", "1", ""},
		{"", "1", ""},
		{nullptr, "1", ""},
		{"ISO8859", nullptr, ""},
		{nullptr, nullptr, ""},
	};
	for (const Case &c : cases) {
		setFontCharset("ISO8859", "2"); // a previous charset must not linger
		setFontCharset(c.registry, c.encoding);
		EXPECT_STREQ(fontCharset.data(), c.expected)
			<< (c.registry ? c.registry : "(null)") << " " << (c.encoding ? c.encoding : "(null)");
	}
	setFontCharset(nullptr, nullptr);
}

TEST_F(WithCharset, DecodesQWordsInTheFontCharsetOnly)
{
	struct Case {
		string value, expected;
	} cases[] = {
		{"=?iso-8859-1?q?caf=E9?=", "caf\xE9"},
		{"=?ISO-8859-1?Q?a_b?= x", "a b x"},
		{"=?iso-8859-1?q?Caf=E9_cr=E8me?=", "Caf\xE9 cr\xE8me"},
		{"snake_case =?iso-8859-1?q?a_b?= x_y", "snake_case a b x_y"},
		{"Re: =?iso-8859-1?q?caf=E9?= ok", "Re: caf\xE9 ok"},
		{"=?iso-8859-1?q?a?= =?iso-8859-1?q?b?=", "a b"},
		{"=?iso-8859-1?q?a?==?iso-8859-1?q?b?=", "=?iso-8859-1?q?a?==?iso-8859-1?q?b?="},
		{"=?us-ascii?q?x?=", "=?us-ascii?q?x?="},
		{"=?iso-8859-1?b?eA==?=", "=?iso-8859-1?b?eA==?="},
		{"x =? y", "x =? y"},
		{"=?iso-8859-1?q?abc", "abc"},
		{"ab=?", "ab"},
		{"ab=?iso-8859-1?", "ab"},
		{"ab=?iso-8859-1", "ab"},
		{"ab=?iso-8859-2", "ab=?iso-8859-2"},
		{"ab=?iso-8859-1?q", "ab=?iso-8859-1?q"},
		{"=?iso-8859-1?q?a?==41", "aA"},
		{"=?iso-8859-1?q?a?=_b", "a_b"},
		{"=?iso-8859-1?q?a?=?b", "a?b"},
		{"=?iso-8859-1?q?a?= =?us-ascii?q?b?=", "=?iso-8859-1?q?a?= =?us-ascii?q?b?="},
		{"=?iso-8859-1?q?=00=G1?=", "=?iso-8859-1?q?=00=G1?="},
		{"=?iso-8859-1?q?a=00b?=", "a"},
		{"=?iso-8859-1?q?=4", "=?iso-8859-1?q?=4"},
		{"=?iso-8859-1?q?=4g?=", "=?iso-8859-1?q?=4g?="},
		{"=?iso-8859-1?q?a?b?=", "=?iso-8859-1?q?a?b?="},
		{"=?iso-8859-1?q?=3d=3D?=", "=="},
		{"=??q?a?=", "=??q?a?="},
		{"plain text", "plain text"},
		{"", ""},
	};
	for (const Case &c : cases)
		EXPECT_EQ(decoded(c.value), c.expected) << c.value;
}

TEST_F(WithCharset, DecodesValuesOfAnyLength)
{
	// An envelope sender may run to 155 characters.
	string word = "=?iso-8859-1?q?" + string(140, 'x') + "=E9?=";
	EXPECT_EQ(decoded(word), string(140, 'x') + "\xE9");
	string many;
	for (int i = 0; i < 50; ++i)
		many += "=?iso-8859-1?q?=41?= ";
	string expected;
	for (int i = 0; i < 50; ++i)
		expected += "A ";
	EXPECT_EQ(decoded(many), expected);
}

TEST(DecodeHeader, LeavesEverythingAloneWithoutAFontCharset)
{
	setFontCharset("ISO10646", "1");
	for (string value : {"=?iso-8859-1?q?caf=E9?=", "ab=?", "=?iso-8859-1?q?abc", "a_b"})
		EXPECT_EQ(decoded(value), value);
}

TEST_F(WithCharset, ADecodedControlCharacterIsShownAsAQuestionMark)
{
	const struct {
		string value, expected;
	} cases[] = {
		{"=?ISO-8859-1?Q?hi=0ABoss_Person_<<_Wire_money_now_>>?=", "hi?Boss Person << Wire money now >>"},
		{"=?iso-8859-1?q?a=0Db=09c=01d=1Fe=7Ff?=", "a?b?c?d?e?f"},
		{"=?iso-8859-1?q?=20=7E=80=9F=A0?=", " ~\x80\x9F\xA0"},
		{"=?iso-8859-1?q?a=00b?=", "a"},
		{"=?iso-8859-1?q?a?==0A", "a?"},
		{"=?iso-8859-1?q?a=0A", "a?"},
		{"=?iso-8859-1?q?a=0A?= =?us-ascii?q?b?=", "=?iso-8859-1?q?a=0A?= =?us-ascii?q?b?="},
	};
	for (const auto &c : cases)
		EXPECT_EQ(decoded(c.value), c.expected) << c.value;
}
