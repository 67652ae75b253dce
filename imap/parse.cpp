// A small tokenizer over a response's text: atoms, numbers, quoted strings,
// parenthesised lists and literals; every read is bounded by the text.
#include "imap/parse.h"

#include <charconv>
#include <strings.h>

using std::string;
using std::string_view;

namespace {

class Tokens {
public:
	explicit Tokens(const Response &r) : text_(r.text), literals_(r.literals) {}

	bool atEnd()
	{
		skipBlanks();
		return at_ >= text_.size();
	}
	bool take(char c)
	{
		skipBlanks();
		if (at_ < text_.size() && text_[at_] == c) {
			++at_;
			return true;
		}
		return false;
	}
	// An atom; one that starts a body section ("BODY[...]") runs to its "]".
	string_view atom()
	{
		skipBlanks();
		const std::size_t start = at_;
		if (text_.substr(at_).starts_with("BODY[") || text_.substr(at_).starts_with("body[")) {
			const auto close = text_.find(']', at_);
			at_ = close == string_view::npos ? text_.size() : close + 1;
			return text_.substr(start, at_ - start);
		}
		while (at_ < text_.size() && !isSpecial(text_[at_]))
			++at_;
		return text_.substr(start, at_ - start);
	}
	std::optional<std::uint32_t> number()
	{
		string_view a = atom();
		std::uint32_t n = 0;
		auto [end, error] = std::from_chars(a.data(), a.data() + a.size(), n);
		if (a.empty() || error != std::errc() || end != a.data() + a.size())
			return std::nullopt;
		return n;
	}
	// A string: quoted, a literal, or NIL.
	std::optional<string> text()
	{
		skipBlanks();
		if (take('"')) {
			string out;
			while (at_ < text_.size() && text_[at_] != '"') {
				if (text_[at_] == '\\' && at_ + 1 < text_.size())
					++at_;
				out += text_[at_++];
			}
			if (!take('"'))
				return std::nullopt;
			return out;
		}
		if (at_ < text_.size() && text_[at_] == '{') {
			const auto close = text_.find('}', at_);
			if (close == string_view::npos || literal_ >= literals_.size())
				return std::nullopt;
			at_ = close + 1;
			return literals_[literal_++];
		}
		if (strncasecmp(string(atom()).c_str(), "NIL", 4) == 0)
			return string();
		return std::nullopt;
	}
	// Skips one item of any kind, lists whole.  Iterative: a server's
	// nesting may be as deep as its response is long.
	bool skip()
	{
		std::size_t depth = 0;
		do {
			if (take('(')) {
				++depth;
				continue;
			}
			if (depth > 0 && take(')')) {
				--depth;
				continue;
			}
			if (atEnd())
				return false;
			if (text_[at_] == '"' || text_[at_] == '{') {
				if (!text())
					return false;
			} else if (atom().empty()) {
				return false;
			}
		} while (depth > 0);
		return true;
	}

private:
	static bool isSpecial(char c) { return c == ' ' || c == '(' || c == ')' || c == '"' || c == '{'; }
	void skipBlanks()
	{
		while (at_ < text_.size() && text_[at_] == ' ')
			++at_;
	}

	string_view text_;
	const std::vector<string> &literals_;
	std::size_t at_ = 0;
	std::size_t literal_ = 0;
};

bool is(string_view a, const char *b)
{
	return a.size() == std::char_traits<char>::length(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

} // namespace

std::optional<FolderStatus> parseStatus(const Response &r)
{
	if (r.tag != "*")
		return std::nullopt;
	Tokens t(r);
	if (!is(t.atom(), "STATUS") || !t.skip() || !t.take('('))
		return std::nullopt;
	FolderStatus s;
	int seen = 0;
	while (!t.take(')')) {
		const string_view item = t.atom();
		const auto value = t.number();
		if (item.empty() || !value)
			return std::nullopt;
		if (is(item, "MESSAGES"))
			s.messages = *value, seen |= 1;
		else if (is(item, "UNSEEN"))
			s.unseen = *value, seen |= 2;
		else if (is(item, "UIDNEXT"))
			s.uidNext = *value, seen |= 4;
		else if (is(item, "UIDVALIDITY"))
			s.uidValidity = *value, seen |= 8;
	}
	return seen == 15 ? std::optional(s) : std::nullopt;
}

bool appendSearch(const Response &r, std::vector<std::uint32_t> &found)
{
	if (r.tag != "*")
		return false;
	Tokens t(r);
	if (!is(t.atom(), "SEARCH"))
		return false;
	const std::size_t before = found.size();
	while (!t.atEnd()) {
		auto n = t.number();
		if (!n) {
			found.resize(before);
			return false;
		}
		found.push_back(*n);
	}
	return true;
}

std::optional<std::vector<std::uint32_t>> parseSearch(const Response &r)
{
	std::vector<std::uint32_t> found;
	if (!appendSearch(r, found))
		return std::nullopt;
	return found;
}

std::optional<Fetched> parseFetch(const Response &r)
{
	if (r.tag != "*")
		return std::nullopt;
	Tokens t(r);
	if (!t.number() || !is(t.atom(), "FETCH") || !t.take('('))
		return std::nullopt;
	Fetched f;
	bool uid = false, header = false;
	while (!t.take(')')) {
		if (t.atEnd())
			return std::nullopt;
		const string_view item = t.atom();
		if (is(item, "UID")) {
			auto n = t.number();
			if (!n)
				return std::nullopt;
			f.uid = *n;
			uid = true;
		} else if (is(item, "FLAGS")) {
			if (!t.take('('))
				return std::nullopt;
			while (!t.take(')')) {
				const string_view flag = t.atom();
				if (flag.empty())
					return std::nullopt;
				if (is(flag, "\\Answered"))
					f.flags += 'R';
				else if (is(flag, "\\Flagged"))
					f.flags += 'F';
				else if (is(flag, "\\Seen"))
					f.flags += 'S';
				else if (is(flag, "\\Deleted"))
					f.deleted = true;
			}
		} else if (item.size() > 5 && strncasecmp(item.data(), "BODY[", 5) == 0) {
			auto text = t.text();
			if (!text)
				return std::nullopt;
			f.header = std::move(*text);
			header = true;
		} else if (item.empty() || !t.skip()) {
			return std::nullopt;
		}
	}
	if (!uid || !header)
		return std::nullopt;
	// In the order a Maildir writes them: F, R, S.
	std::string ordered;
	for (char c : {'F', 'R', 'S'})
		if (f.flags.find(c) != string::npos)
			ordered += c;
	f.flags = ordered;
	return f;
}

string condition(const Response &r)
{
	Tokens t(r);
	const string_view word = t.atom();
	for (const char *c : {"OK", "NO", "BAD"})
		if (is(word, c))
			return c;
	return "";
}

string quoted(const string &text)
{
	string out = "\"";
	for (char c : text) {
		if (c == '"' || c == '\\')
			out += '\\';
		out += c;
	}
	return out + "\"";
}
