// What a scan of an mbox or MMDF file keeps so that the next scan of it,
// when all that changed is mail appended, reads only from where the last
// message began.
//
// The parser's state where a message begins (just after the message
// before it was listed) is all it needs to go on from there; the bytes
// before that point are taken to be as they were when the file is the same
// file, larger, and its first bytes, the first of its last message and its
// last bytes are as they were: a mail reader that writes the file anew
// changes the first, or moves what follows the message it changed, which
// the others see.  Anything else reads the whole file.
#pragma once

#include "decode/decode.h"
#include "scanner/headers.h"
#include "scanner/wholefield.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// How much of the file's start, of its last message's start and of its
// end the prints cover.
inline constexpr off_t kHeadPrintBytes = 64 * 1024;
inline constexpr off_t kLastPrintBytes = 64 * 1024;
inline constexpr off_t kTailPrintBytes = 64 * 1024;

// The mbox parser between two pieces, but for a whole field being
// gathered, which is closed where a message begins.
struct MboxProgress {
	int count = 0;
	SenderField sender;
	StatusField status;
	SubjectField subject;
	WholeValues whole;      // with SCAN_UTF8
	bool inHeaders = true;  // header lines are being looked at
	bool afterBlank = true; // the previous piece was empty, or none came yet
	bool sawCtrlA = false;  // from now on only Ctrl-A lines separate
	bool lineStart = true;  // the previous piece ended its line
};

// A place where a message begins: the piece there, how the parser stood
// just before it, and the summary then (its room and its length).
struct MessageStart {
	off_t offset = 0;
	MboxProgress progress;
	int room = 0;
	std::size_t length = 0;
};

// Prints of the places of a file that tell whether only bytes were added
// after them.
struct FilePrints {
	std::uint64_t head; // of the first kHeadPrintBytes
	std::uint64_t last; // of kLastPrintBytes from where the last message began
	std::uint64_t tail; // of the last kTailPrintBytes
	bool operator==(const FilePrints &) const = default;
};

struct MboxResume {
	dev_t device;
	ino_t inode;
	off_t size; // what the scan read, to the end
	int flags;
	int capacity;
	std::array<char, kFontCharsetChars + 1> charset; // the font's, which decoding follows
	MessageStart last;          // where the last message began
	std::uint64_t summaryPrint; // of the summary's text up to last.length
	FilePrints prints;          // of the file's first size bytes
};

// What parseMailbox() leaves for the next scan of the same mailbox.
struct ScanMemory {
	std::optional<MboxResume> mbox;
	// How the last scan read: from byte readFrom on, when incremental.
	bool incremental = false;
	off_t readFrom = 0;
};

// A print that tells changed bytes apart.  Prints start from a number
// drawn when the process starts, so that no one can write bytes that print
// alike.
std::uint64_t printOf(std::string_view bytes);

// Whether a scan of the file open as fd, which stat describes, can go on
// from resume: the summary's text still holds what it held up to there.
bool canGoOn(const MboxResume &resume, int fd, const struct stat &st, const char *summary, int capacity,
             int flags);

// What to keep after a scan of the file open as fd, which was as before
// describes when the scan began, that read size bytes in all; none when
// the file changed meanwhile or could not be read to its end.
std::optional<MboxResume> resumeAfter(int fd, const struct stat &before, off_t size, const MessageStart &last,
                                      const char *summary, int capacity, int flags);
