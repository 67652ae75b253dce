// The mbox parser against a plain, slow reading of the same rules: fgets()
// into a 160-byte buffer and sscanf() with the header patterns, on random
// mailboxes made of the lines that matter at the places where they matter.
#include "scanner/scanner.h"
#include "tests/fixture.h"
#include "tests/randommbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using std::string;

namespace {

struct Oracle {
	Oracle(int scanFlags, int capacity) : flags(scanFlags), room(capacity) {}

	int flags;
	int room;
	int count = 0;
	string summary;
	char sender[160] = "", status[80] = "", subject[71] = "";

	void emit()
	{
		if (!sender[0])
			return;
		if ((flags & SCAN_NEW_ONLY) && status[0]) {
			sender[0] = status[0] = subject[0] = '\0';
			return;
		}
		string shown = shortSender(sender, flags);
		string line = status[0] ? shown + " (" + status + ") << " + subject + " >>\n"
		                        : shown + " << " + subject + " >>\n";
		room -= static_cast<int>(line.size());
		if (room > 0)
			summary += line;
		sender[0] = status[0] = subject[0] = '\0';
		++count;
	}
};

// "%70c" stores no terminator and stops at nothing but its width; the
// value is ended at its newline.
bool capture(int matched, char *value, char *field)
{
	if (matched != 1)
		return false;
	value[std::strcspn(value, "\n")] = '\0';
	std::strcpy(field, value);
	return true;
}

ScanResult oracleScan(const string &path, int flags, int capacity)
{
	Oracle o(flags, capacity);
	bool inHeaders = true, afterBlank = true, sawCtrlA = false;
	FILE *f = std::fopen(path.c_str(), "r");
	char line[160];
	while (std::fgets(line, sizeof line, f)) {
		char *text = line;
		if (line[0] == '\001') {
			o.emit();
			while (*text == '\001')
				++text;
			inHeaders = true;
			afterBlank = false;
			sawCtrlA = true;
			if (*text == '\n')
				continue;
		} else {
			for (char *p = line; std::isalpha(static_cast<unsigned char>(*p)); ++p)
				*p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
		}
		if (*text == '\n') {
			if (o.sender[0])
				inHeaders = false;
			afterBlank = true;
			continue;
		}
		char word[160];
		if (!sawCtrlA && afterBlank && std::sscanf(text, "from %159s", word) == 1 && word[0] != ':') {
			o.emit();
			std::strcpy(o.sender, word);
			inHeaders = true;
			afterBlank = false;
			continue;
		}
		afterBlank = false;
		if (!inHeaders)
			continue;
		char from[71] = "", subject[71] = "", status[160];
		if (!capture(std::sscanf(text, "from: %70c", from), from, o.sender) &&
		    !capture(std::sscanf(text, "subject: %70c", subject), subject, o.subject) &&
		    std::sscanf(text, "status: %159s", status) == 1) {
			status[79] = '\0';
			std::strcpy(o.status, status);
		}
	}
	std::fclose(f);
	o.emit();
	return {o.count, o.summary};
}

} // namespace

TEST(MboxOracle, AgreesOnRandomMailboxes)
{
	std::mt19937 random(2026);
	TempDir dir;
	for (int round = 0; round < 600; ++round) {
		// Mostly small files; now and then one of several read blocks.
		std::size_t size = round % 50 == 0 ? 400000 : random() % 3000;
		string path = dir.write("mbox", randomMailbox(random, size));
		for (int flags : {0, SCAN_NEW_ONLY, SCAN_FULL_NAMES}) {
			int capacity = round % 3 == 0 ? 32000 : 1 + static_cast<int>(random() % 600);
			ASSERT_EQ(scan(path, flags, capacity), oracleScan(path, flags, capacity))
				<< "round " << round << " flags " << flags;
		}
	}
}

// The international list shows the same messages: the same count and the
// same number of lines, on mailboxes that also hold folded and encoded
// fields.
TEST(MboxOracle, InternationalListKeepsTheMessages)
{
	const std::vector<string> encoded = {
		"Subject: =?utf-8?b?5Lya6K2w?=", "From: =?utf-8?q?Zo=C3=AB?= <z@x>", "\t=?utf-8?q?_M=C3=BCller?=",
		" =?iso-8859-1?q?caf=E9?=", "From: =?x?b?@@?=", "\t", "Subject: \xC3\xA9\xE9 =?utf-8?q?a?==?utf-8?q?=C3?=",
	};
	std::mt19937 random(2027);
	TempDir dir;
	for (int round = 0; round < 600; ++round) {
		std::size_t size = round % 50 == 0 ? 400000 : random() % 3000;
		const string mbox = randomMailbox(random, size, encoded);
		string path = dir.write("mbox", mbox);
		// Room for every line either way: no line takes more than four
		// times the bytes of the message it comes from.
		const int capacity = 8 * static_cast<int>(mbox.size()) + 4096;
		for (int flags : {SCAN_MIME, SCAN_NEW_ONLY | SCAN_MIME, SCAN_FULL_NAMES, SCAN_NEW_ONLY}) {
			const ScanResult plain = scan(path, flags, capacity);
			const ScanResult international = scan(path, flags | SCAN_UTF8, capacity);
			ASSERT_EQ(international.count, plain.count) << "round " << round << " flags " << flags;
			ASSERT_EQ(std::count(plain.summary.begin(), plain.summary.end(), '\n'), plain.count);
			ASSERT_EQ(std::count(international.summary.begin(), international.summary.end(), '\n'),
			          std::count(plain.summary.begin(), plain.summary.end(), '\n'))
				<< "round " << round << " flags " << flags;
		}
	}
}
