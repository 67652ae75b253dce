// The two mailbox parsers behind parseMailbox(), and what they share.
#pragma once

#include "scanner/headers.h"
#include "scanner/resume.h"
#include "scanner/summary.h"
#include "scanner/wholefield.h"

#include <span>
#include <string>

// Formats the pending message's line into the summary and empties the
// fields; a message with no sender is left pending.  With SCAN_UTF8 the
// line shows the whole values, which are set and emptied with the fields.
void emitEntry(Summary &summary, int flags, SenderField &sender, StatusField &status,
               SubjectField &subject, WholeValues &whole, int &count);

// The line of a message in a folder (MH or Maildir): decoded as the flags
// say, the sender cut down to a name; a message without a sender is
// "*Unknown sender*".
std::string folderMessageLine(int flags, SenderField &sender, std::string_view status, SubjectField &subject,
                              WholeValues &whole);

// The line of a message in a folder that cannot be opened.  A file's name
// is a stranger's: its control characters show as "?", and with
// SCAN_UTF8 it is made clean UTF-8 as a raw header value is.
std::string failedToOpen(std::string_view path, int flags);

// An mbox or MMDF file: the number of messages, or -1.  The summary is
// emptied here, or kept up to the last message when memory tells that only
// mail was appended since its last scan; memory is brought up to date.
int parseMboxFile(const char *path, Summary &summary, int flags, ScanMemory *memory);

// Where the mbox parser leaves body pieces that change nothing but the
// memory of a blank line: how far buf can be skipped, and whether it
// stopped at a piece that needs looking at.  Starts at a piece.
struct BodySkip {
	std::size_t skipped;
	bool stopped;
};
BodySkip skipBodyPieces(std::span<const char> buf);

// An MH folder: the number of entries not hidden, or -1.
inline constexpr std::size_t kMessagePathChars = 1023;
int MHparseMailbox(const char *folder, Summary &summary, int flags);
// The line of one message.
std::string MHparseOne(const char *path, int flags);

// A header block read on its own, up to its first empty line ("\n" or
// "\r\n") or kHeaderBytes: From: and Subject: lines where lines start.
inline constexpr std::size_t kHeaderBytes = 1024 * 1024;
void readHeaderBlock(PieceReader &reader, int flags, SenderField &sender, SubjectField &subject, WholeValues &whole);

// A Maildir: the number of messages listed, or -1.
int MDparseMailbox(const char *folder, Summary &summary, int flags);

// A message file without a sender may still be being written: it is read
// again after a wait, kMessageRereads times at most, as long as it was
// written to within the last kDeliverySeconds.
inline constexpr int kMessageRereads = 3;
inline constexpr unsigned kRereadWaitSeconds = 4;
inline constexpr long kDeliverySeconds = 120;
// How the wait is made; tests put in one that does not sleep.
extern void (*mhRereadWait)(unsigned seconds);
