// Random mailboxes made of the lines that matter to the mbox parser, at the
// places where they matter.
#include "tests/randommbox.h"

#include <iterator>

using std::string;

namespace {

// A line of about the given length, made of filler after a start.
string lineOf(std::mt19937 &random, const string &start, std::size_t length)
{
	string line = start;
	while (line.size() < length)
		line += "abc Def\tgh\xE9"[random() % 11];
	return line;
}

} // namespace

string randomMailbox(std::mt19937 &random, std::size_t size, const std::vector<string> &moreStarts)
{
	static const char *const starts[] = {
		"", "From a x", "From b@y Mon", "Fromage z", "From: Real <r@x>", "from:q", "From: ",
		"Subject: hello", "SUBJECT: =?x?q?y?=", "Status: RO", "Status: O", "status:", "\x01\x01\x01\x01",
		"\x01\x01\x01\x01From: mm", "\x01", "From :x", "Received: from a by b", "Resent-From: r",
		" continued", "From", "\r", "x\0y",
	};
	std::vector<string> table(std::begin(starts), std::end(starts));
	table.insert(table.end(), moreStarts.begin(), moreStarts.end());
	string mbox;
	while (mbox.size() < size) {
		string start = table[random() % table.size()];
		if (start == "x")
			start = string("x\0y", 3);
		std::size_t length;
		switch (random() % 8) {
		case 0: // around one or more whole pieces
			length = 159 * (1 + random() % 3) - 1 + random() % 3;
			break;
		case 1:
			length = random() % 2000;
			break;
		default:
			length = start.size() + random() % 30;
		}
		string line = lineOf(random, start, length);
		// Sometimes a second piece starts with something that matters.
		if (line.size() > 159 && random() % 3 == 0) {
			static const char *const inner[] = {"\x01\x01", "From: inner", "Subject: in", "\n"};
			line.replace(159, 0, inner[random() % std::size(inner)]);
		}
		mbox += line;
		if (random() % 10)
			mbox += random() % 20 ? "\n" : "\r\n";
		if (random() % 4 == 0)
			mbox += "\n";
	}
	return mbox;
}

