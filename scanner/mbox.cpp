// The mbox and MMDF parser: one pass over the file's pieces with three
// flags.  Messages are separated by a "From " line after an empty line, or
// by lines of Ctrl-A characters; sender, subject and status come from the
// header block.  Nothing of MIME, continuation lines or quoting is known.
//
// Most of a mailbox is body text, where a piece matters only if it is
// empty, starts with Ctrl-A, or follows an empty piece.  Those stretches
// are skipped a line at a time by skipBodyPieces(); every other piece goes
// through handlePiece(), which is the whole rule.
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kCtrlA = '\001';

struct MboxScan {
	MboxScan(Summary &out, int scanFlags) : summary(out), flags(scanFlags) {}

	Summary &summary;
	int flags;
	int count = 0;
	SenderField sender;
	StatusField status;
	SubjectField subject;
	bool inHeaders = true;  // header lines are being looked at
	bool afterBlank = true; // the previous piece was empty, or none came yet
	bool sawCtrlA = false;  // from now on only Ctrl-A lines separate

	void emit() { emitEntry(summary, flags, sender, status, subject, count); }
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
		return;
	}
	if (!scan.sawCtrlA && scan.afterBlank) {
		if (auto word = separatorWord(text)) {
			scan.emit();
			scan.sender.set(*word);
			scan.inHeaders = true;
			scan.afterBlank = false;
			return;
		}
	}
	scan.afterBlank = false;
	if (!scan.inHeaders)
		return;
	if (auto from = headerValue(text, "from:"))
		scan.sender.set(*from);
	else if (auto subject = headerValue(text, "subject:"))
		scan.subject.set(*subject);
	else if (auto status = statusWord(text))
		scan.status.set(*status);
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

BodySkip skipBodyPieces(std::span<const char> buf)
{
	const char *data = buf.data();
	const std::size_t size = buf.size();
	std::size_t at = 0;
	while (at < size) {
		if (data[at] == '\n' || data[at] == kCtrlA)
			return {at, true};
		const void *nl = std::memchr(data + at, '\n', size - at);
		if (!nl) {
			// The line goes on past the buffer: step over its whole
			// pieces, leaving the last one, which may still grow.
			while (size - at >= kPieceChars) {
				at += kPieceChars;
				if (at < size && data[at] == kCtrlA)
					return {at, true};
			}
			return {at, false};
		}
		// A line longer than a piece goes on in pieces, and one of
		// them may be a lone newline or start with Ctrl-A.
		const std::size_t length = static_cast<std::size_t>(static_cast<const char *>(nl) - (data + at));
		for (std::size_t k = kPieceChars; k <= length; k += kPieceChars)
			if (data[at + k] == '\n' || data[at + k] == kCtrlA)
				return {at + k, true};
		at += length + 1;
	}
	return {at, false};
}

int parseMboxFile(const char *path, Summary &summary, int flags)
{
	MailFile file(path);
	if (!file.isOpen()) {
		if (summary.capacity > 0)
			std::snprintf(summary.text, static_cast<std::size_t>(summary.capacity),
			              "Failed to open %s", path);
		return -1;
	}
	MboxScan scan(summary, flags);
	// A FIFO or a device has no end to wait for and is no mailbox; it
	// reads as an empty file.
	if (!file.isRegular())
		return 0;

	PieceReader reader(file.fd());
	const bool tracing = flags & SCAN_DEBUG;
	for (;;) {
		if (!scan.inHeaders && !scan.afterBlank && !tracing)
			skipBody(reader);
		std::span<char> piece = reader.next();
		if (piece.empty())
			break;
		handlePiece(scan, piece);
	}
	scan.emit();
	return scan.count;
}
