// What a look at a mailbox sees that a writer can change: for a file or an
// MH folder, its device and inode, its size, and its modification and
// change times to the nanosecond; for a Maildir, the same of its new and
// cur folders, where deliveries and readers change it.  Times in whole
// seconds are not enough: two deliveries come within one, and mail readers
// set the modification time back after writing a file over.  The change
// time no program can set: it moves with every write.
#pragma once

#include <array>
#include <compare>
#include <ctime>
#include <sys/types.h>

// A time to the nanosecond, as stat gives it.
struct StampTime {
	long long seconds = 0;
	long nanoseconds = 0;
	auto operator<=>(const StampTime &) const = default;
};

struct FileStamp {
	dev_t device = 0;
	ino_t inode = 0;
	off_t size = 0;
	StampTime modified;
	StampTime changed;
	bool operator==(const FileStamp &) const = default;
};

struct MailboxStamp {
	std::array<FileStamp, 2> parts; // a file or MH folder: the first alone; a Maildir: new, then cur
	time_t mtime = 0;               // in whole seconds; a Maildir's is the later of its folders'
	bool empty = false;             // a file of size 0
	bool folder = false;            // an MH folder or a Maildir
	bool operator==(const MailboxStamp &) const = default;
};

// How old the last change must be for a later one to be sure to show in
// the times: they come from a clock that moves in ticks (milliseconds), or
// on a network file system from another machine's.  Generous for both.
inline constexpr long long kSettledSeconds = 1;

// Looks at the mailbox at path, following links; false when it cannot.
bool stampMailbox(const char *path, MailboxStamp &stamp);

// Whether every change the stamp shows was made kSettledSeconds or more
// before now, by the real-time clock.
bool settledBy(const MailboxStamp &stamp, const StampTime &now);
StampTime timeNow();
