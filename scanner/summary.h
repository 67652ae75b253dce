// The summary buffer as a scan fills it, and the lines that go into it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

// Every line's length is taken from the room, whether it fits or not, so
// once a line has been left out every later one is too, and the text never
// outgrows the buffer.
struct Summary {
	char *text;
	int capacity;
	int room;
	std::size_t length;
};

// An empty summary; capacity counts the terminator.
Summary startSummary(char *text, int capacity);

// Appends the concatenation of parts as one line if it leaves room > 0.
void appendLine(Summary &summary, std::initializer_list<std::string_view> parts);
