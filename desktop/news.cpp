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

void appendText(string &out, string_view bytes, const Charset *charset)
{
	string text;
	if (charset)
		appendInUtf8(*charset, bytes, text);
	else
		appendValidUtf8(text, bytes);
	replaceControls(text);
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
	std::unordered_map<string_view, int> known;
	forEachLine(before, [&](string_view line) { ++known[line]; });
	std::vector<string_view> fresh;
	forEachLine(now, [&](string_view line) {
		auto at = known.find(line);
		if (at != known.end() && at->second > 0)
			--at->second;
		else
			fresh.push_back(line);
	});
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
