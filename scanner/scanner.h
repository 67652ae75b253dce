// The mailbox scanner: turns an mbox file, an MMDF file or an MH folder into
// the summary text shown in the list window, and a message count.
#pragma once

#include "scanner/resume.h"

#include <array>
#include <ctime>
#include <sys/stat.h>
#include <span>
#include <string>
#include <string_view>

// Scan flags, derived once from the settings and handed to every scan.
inline constexpr int SCAN_NEW_ONLY = 1;   // list and count only messages without a Status:
inline constexpr int SCAN_FULL_NAMES = 2; // show senders whole, not cut down to a name
inline constexpr int SCAN_DEBUG = 4;      // trace lines on standard output
inline constexpr int SCAN_MIME = 8;       // decode encoded header words
inline constexpr int SCAN_UTF8 = 16;      // the international list: whole values as clean UTF-8

// Fills summary (capacity bytes, at least 1) with one line per listed
// message and returns the count, or -1 when the mailbox can't be read.
int parseMailbox(const char *path, char *summary, int capacity, int flags);

// The same, for a rescan: of an mbox or MMDF file that only grew since the
// scan that left memory (into the same summary, which holds what that scan
// left there), only the last message and what follows it are read.  The
// result is the same as the whole file's.
int parseMailbox(const char *path, char *summary, int capacity, int flags, ScanMemory &memory);

// Whether path is a Maildir, a folder holding both cur and new; if so, and
// changed is given, the time it last changed: the later of those two's,
// to the nanosecond.
bool isMaildir(const char *path, timespec *changed = nullptr);
// The same, with what stat says of its new and cur folders, in that order.
bool isMaildir(const char *path, std::array<struct stat, 2> &folders);

// The line of a message whose header block (which is changed in place) is
// all there is of it, with status (empty for none), by the rules of a
// message in a folder.
std::string headerBlockLine(std::span<char> header, std::string_view status, int flags);

// The display name inside a sender value; may shorten the value in place.
char *shortSender(char *value, int flags);
