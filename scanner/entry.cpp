// The summary line of one message, and the sender's display name.
#include "decode/decode.h"
#include "decode/utf8.h"
#include "decode/words.h"
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <climits>
#include <cstdio>
#include <cstring>

using std::string;

namespace {

void appendEntry(Summary &summary, std::string_view sender, std::string_view status, std::string_view subject)
{
	if (status.empty())
		appendLine(summary, {sender, " << ", subject, " >>\n"});
	else
		appendLine(summary, {sender, " (", status, ") << ", subject, " >>\n"});
}

// A status word is made of anything but blanks; in the international list
// it is made clean UTF-8 as well.
string shownStatus(const char *status)
{
	if (*status == '\0')
		return {};
	string shown;
	appendAsUtf8(shown, status);
	replaceControls(shown);
	return shown;
}

// With SCAN_UTF8: a sender or subject value as a line shows it, decoded
// (with SCAN_MIME) and cut to kHeaderValueChars characters.
string shownValue(std::string_view whole, int flags)
{
	string shown = decodeHeaderUtf8(whole, flags & SCAN_MIME);
	keepCharacters(shown, kHeaderValueChars);
	return shown;
}

// With SCAN_UTF8: the sender as a line shows it.  Its name is found in the
// value as written, and only then decoded (RFC 2047, section 6.2): a word
// that decodes to "(", "<" or a quote is part of the name, and changes
// nothing of where it is.
string shownSender(const string &whole, int flags)
{
	string raw = whole;
	return shownValue(shortSender(raw.data(), flags), flags);
}

string lineOf(std::string_view sender, std::string_view status, std::string_view subject)
{
	if (status.empty())
		return string(sender) + " << " + string(subject) + " >>\n";
	return string(sender) + " (" + string(status) + ") << " + string(subject) + " >>\n";
}

constexpr const char *kUnknownSender = "*Unknown sender*";

} // namespace

string folderMessageLine(int flags, SenderField &sender, std::string_view status, SubjectField &subject,
                         WholeValues &whole)
{
	if (sender.empty()) {
		sender.set(kUnknownSender);
		whole.sender = kUnknownSender;
	}
	if (flags & SCAN_UTF8)
		return lineOf(shownSender(whole.sender, flags), shownStatus(string(status).c_str()),
		              shownValue(whole.subject, flags));
	if (flags & SCAN_MIME) {
		decodeHeader(sender.data());
		decodeHeader(subject.data());
	}
	return lineOf(shortSender(sender.data(), flags), status, subject.data());
}

namespace {

// The pending message's line, into the summary.
void appendMessageLine(Summary &summary, int flags, SenderField &sender, StatusField &status,
                       SubjectField &subject, const WholeValues &whole)
{
	if (flags & SCAN_UTF8) {
		const string from = shownSender(whole.sender, flags);
		const string about = shownValue(whole.subject, flags);
		appendEntry(summary, from, shownStatus(status.data()), about);
		return;
	}
	if (flags & SCAN_MIME) {
		decodeHeader(sender.data());
		decodeHeader(subject.data());
	}
	appendEntry(summary, shortSender(sender.data(), flags), status.data(), subject.data());
}

} // namespace

string failedToOpen(std::string_view path, int flags)
{
	string name;
	if (flags & SCAN_UTF8) {
		appendAsUtf8(name, path);
		replaceControls(name);
	} else {
		name = path;
		for (char &c : name)
			if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
				c = '?';
	}
	return "Failed to open " + name + "\n";
}

void emitEntry(Summary &summary, int flags, SenderField &sender, StatusField &status,
               SubjectField &subject, WholeValues &whole, int &count)
{
	if (sender.empty())
		return;
	if (flags & SCAN_DEBUG)
		std::printf("%d: %s '%s' <<%s>>\n", count, sender.data(), status.data(),
		            subject.data());
	if (!(flags & SCAN_NEW_ONLY) || status.empty()) {
		// Once the summary's room is gone no line is added: none is made.
		if (summary.room > 0)
			appendMessageLine(summary, flags, sender, status, subject, whole);
		if (count < INT_MAX)
			++count;
	}
	sender.clear();
	status.clear();
	subject.clear();
	whole.clear();
}

namespace {

// What the end of a name is trimmed of: in the POSIX locale isgraph()
// fails for blanks, control characters and every byte from 0x80 up; in
// the international list only blanks and control characters go, so that
// a name never loses a character that is not ASCII.
bool keepsTheEnd(char c, int flags)
{
	auto u = static_cast<unsigned char>(c);
	if (flags & SCAN_UTF8)
		return u > 0x20 && u != 0x7f;
	return u > 0x20 && u < 0x7f;
}

} // namespace

char *shortSender(char *value, int flags)
{
	if ((flags & SCAN_FULL_NAMES) || std::strchr(value, '"'))
		return value;
	char *name = std::strchr(value, '(');
	name = name ? name + 1 : value;
	if (char *close = std::strchr(name, ')'))
		*close = '\0';
	if (char *angle = std::strchr(name, '<'))
		*angle = '\0';
	if (*name == '\0')
		return value;
	char *last = name + std::strlen(name) - 1;
	while (last > name && !keepsTheEnd(*last, flags))
		*last-- = '\0';
	return keepsTheEnd(*last, flags) ? name : value;
}
