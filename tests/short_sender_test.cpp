#include "scanner/scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using std::string;

namespace {

struct Shown {
	string name;  // what shortSender returns
	string value; // what is left of the value
};

Shown shorten(const string &value, int flags)
{
	std::vector<char> buf(value.begin(), value.end());
	buf.push_back('\0');
	char *name = shortSender(buf.data(), flags);
	return {name, buf.data()};
}

} // namespace

TEST(ShortSender, CutsTheValueDownToADisplayName)
{
	struct Case {
		string value, name, left;
	} cases[] = {
		{"First Last <fl>", "First Last", "First Last"},
		{"fl (First Last)", "First Last", "fl (First Last"},
		{"fl", "fl", "fl"},
		{"<fl>", "", ""},
		{"fl ( )", "fl ( ", "fl ( "},
		{"fl ( First)", " First", "fl ( First"},
		{"fl (\t \t)", "fl (\t", "fl (\t"},
		{"\"Last, First\" <fl>", "\"Last, First\" <fl>", "\"Last, First\" <fl>"},
		{"fl (x\" y)", "fl (x\" y)", "fl (x\" y)"},
		{"Jos\xE9 <j>", "Jos", "Jos"},
		{"Jos\xE9\xE9\t <j>", "Jos", "Jos"},
		{"\xE9 <j>", "\xE9", "\xE9"},
		{"fl\r", "fl", "fl"},
		{"a (b) (c)", "b", "a (b"},
		{"x <a (b)>", "b", "x <a (b"},
		{"(First) <fl>", "First", "(First"},
		{"", "", ""},
		{"*Unknown sender*", "*Unknown sender*", "*Unknown sender*"},
	};
	for (const Case &c : cases) {
		Shown shown = shorten(c.value, 0);
		EXPECT_EQ(shown.name, c.name) << c.value;
		EXPECT_EQ(shown.value, c.left) << c.value;
	}
}

TEST(ShortSender, FullNamesKeepTheValueWhole)
{
	for (string value : {"First Last <fl>", "fl (First Last)", "<fl>", "fl ( )"}) {
		Shown shown = shorten(value, SCAN_FULL_NAMES);
		EXPECT_EQ(shown.name, value);
		EXPECT_EQ(shown.value, value);
	}
}

TEST(ShortSender, InTheInternationalListOnlyBlanksAndControlsLeaveTheEnd)
{
	struct Case {
		string value, name;
	} cases[] = {
		{"José <j@x>", "José"},
		{"山田太郎 <t@x>", "山田太郎"},
		{"j@x (Zoë Müller)", "Zoë Müller"},
		{"Ana \t <a@x>", "Ana"},
		{"Ana?\x7f <a@x>", "Ana?"},
		{"é <j>", "é"},
		{" <j>", " "},
		{"First Last <fl>", "First Last"},
		{"fl ( )", "fl ( "},
	};
	for (const Case &c : cases)
		EXPECT_EQ(shorten(c.value, SCAN_UTF8).name, c.name) << c.value;
}
