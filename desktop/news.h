// What a notification of new mail says: the summary lines that were not in
// the summary before, each occurrence counted, as "sender: subject" in
// UTF-8.  It knows nothing of X or of the bus, so the tests take it alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct Charset;

// The newest new lines a notification shows.
inline constexpr std::size_t kNewsLines = 5;

struct News {
	int count = 0;                  // new messages: 0 for none
	std::vector<std::string> lines; // the newest new ones, oldest first, UTF-8, at most kNewsLines
};

// What is new in now (holding countNow messages) since before (countBefore).
// Where the summary has no room to show them, the rise in the count tells
// how many came.  charset is that of the summaries' bytes; null when they
// are UTF-8 already (the international list).
News findNews(std::string_view before, int countBefore, std::string_view now, int countNow, const Charset *charset);

// "1 new message", "N new messages".
std::string newsHeadline(const News &news);
// The lines, one a line, and "and K more" for those left out; with markup,
// escaped so that no line can carry any.
std::string newsBody(const News &news, bool markup);
