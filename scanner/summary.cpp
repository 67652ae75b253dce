#include "scanner/summary.h"

#include <cstring>

Summary startSummary(char *text, int capacity)
{
	if (capacity > 0)
		text[0] = '\0';
	return Summary{text, capacity, capacity, 0};
}

void appendLine(Summary &summary, std::initializer_list<std::string_view> parts)
{
	// Once the room is used up it stays so; stopping here also keeps a
	// mailbox of millions of messages from running the count below zero
	// until it wraps.
	if (summary.room <= 0)
		return;
	std::size_t length = 0;
	for (std::string_view part : parts)
		length += part.size();
	if (length >= static_cast<std::size_t>(summary.room)) {
		summary.room = 0;
		return;
	}
	summary.room -= static_cast<int>(length);
	// room > 0 means this line and the terminator fit after what is there.
	char *end = summary.text + summary.length;
	for (std::string_view part : parts) {
		std::memcpy(end, part.data(), part.size());
		end += part.size();
	}
	*end = '\0';
	summary.length += length;
}
