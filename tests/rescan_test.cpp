// Rescans that go on from the last message of an mbox or MMDF file: when
// they may, and that what they find is always what a whole scan finds.
#include "decode/decode.h"
#include "scanner/scanner.h"
#include "tests/fixture.h"
#include "tests/randommbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using std::string;

namespace {

// A mailbox file changed as deliveries and mail readers change one.
class ChangingFile {
public:
	explicit ChangingFile(string path) : path_(std::move(path)) {}
	const string &path() const { return path_; }

	void write(const string &bytes) const { writeFlags(bytes, O_WRONLY | O_CREAT | O_TRUNC); }
	void append(const string &bytes) const { writeFlags(bytes, O_WRONLY | O_APPEND); }
	// The same bytes at offset, over what was there.
	void overwrite(off_t offset, const string &bytes) const
	{
		const int fd = open(path_.c_str(), O_WRONLY);
		ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
		close(fd);
	}
	void truncate(off_t size) const { ASSERT_EQ(::truncate(path_.c_str(), size), 0); }
	// A new file in its place, as a mail reader that writes a copy does.
	void replace(const string &bytes) const
	{
		const string next = path_ + ".new";
		ChangingFile(next).write(bytes);
		ASSERT_EQ(std::rename(next.c_str(), path_.c_str()), 0);
	}

private:
	void writeFlags(const string &bytes, int flags) const
	{
		const int fd = open(path_.c_str(), flags, 0600);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
		close(fd);
	}

	string path_;
};

// The watcher's way: one summary buffer and one memory, rescan after
// rescan.
struct Rescanner {
	Rescanner(string mailbox, int scanFlags, int bytes) : path(std::move(mailbox)), flags(scanFlags), buffer(bytes) {}

	ScanResult rescan()
	{
		const int count = parseMailbox(path.c_str(), buffer.data(), static_cast<int>(buffer.size()), flags, memory);
		return {count, buffer.data()};
	}

	string path;
	int flags;
	std::vector<char> buffer;
	ScanMemory memory;
};

// The same messages with a Status: line after each separator from byte
// from on, as a mail reader leaves them once they are read.
string markedRead(const string &mbox, std::size_t from = 0)
{
	string out;
	std::size_t at = 0;
	while (at < mbox.size()) {
		std::size_t end = mbox.find('\n', at);
		end = end == string::npos ? mbox.size() : end + 1;
		const string line = mbox.substr(at, end - at);
		out += line;
		if (at >= from && line.starts_with("From ") && line.ends_with("\n") &&
		    (at == 0 || mbox.compare(at - 2, 2, "\n\n") == 0))
			out += "Status: RO\n";
		at = end;
	}
	return out;
}

const string kFirst = "From alice@example.org Thu Dec 10 09:00:00 2026\n"
                      "From: Alice <alice@example.org>\nSubject: first\n\nbody\n\n";
const string kSecond = "From bob@example.org Thu Dec 10 09:05:00 2026\n"
                       "From: Bob <bob@example.org>\nSubject: second\n\nbody\n\n";
const string kThird = "From carol@example.org Thu Dec 10 09:10:00 2026\n"
                      "From: Carol <carol@example.org>\nSubject: third\n\nbody\n\n";
// A hundred messages (more than the first print covers), then one whose
// body is 70,000 empty lines, the same at every shift.
string blankLast()
{
	string mbox;
	for (int i = 0; i < 100; ++i)
		mbox += kFirst + string(1200, 'x') + "\n\n";
	return mbox + kSecond + string(70000, '\n');
}

const string kMmdf = "\x01\x01\x01\x01\nFrom: Dan <dan@example.org>\nSubject: mmdf\n\nbody\n\x01\x01\x01\x01\n";

} // namespace

// Which rescans go on from the last message, and from where: after each
// change, the rescan's way and the whole scan's result.
TEST(Rescan, GoesOnOnlyWhenMailWasAppended)
{
	struct Case {
		const char *name;
		string before;
		void (*change)(const ChangingFile &);
		bool incremental;
		off_t readFrom;
	};
	const Case cases[] = {
		{"a delivery", kFirst + kSecond, [](const ChangingFile &f) { f.append(kThird); }, true,
		 static_cast<off_t>(kFirst.size())},
		{"a delivery into MMDF", kMmdf + kMmdf, [](const ChangingFile &f) { f.append(kMmdf); }, true,
		 static_cast<off_t>(2 * kMmdf.size() - 5)},
		{"the rest of a delivery", kFirst + kSecond.substr(0, 60),
		 [](const ChangingFile &f) { f.append(kSecond.substr(60)); }, true, static_cast<off_t>(kFirst.size())},
		{"a separator finished", kFirst + "From bo", [](const ChangingFile &f) { f.append(kSecond.substr(7)); },
		 true, static_cast<off_t>(kFirst.size())},
		{"no separator yet", "From: nobody\n\nbody\n", [](const ChangingFile &f) { f.append(kFirst); }, true, 0},
		{"a rewrite of the same size", kFirst + kSecond,
		 [](const ChangingFile &f) { f.overwrite(kFirst.size() + 60, "Bab"); }, false, 0},
		{"marked read in place", kFirst + kSecond,
		 [](const ChangingFile &f) { f.write(markedRead(kFirst + kSecond)); }, false, 0},
		{"a change before the end and a delivery", kFirst + kSecond,
		 [](const ChangingFile &f) {
			 f.overwrite(70, "Alicia");
			 f.append(kThird);
		 },
		 false, 0},
		{"truncated", kFirst + kSecond, [](const ChangingFile &f) { f.truncate(kFirst.size()); }, false, 0},
		{"truncated and grown again", kFirst + kSecond,
		 [](const ChangingFile &f) {
			 f.truncate(kFirst.size());
			 f.append(kThird + kThird);
		 },
		 false, 0},
		{"replaced by a larger file", kFirst + kSecond,
		 [](const ChangingFile &f) { f.replace(kFirst + kSecond + kThird); }, false, 0},
		// Only what follows the change moves; the end looks the same.
		{"marked read in the middle, before blank lines", blankLast(),
		 [](const ChangingFile &f) {
			 f.write(markedRead(readFile(f.path()), 90000));
			 f.append(kThird);
		 },
		 false, 0},
	};
	for (const Case &c : cases) {
		TempDir dir;
		ChangingFile file(dir.sub("mbox"));
		file.write(c.before);
		Rescanner r(file.path(), SCAN_MIME, 32000);
		r.rescan();
		EXPECT_FALSE(r.memory.incremental) << c.name;
		c.change(file);
		EXPECT_EQ(r.rescan(), scan(file.path(), SCAN_MIME)) << c.name;
		EXPECT_EQ(r.memory.incremental, c.incremental) << c.name;
		EXPECT_EQ(r.memory.readFrom, c.readFrom) << c.name;
	}
}

// What the rescan is told besides the file: another flag set, another
// summary size, or a summary that no longer holds what the last scan left
// (the watcher empties it when the mailbox goes) means a whole scan.
TEST(Rescan, ReadsWholeWhenTheSummaryIsNotAsLeft)
{
	struct Case {
		const char *name;
		void (*change)(Rescanner &);
	};
	const auto charset = fontCharset;
	const Case cases[] = {
		{"another font charset", [](Rescanner &) { setFontCharset("ISO8859", "2"); }},
		{"other flags", [](Rescanner &r) { r.flags |= SCAN_NEW_ONLY; }},
		{"another size", [](Rescanner &r) { r.buffer.resize(r.buffer.size() + 1); }},
		{"emptied", [](Rescanner &r) { r.buffer[0] = '\0'; }},
		{"written over", [](Rescanner &r) { r.buffer[5] = 'x'; }},
	};
	for (const Case &c : cases) {
		TempDir dir;
		ChangingFile file(dir.sub("mbox"));
		file.write(kFirst + kSecond);
		Rescanner r(file.path(), 0, 4000);
		r.rescan();
		c.change(r);
		file.append(kThird);
		EXPECT_EQ(r.rescan(), scan(file.path(), r.flags, static_cast<int>(r.buffer.size()))) << c.name;
		EXPECT_FALSE(r.memory.incremental) << c.name;
		fontCharset = charset;
	}
}

// A summary of no room at all is never written, however it is scanned.
TEST(Rescan, NoRoomIsNeverWritten)
{
	for (int capacity : {0, -1}) {
		TempDir dir;
		ChangingFile file(dir.sub("mbox"));
		file.write(kFirst + kSecond);
		ScanMemory memory;
		EXPECT_EQ(parseMailbox(file.path().c_str(), nullptr, capacity, 0, memory), 2);
		file.append(kThird);
		EXPECT_EQ(parseMailbox(file.path().c_str(), nullptr, capacity, 0, memory), 3);
	}
}

// The rest of a header line longer than a piece that starts with Ctrl-A
// goes into the international list's sender and also begins a message:
// a rescan does not go on from there, since that line was cut short by
// the old end.
TEST(Rescan, AFieldCutShortIsReadAgain)
{
	TempDir dir;
	ChangingFile file(dir.sub("mbox"));
	file.write("From: " + string(153, 'b') + "\x01(Mal");
	Rescanner r(file.path(), SCAN_UTF8, 4000);
	r.rescan();
	file.append("lory)\n\n");
	const ScanResult whole = scan(file.path(), SCAN_UTF8, 4000);
	EXPECT_EQ(r.rescan(), whole);
	EXPECT_EQ(whole.summary, "Mallory <<  >>\n");
}

// A folder has nothing to go on from, nor has a mailbox that is gone.
TEST(Rescan, FoldersAndMissingMailboxesForget)
{
	TempDir dir;
	ChangingFile file(dir.sub("mbox"));
	file.write(kFirst);
	Rescanner r(file.path(), 0, 4000);
	r.rescan();
	ASSERT_TRUE(r.memory.mbox.has_value());
	ASSERT_EQ(unlink(file.path().c_str()), 0);
	EXPECT_EQ(r.rescan().count, -1);
	EXPECT_FALSE(r.memory.mbox.has_value());
	file.write(kFirst);
	r.rescan();
	r.path = dir.path();
	r.rescan();
	EXPECT_FALSE(r.memory.mbox.has_value());
}

// Random mailboxes, then random changes: appends of whole messages and of
// parts of them (a separator split across two), rewrites in place of the
// same size and of another, truncation and replacement.  After every
// change the rescan's result is the whole scan's, in every flag set and
// with summaries too small for every line.
TEST(Rescan, AgreesWithAWholeScanAfterEveryChange)
{
	const std::vector<string> encoded = {
		"Subject: =?utf-8?b?5Lya6K2w?=", "From: =?utf-8?q?Zo=C3=AB?= <z@x>", "\t=?utf-8?q?_M=C3=BCller?=",
		" =?iso-8859-1?q?caf=E9?=", "From x@y Thu Dec 10", "\x01\x01\x01\x01",
	};
	const int flagSets[] = {0,         SCAN_NEW_ONLY, SCAN_FULL_NAMES,          SCAN_MIME,
	                        SCAN_UTF8, SCAN_UTF8 | SCAN_MIME | SCAN_NEW_ONLY};
	std::mt19937 random(2112);
	int incremental = 0, steps = 0;
	for (int round = 0; round < 240; ++round) {
		TempDir dir;
		ChangingFile file(dir.sub("mbox"));
		const std::size_t size = round % 40 == 0 ? 300000 : random() % 3000;
		string mbox = randomMailbox(random, size, encoded);
		file.write(mbox);
		const int flags = flagSets[round % std::size(flagSets)];
		const int capacity = round % 3 == 0 ? 32000 : 1 + static_cast<int>(random() % 600);
		Rescanner r(file.path(), flags, capacity);
		string rest; // of a delivery begun and not yet finished
		for (int step = 0; step < 12; ++step) {
			ASSERT_EQ(r.rescan(), scan(file.path(), flags, capacity)) << "round " << round << " step " << step;
			incremental += r.memory.incremental;
			++steps;
			string added;
			switch (random() % 10) {
			case 0: // in place, the same size
				if (!mbox.empty()) {
					const std::size_t at = random() % mbox.size();
					const string bytes = randomMailbox(random, 1 + random() % 40, encoded).substr(0, mbox.size() - at);
					mbox.replace(at, bytes.size(), bytes);
					file.overwrite(static_cast<off_t>(at), bytes);
				}
				break;
			case 1: // read by a mail reader
				mbox = markedRead(mbox);
				file.write(mbox);
				break;
			case 2:
				mbox.resize(random() % (mbox.size() + 1));
				file.truncate(static_cast<off_t>(mbox.size()));
				break;
			case 3:
				mbox = randomMailbox(random, random() % 3000, encoded);
				file.replace(mbox);
				break;
			case 4: // a delivery cut in two
				added = rest.empty() ? randomMailbox(random, 1 + random() % 600, encoded) : rest;
				rest = added.substr(added.size() / 2);
				added.resize(added.size() / 2);
				break;
			default: // whatever was left, and more
				added = rest + randomMailbox(random, random() % 600, encoded);
				rest.clear();
			}
			if (!added.empty()) {
				mbox += added;
				file.append(added);
			}
		}
	}
	// The rescans went on from the last message more often than not.
	EXPECT_GT(incremental, steps / 3);
}
