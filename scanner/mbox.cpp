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

namespace {

struct MboxScan {
	MboxScan(Summary &out, int scanFlags) : summary(out), flags(scanFlags) {}

	Summary &summary;
	int flags;
	int count = 0;
	SenderField sender;
	StatusField status;
	SubjectField subject;
	WholeValues whole;     // with SCAN_UTF8
	FieldCollector field;  // the whole value being gathered
	bool inHeaders = true;  // header lines are being looked at
	bool afterBlank = true; // the previous piece was empty, or none came yet
	bool sawCtrlA = false;  // from now on only Ctrl-A lines separate
	bool lineStart = true;  // the previous piece ended its line

	void emit()
	{
		field.close();
		emitEntry(summary, flags, sender, status, subject, whole, count);
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
		text.remove_prefix(std::min(text.find_first_not_of(kCtrlA), text.size()));
		scan.inHeaders = true;
		scan.afterBlank = false;
		scan.sawCtrlA = true;
		if (text.starts_with('\n'))
			return;
	} else {
		foldLeadingLetters(piece);
	}
	if (scan.flags & SCAN_DEBUG)
		std::printf("%d, %d, <%.*s>\n", scan.afterBlank, scan.inHeaders,
		            static_cast<int>(text.size()), text.data());

	if (text.starts_with('\n')) {
		if (!scan.sender.empty())
			scan.inHeaders = false;
		scan.afterBlank = true;
		// A lone newline after a line as long as a piece ends that line,
		// not the header: a whole field goes on with its continuations.
		if (!(scan.flags & SCAN_UTF8) || scan.lineStart)
			scan.field.close();
		return;
	}
	if (!scan.sawCtrlA && scan.afterBlank) {
		if (auto word = separatorWord(text)) {
			scan.emit();
			scan.sender.set(*word);
			if (scan.flags & SCAN_UTF8)
				scan.whole.sender = *word;
			scan.inHeaders = true;
			scan.afterBlank = false;
			return;
		}
	}
	scan.afterBlank = false;
	if (!scan.inHeaders)
		return;
	if (auto from = headerValue(text, "from:")) {
		scan.sender.set(*from);
		scan.openField(scan.whole.sender, piece, *from);
	} else if (auto subject = headerValue(text, "subject:")) {
		scan.subject.set(*subject);
		scan.openField(scan.whole.subject, piece, *subject);
	} else if (auto status = statusWord(text))
		scan.status.set(*status);
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

} // namespace

int parseMboxFile(const char *path, Summary &summary, int flags)
{
	MailFile file(path);
	if (!file.isOpen()) {
		if (summary.capacity > 0)
			std::snprintf(summary.text, static_cast<std::size_t>(summary.capacity),
			              "Failed to open %s", path);
		return -1;
	}
	// A FIFO or a device has no end to wait for and is no mailbox; it
	// reads as an empty file.
	if (!file.isRegular())
		return 0;

	MboxScan scan(summary, flags);
	PieceReader reader(file.fd());
	const bool tracing = flags & SCAN_DEBUG;
	for (;;) {
		if (!scan.inHeaders && !scan.afterBlank && !scan.field.isOpen() && !tracing)
			skipBody(reader);
		std::span<char> piece = reader.next();
		if (piece.empty())
			break;
		if (scan.field.isOpen())
			scan.field.take(piece);
		if (tracing || scan.afterBlank || mayMatter(piece.front()))
			handlePiece(scan, piece);
		scan.lineStart = piece.back() == '\n';
	}
	scan.emit();
	return scan.count;
}
