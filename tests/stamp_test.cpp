// What a look at a mailbox sees: every change a writer can make shows,
// within a second or with its time set back, and nothing else does.
#include "scanner/stamp.h"
#include "tests/fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using std::string;
namespace fs = std::filesystem;

namespace {

constexpr long kT1 = 1700000000;

void setTimes(const string &path, timespec modified)
{
	const timespec times[2] = {{0, UTIME_OMIT}, modified};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

timespec modifiedTime(const string &path)
{
	struct stat st;
	stat(path.c_str(), &st);
	return st.st_mtim;
}

void append(const string &path, const string &bytes)
{
	std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
}

// Writes over the file in place, keeping its size and its modification
// time to the nanosecond, as a mail reader that puts the time back would
// if it could.
void rewriteInPlace(const string &path)
{
	const timespec before = modifiedTime(path);
	std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
	file.seekp(0);
	file << 'f';
	file.close();
	setTimes(path, before);
}

MailboxStamp stampOf(const string &path)
{
	MailboxStamp stamp;
	EXPECT_TRUE(stampMailbox(path.c_str(), stamp)) << path;
	return stamp;
}

struct Change {
	const char *what;
	std::function<void(const TempDir &)> make;
	bool seen;
};

void expectChanges(const string &mailbox, const std::function<void(const TempDir &)> &setUp,
                   std::initializer_list<Change> changes)
{
	for (const Change &c : changes) {
		SCOPED_TRACE(c.what);
		TempDir dir;
		setUp(dir);
		const MailboxStamp before = stampOf(dir.sub(mailbox));
		c.make(dir);
		EXPECT_EQ(stampOf(dir.sub(mailbox)) != before, c.seen);
	}
}

} // namespace

TEST(Stamp, EveryChangeToAFileShows)
{
	const auto mbox = [](const TempDir &d) {
		d.write("mbox", "From a\n\nbody\n");
		setTimes(d.sub("mbox"), {kT1, 500000000});
	};
	expectChanges("mbox", mbox,
	              {
			      {"nothing", [](const TempDir &) {}, false},
			      {"read", [](const TempDir &d) { readFile(d.sub("mbox")); }, false},
			      {"a delivery within the second", [](const TempDir &d) {
				       append(d.sub("mbox"), "From b\n\n");
				       setTimes(d.sub("mbox"), {kT1, 600000000});
			       }, true},
			      {"a delivery, its time set back to the second",
			       [](const TempDir &d) {
				       append(d.sub("mbox"), "From b\n\n");
				       setTimes(d.sub("mbox"), {kT1, 0});
			       },
			       true},
			      {"written over in place, size and time kept", [](const TempDir &d) { rewriteInPlace(d.sub("mbox")); },
			       true},
			      {"only its time set back", [](const TempDir &d) { setTimes(d.sub("mbox"), {kT1, 0}); }, true},
			      {"touched to the time it has", [](const TempDir &d) { setTimes(d.sub("mbox"), {kT1, 500000000}); },
			       true},
			      {"replaced by a copy of itself, times and all",
			       [](const TempDir &d) {
				       d.write("copy", readFile(d.sub("mbox")));
				       setTimes(d.sub("copy"), {kT1, 500000000});
				       fs::rename(d.sub("copy"), d.sub("mbox"));
			       },
			       true},
			      {"made unreadable", [](const TempDir &d) { fs::permissions(d.sub("mbox"), fs::perms::none); }, true},
		      });
}

TEST(Stamp, FoldersChangeByTheirEntries)
{
	const auto mh = [](const TempDir &d) {
		fs::create_directory(d.sub("inbox"));
		d.write("inbox/1", "From: a\n\nbody\n");
		setTimes(d.sub("inbox"), {kT1, 0});
	};
	expectChanges("inbox", mh,
	              {
			      {"nothing", [](const TempDir &) {}, false},
			      {"a message added, the folder's time set back",
			       [](const TempDir &d) {
				       d.write("inbox/2", "From: b\n\nbody\n");
				       setTimes(d.sub("inbox"), {kT1, 0});
			       },
			       true},
			      {"a message removed", [](const TempDir &d) { fs::remove(d.sub("inbox/1")); }, true},
			      // A message is not changed in place by those who write
			      // MH folders; such a change is not looked for.
			      {"a message written over", [](const TempDir &d) { d.write("inbox/1", "From: c\n\nbody\n"); },
			       false},
		      });
	const auto maildir = [](const TempDir &d) {
		for (const char *sub : {"Maildir/cur", "Maildir/new", "Maildir/tmp"})
			fs::create_directories(d.sub(sub));
		d.write("Maildir/new/1.a", "From: a\n\nbody\n");
		setTimes(d.sub("Maildir/new"), {kT1, 0});
		setTimes(d.sub("Maildir/cur"), {kT1, 0});
	};
	expectChanges("Maildir", maildir,
	              {
			      {"nothing", [](const TempDir &) {}, false},
			      {"a message being delivered, in tmp", [](const TempDir &d) { d.write("Maildir/tmp/2.b", "x"); },
			       false},
			      {"delivered, new's time set back",
			       [](const TempDir &d) {
				       d.write("Maildir/new/2.b", "From: b\n\nbody\n");
				       setTimes(d.sub("Maildir/new"), {kT1, 0});
			       },
			       true},
			      {"seen: moved to cur and flagged, the times set back",
			       [](const TempDir &d) {
				       fs::rename(d.sub("Maildir/new/1.a"), d.sub("Maildir/cur/1.a:2,S"));
				       setTimes(d.sub("Maildir/new"), {kT1, 0});
				       setTimes(d.sub("Maildir/cur"), {kT1, 0});
			       },
			       true},
		      });
}

TEST(Stamp, WhatALookTellsBesides)
{
	TempDir dir;
	dir.write("empty", "");
	setTimes(dir.sub("empty"), {kT1, 999999999});
	const MailboxStamp empty = stampOf(dir.sub("empty"));
	EXPECT_TRUE(empty.empty);
	EXPECT_FALSE(empty.folder);
	EXPECT_EQ(empty.mtime, kT1);

	for (const char *sub : {"Maildir/cur", "Maildir/new"})
		fs::create_directories(dir.sub(sub));
	setTimes(dir.sub("Maildir/new"), {kT1 + 5, 0});
	setTimes(dir.sub("Maildir/cur"), {kT1 + 9, 0});
	const MailboxStamp maildir = stampOf(dir.sub("Maildir"));
	EXPECT_TRUE(maildir.folder);
	EXPECT_FALSE(maildir.empty);
	EXPECT_EQ(maildir.mtime, kT1 + 9); // the later folder's

	MailboxStamp none;
	EXPECT_FALSE(stampMailbox(dir.sub("missing").c_str(), none));
	fs::create_symlink("missing", dir.sub("dangling"));
	EXPECT_FALSE(stampMailbox(dir.sub("dangling").c_str(), none));
}

// A change is all there was once a second has passed since it was made:
// one in the same tick of the file system's clock would not show.
TEST(Stamp, SettledASecondAfterTheLastChange)
{
	MailboxStamp stamp;
	stamp.parts[0].changed = {kT1, 500000000};
	const struct {
		StampTime now;
		bool settled;
	} cases[] = {
		{{kT1, 500000000}, false},
		{{kT1 + 1, 499999999}, false},
		{{kT1 + 1, 500000000}, true},
		{{kT1 + 60, 0}, true},
		{{kT1 - 5, 0}, false}, // a change time ahead of the clock (another machine's)
	};
	for (const auto &c : cases)
		EXPECT_EQ(settledBy(stamp, c.now), c.settled) << c.now.seconds << "." << c.now.nanoseconds;
	stamp.parts[1].changed = {kT1 + 30, 0}; // a Maildir's other folder
	EXPECT_FALSE(settledBy(stamp, {kT1 + 2, 0}));
	EXPECT_TRUE(settledBy(stamp, {kT1 + 31, 0}));
	TempDir dir;
	EXPECT_FALSE(settledBy(stampOf(dir.write("mbox", "x")), timeNow()));
}
