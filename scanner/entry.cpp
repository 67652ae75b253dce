// The summary line of one message, and the sender's display name.
#include "decode/decode.h"
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <climits>
#include <cstdio>
#include <cstring>

void emitEntry(Summary &summary, int flags, SenderField &sender, StatusField &status,
               SubjectField &subject, int &count)
{
	if (sender.empty())
		return;
	if (flags & SCAN_DEBUG)
		std::printf("%d: %s '%s' <<%s>>\n", count, sender.data(), status.data(),
		            subject.data());
	if (!(flags & SCAN_NEW_ONLY) || status.empty()) {
		if (flags & SCAN_MIME) {
			decodeHeader(sender.data());
			decodeHeader(subject.data());
		}
		const char *shown = shortSender(sender.data(), flags);
		if (status.empty())
			appendLine(summary, {shown, " << ", subject.data(), " >>\n"});
		else
			appendLine(summary, {shown, " (", status.data(), ") << ", subject.data(), " >>\n"});
		if (count < INT_MAX)
			++count;
	}
	sender.clear();
	status.clear();
	subject.clear();
}

namespace {

// isgraph() in the POSIX locale, whatever locale is in force.
bool isGraphic(char c)
{
	auto u = static_cast<unsigned char>(c);
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
	while (last > name && !isGraphic(*last))
		*last-- = '\0';
	return isGraphic(*last) ? name : value;
}
