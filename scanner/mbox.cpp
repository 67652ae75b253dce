// The mbox and MMDF parser: one pass over the file's pieces with three
// flags.  Messages are separated by a "From " line after an empty line, or
// by lines of Ctrl-A characters; sender, subject and status come from the
// header block.  Nothing of MIME, continuation lines or quoting is known.
//
// Most pieces change nothing: after a piece that was not empty, only an
// empty piece, one that starts with Ctrl-A, or a From:, Subject: or
// Status: line can.  Those are the pieces handlePiece(), which is the whole
// rule, gets to see; in the body, where even header lines don't count,
// skipBodyPieces() passes over the others in bulk.
//
// With SCAN_UTF8 the same pieces are looked at in the same way, so the
// messages and their count stay as they are; a From: or Subject: line
// found there also opens a whole field, which gathers every piece that
// follows until its field ends.
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <utility>

namespace {

struct MboxScan {
	MboxScan(Summary &out, int scanFlags, const PieceReader &pieces)
		: summary(out), flags(scanFlags), reader(pieces)
	{
	}

	Summary &summary;
	int flags;
	const PieceReader &reader;
	MboxProgress at;      // everything but the field being gathered
	FieldCollector field; // the whole value being gathered
	MessageStart last;    // where the latest message began
	bool pieceTaken = false; // the piece went into the field being gathered

	void emit()
	{
		field.close();
		emitEntry(summary, flags, at.sender, at.status, at.subject, at.whole, at.count);
	}

	// The piece begins a message; the one before it is listed.  A scan
	// can go on from here as from the file's start, unless the piece also
	// went into the message before (the rest of a long header line that
	// starts with Ctrl-A): that message's line then depends on bytes from
	// here on, which a delivery may not have finished.
	void messageStarts(std::span<const char> piece)
	{
		if (pieceTaken)
			return;
		last.offset = reader.offsetOf(piece.data());
		last.progress = at;
		last.room = summary.room;
		last.length = summary.length;
	}

	// A header line in piece gave value: its whole field starts there.
	void openField(std::string &wholeValue, std::span<const char> piece, std::string_view value)
	{
		if (flags & SCAN_UTF8)
			field.open(wholeValue, piece, static_cast<std::size_t>(value.data() - piece.data()));
	}
};

void handlePiece(MboxScan &scan, std::span<char> piece)
{
	std::string_view text = pieceText(piece);
	if (!text.empty() && text.front() == kCtrlA) {
		scan.emit();
		scan.messageStarts(piece);
		text.remove_prefix(std::min(text.find_first_not_of(kCtrlA), text.size()));
		scan.at.inHeaders = true;
		scan.at.afterBlank = false;
		scan.at.sawCtrlA = true;
		if (text.starts_with('\n'))
			return;
	} else {
		foldLeadingLetters(piece);
	}
	if (scan.flags & SCAN_DEBUG)
		std::printf("%d, %d, <%.*s>\n", scan.at.afterBlank, scan.at.inHeaders,
		            static_cast<int>(text.size()), text.data());

	if (text.starts_with('\n')) {
		if (!scan.at.sender.empty())
			scan.at.inHeaders = false;
		scan.at.afterBlank = true;
		// A lone newline after a line as long as a piece ends that line,
		// not the header: a whole field goes on with its continuations.
		if (!(scan.flags & SCAN_UTF8) || scan.at.lineStart)
			scan.field.close();
		return;
	}
	if (!scan.at.sawCtrlA && scan.at.afterBlank) {
		if (auto word = separatorWord(text)) {
			scan.emit();
			scan.messageStarts(piece);
			scan.at.sender.set(*word);
			if (scan.flags & SCAN_UTF8)
				scan.at.whole.sender = *word;
			scan.at.inHeaders = true;
			scan.at.afterBlank = false;
			return;
		}
	}
	scan.at.afterBlank = false;
	if (!scan.at.inHeaders)
		return;
	if (auto from = headerValue(text, "from:")) {
		scan.at.sender.set(*from);
		scan.openField(scan.at.whole.sender, piece, *from);
	} else if (auto subject = headerValue(text, "subject:")) {
		scan.at.subject.set(*subject);
		scan.openField(scan.at.whole.subject, piece, *subject);
	} else if (auto status = statusWord(text))
		scan.at.status.set(*status);
}

// After a piece that was not empty, a piece changes nothing unless it is
// empty, starts with Ctrl-A, or may be a From:, Subject: or Status: line.
bool mayMatter(char first)
{
	switch (first) {
	case '\n':
	case kCtrlA:
	case 'F':
	case 'f':
	case 'S':
	case 's':
		return true;
	default:
		return false;
	}
}

// Skips plain body pieces for as long as the buffer holds them whole.
void skipBody(PieceReader &reader)
{
	for (;;) {
		BodySkip skip = skipBodyPieces(reader.buffered());
		reader.consume(skip.skipped);
		if (skip.stopped || !reader.fill())
			return;
	}
}

// Where the scan begins, the reader set there: where the last one's last
// message began, when all that changed since is mail appended, or the
// file's start.
MessageStart startOfScan(std::optional<MboxResume> resume, const MailFile &file, const struct stat &st,
                         PieceReader &reader, Summary &summary, int flags, ScanMemory *memory)
{
	if (resume && canGoOn(*resume, file.fd(), st, summary.text, summary.capacity, flags) &&
	    reader.startAt(resume->last.offset)) {
		memory->incremental = true;
		memory->readFrom = resume->last.offset;
		summary.room = resume->last.room;
		summary.length = resume->last.length;
		summary.text[summary.length] = '\0';
		return resume->last;
	}
	summary = startSummary(summary.text, summary.capacity);
	return MessageStart{0, {}, summary.room, 0};
}

} // namespace

int parseMboxFile(const char *path, Summary &summary, int flags, ScanMemory *memory)
{
	// Whatever happens, the last scan's state is used up.
	std::optional<MboxResume> resume;
	if (memory) {
		resume = std::exchange(memory->mbox, std::nullopt);
		memory->incremental = false;
		memory->readFrom = 0;
	}
	MailFile file(path);
	if (!file.isOpen()) {
		if (summary.capacity > 0)
			std::snprintf(summary.text, static_cast<std::size_t>(summary.capacity),
			              "Failed to open %s", path);
		return -1;
	}
	// A FIFO or a device has no end to wait for and is no mailbox; it
	// reads as an empty file.
	struct stat st;
	if (fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
		summary = startSummary(summary.text, summary.capacity);
		return 0;
	}

	PieceReader reader(file.fd());
	MboxScan scan(summary, flags, reader);
	scan.last = startOfScan(std::move(resume), file, st, reader, summary, flags, memory);
	scan.at = scan.last.progress;
	const bool tracing = flags & SCAN_DEBUG;
	for (;;) {
		if (!scan.at.inHeaders && !scan.at.afterBlank && !scan.field.isOpen() && !tracing)
			skipBody(reader);
		std::span<char> piece = reader.next();
		if (piece.empty())
			break;
		scan.pieceTaken = scan.field.isOpen() && scan.field.take(piece);
		if (tracing || scan.at.afterBlank || mayMatter(piece.front()))
			handlePiece(scan, piece);
		scan.at.lineStart = piece.back() == '\n';
	}
	scan.emit();
	if (memory)
		memory->mbox = resumeAfter(file.fd(), st, reader.offset(), scan.last, summary.text, summary.capacity,
		                           flags);
	return scan.at.count;
}
