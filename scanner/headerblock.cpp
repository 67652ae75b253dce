// A message's header block, read on its own: for messages kept one a file
// (Maildir) or fetched from a server, whose bodies are never wanted.
#include "scanner/parsers.h"
#include "scanner/scanner.h"

using std::string_view;

namespace {

// A header block apart from a mailbox file is as often written with CR-LF
// line ends as not (a server sends them so): the CR is the line end's.
string_view withoutCr(string_view value)
{
	if (value.ends_with('\r'))
		value.remove_suffix(1);
	return value;
}

} // namespace

void readHeaderBlock(PieceReader &reader, int flags, SenderField &sender, SubjectField &subject, WholeValues &whole)
{
	FieldCollector field;
	bool lineStart = true;
	std::size_t bytes = 0;
	for (std::span<char> piece; bytes < kHeaderBytes && !(piece = reader.next()).empty();) {
		bytes += piece.size();
		const bool starts = lineStart;
		lineStart = piece.back() == '\n';
		if (field.take(piece) || !starts)
			continue;
		const string_view raw(piece.data(), piece.size());
		if (raw == "\n" || raw == "\r\n")
			return;
		// Most header lines are neither From: nor Subject:.
		if (const char c = raw.front(); c != 'F' && c != 'f' && c != 'S' && c != 's')
			continue;
		foldLeadingLetters(piece);
		const string_view text = pieceText(piece);
		if (auto from = headerValue(text, "from:")) {
			sender.set(withoutCr(*from));
			if (flags & SCAN_UTF8)
				field.open(whole.sender, piece, static_cast<std::size_t>(from->data() - piece.data()));
		} else if (auto subj = headerValue(text, "subject:")) {
			subject.set(withoutCr(*subj));
			if (flags & SCAN_UTF8)
				field.open(whole.subject, piece, static_cast<std::size_t>(subj->data() - piece.data()));
		}
	}
}

std::string headerBlockLine(std::span<char> header, std::string_view status, int flags)
{
	SenderField sender;
	SubjectField subject;
	WholeValues whole;
	PieceReader reader(header);
	readHeaderBlock(reader, flags, sender, subject, whole);
	return folderMessageLine(flags, sender, status, subject, whole);
}
