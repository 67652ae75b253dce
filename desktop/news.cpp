// The new lines of a summary, found by counting the lines of the summary
// before: a line that is in both as often is nothing new, whatever moved.
#include "desktop/news.h"
#include "decode/charset.h"
#include "decode/utf8.h"

#include <algorithm>
#include <unordered_map>

using std::string;
using std::string_view;

namespace {

template <typename Each> void forEachLine(string_view text, Each each)
{
	while (!text.empty()) {
		const std::size_t end = text.find('\n');
		each(text.substr(0, end));
		if (end == string_view::npos)
			break;
		text.remove_prefix(end + 1);
	}
}

// A status word as the list shows one, "(RO)" or a Maildir's "(FS)":
// capital letters and nothing else, so that a full name's comment, which
// the list keeps, stays part of the sender.
bool isStatus(string_view word)
{
	return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

string_view withoutStatus(string_view sender)
{
	if (!sender.ends_with(')'))
		return sender;
	const std::size_t open = sender.rfind(" (");
	if (open == string_view::npos || !isStatus(sender.substr(open + 2, sender.size() - open - 3)))
		return sender;
	return sender.substr(0, open);
}

// Characters that a notification server's text layout obeys though they
// are no controls: the line and paragraph separators (U+2028, U+2029)
// would start lines of a stranger's own, and the bidirectional embeddings,
// overrides and isolates (U+202A to U+202E, U+2066 to U+2069) would show
// "gnp.exe" as "exe.png".  The separators become blanks, the others go.
void dropLayoutCharacters(string &text)
{
	string out;
	for (std::size_t at = 0; at < text.size(); ++at) {
		const auto c = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
		if (c(0) == 0xE2 && c(1) == 0x80 && (c(2) == 0xA8 || c(2) == 0xA9)) {
			out += ' ';
			at += 2;
		} else if (c(0) == 0xE2 && ((c(1) == 0x80 && c(2) >= 0xAA && c(2) <= 0xAE) ||
		                            (c(1) == 0x81 && c(2) >= 0xA6 && c(2) <= 0xA9))) {
			at += 2;
		} else {
			out += text[at];
		}
	}
	text = std::move(out);
}

void appendText(string &out, string_view bytes, const Charset *charset)
{
	string text;
	if (charset)
		appendInUtf8(*charset, bytes, text);
	else
		appendValidUtf8(text, bytes);
	replaceControls(text);
	dropLayoutCharacters(text);
	out += text;
}

// "sender << subject >>" and "sender (status) << subject >>" become
// "sender: subject"; a line of another kind (a message that could not be
// opened) is shown as it is.
string newsLine(string_view line, const Charset *charset)
{
	constexpr string_view kOpen = " << ", kClose = " >>";
	const std::size_t open = line.find(kOpen);
	string out;
	if (open == string_view::npos || line.size() < open + kOpen.size() + kClose.size() || !line.ends_with(kClose)) {
		appendText(out, line, charset);
		return out;
	}
	const std::size_t from = open + kOpen.size();
	appendText(out, withoutStatus(line.substr(0, open)), charset);
	out += ": ";
	appendText(out, line.substr(from, line.size() - kClose.size() - from), charset);
	return out;
}

// A line as it stands for its message, whatever its status: a message
// read elsewhere (with allMail, its status word comes or changes) is no
// news.
string sameMessage(string_view line)
{
	const std::size_t open = line.find(" << ");
	if (open == string_view::npos)
		return string(line);
	const string_view sender = line.substr(0, open);
	string same(withoutStatus(sender));
	same += line.substr(open);
	return same;
}

void appendEscaped(string &out, string_view text, bool markup)
{
	if (!markup) {
		out += text;
		return;
	}
	for (char c : text) {
		switch (c) {
		case '&': out += "&amp;"; break;
		case '<': out += "&lt;"; break;
		case '>': out += "&gt;"; break;
		default: out += c; break;
		}
	}
}

} // namespace

News findNews(string_view before, int countBefore, string_view now, int countNow, const Charset *charset)
{
	std::unordered_map<string, int> known;
	long linesBefore = 0;
	forEachLine(before, [&](string_view line) {
		++known[sameMessage(line)];
		++linesBefore;
	});
	std::vector<string_view> fresh;
	forEachLine(now, [&](string_view line) {
		auto at = known.find(sameMessage(line));
		if (at != known.end() && at->second > 0)
			--at->second;
		else
			fresh.push_back(line);
	});
	// A summary that had no room for every message hid the newest: a line
	// that shows now may be one of those, so none is named.
	if (countBefore > linesBefore)
		fresh.clear();
	News news;
	const long rise = static_cast<long>(countNow) - std::max(countBefore, 0);
	news.count = static_cast<int>(std::max<long>(static_cast<long>(fresh.size()), rise));
	const std::size_t shown = std::min(fresh.size(), kNewsLines);
	for (std::size_t i = fresh.size() - shown; i < fresh.size(); ++i)
		news.lines.push_back(newsLine(fresh[i], charset));
	return news;
}

string newsHeadline(const News &news)
{
	return news.count == 1 ? "1 new message" : std::to_string(news.count) + " new messages";
}

string newsBody(const News &news, bool markup)
{
	string body;
	for (const string &line : news.lines) {
		if (!body.empty())
			body += '\n';
		appendEscaped(body, line, markup);
	}
	const auto shown = static_cast<long>(news.lines.size());
	if (shown > 0 && news.count > shown)
		body += "\nand " + std::to_string(news.count - shown) + " more";
	return body;
}
