// Encoded words are looked for anywhere, not only between blanks, since
// much mail writes them straight after other text ("Re:=?utf-8?...").
// Adjacent words of one charset are converted together: encoders cut long
// texts into words wherever the length says, in the middle of a character.
#include "decode/words.h"
#include "decode/charset.h"
#include "decode/hex.h"
#include "decode/utf8.h"

#include <array>
#include <optional>
#include <strings.h>

using std::string;
using std::string_view;

namespace {

// "=?charset?encoding?text?=", taken apart.
struct Word {
	string_view charset; // without an RFC 2231 language ("utf-8*de")
	char encoding;       // 'b' or 'q'
	string_view text;
	std::size_t end; // just after the "?="
};

// Printable, and no "?": what the parts of a word are made of.
bool isWordChar(char c)
{
	return c > ' ' && c < 0x7f && c != '?';
}

std::size_t wordChars(string_view s, std::size_t from)
{
	std::size_t i = from;
	while (i < s.size() && isWordChar(s[i]))
		++i;
	return i - from;
}

// The word starting at at, which holds "=?".
std::optional<Word> wordAt(string_view value, std::size_t at)
{
	std::size_t i = at + 2;
	const std::size_t charsetChars = wordChars(value, i);
	string_view charset = value.substr(i, charsetChars);
	charset = charset.substr(0, charset.find('*'));
	i += charsetChars;
	if (charset.empty() || value.substr(i, 1) != "?" || i + 2 >= value.size() || value[i + 2] != '?')
		return std::nullopt;
	const char encoding = static_cast<char>(value[i + 1] | 0x20);
	if (encoding != 'b' && encoding != 'q')
		return std::nullopt;
	i += 3;
	const std::size_t textChars = wordChars(value, i);
	if (value.substr(i + textChars, 2) != "?=")
		return std::nullopt;
	return Word{charset, encoding, value.substr(i, textChars), i + textChars + 2};
}

bool decodeQ(string_view text, string &out)
{
	for (std::size_t i = 0; i < text.size(); ++i) {
		if (text[i] == '_') {
			out += ' ';
		} else if (text[i] != '=') {
			out += text[i];
		} else {
			if (i + 2 >= text.size())
				return false;
			auto high = hexDigit(text[i + 1]);
			auto low = hexDigit(text[i + 2]);
			if (!high || !low)
				return false;
			out += static_cast<char>(*high << 4 | *low);
			i += 2;
		}
	}
	return true;
}

std::optional<int> base64Value(char c)
{
	if (c >= 'A' && c <= 'Z')
		return c - 'A';
	if (c >= 'a' && c <= 'z')
		return c - 'a' + 26;
	if (c >= '0' && c <= '9')
		return c - '0' + 52;
	if (c == '+')
		return 62;
	if (c == '/')
		return 63;
	return std::nullopt;
}

// Padding may be left off, as some encoders do; anything else amiss fails.
bool decodeB(string_view text, string &out)
{
	std::size_t padding = 0;
	while (padding < 2 && text.ends_with('=')) {
		text.remove_suffix(1);
		++padding;
	}
	if (text.size() % 4 == 1 || (padding > 0 && (text.size() + padding) % 4 != 0))
		return false;
	unsigned bits = 0;
	int held = 0;
	for (char c : text) {
		auto v = base64Value(c);
		if (!v)
			return false;
		bits = (bits << 6 | static_cast<unsigned>(*v)) & 0xffffff;
		held += 6;
		if (held >= 8) {
			held -= 8;
			out += static_cast<char>(bits >> held & 0xff);
		}
	}
	return true;
}

// The bytes a word stands for, when it can be decoded.
std::optional<string> wordBytes(const Word &word)
{
	string bytes;
	const bool decoded = word.encoding == 'b' ? decodeB(word.text, bytes) : decodeQ(word.text, bytes);
	if (!decoded || !knownCharset(word.charset))
		return std::nullopt;
	return bytes;
}

bool onlyBlanks(string_view s)
{
	return s.find_first_not_of(" \t") == string_view::npos;
}

bool sameCharset(string_view a, string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The decoded bytes of adjacent words of one charset, converted together.
struct Run {
	string_view charset;
	string bytes;

	void flushTo(string &out)
	{
		if (!charset.empty())
			convertToUtf8(charset, bytes, out);
		charset = {};
		bytes.clear();
	}
};

} // namespace

string decodeHeaderUtf8(string_view value, bool words)
{
	string out;
	Run run;
	std::size_t plain = 0; // the text since the last word taken starts here
	for (std::size_t at = words ? value.find("=?") : string_view::npos; at != string_view::npos;
	     at = value.find("=?", at)) {
		auto word = wordAt(value, at);
		auto bytes = word ? wordBytes(*word) : std::nullopt;
		if (!bytes) {
			++at; // as written
			continue;
		}
		const string_view between = value.substr(plain, at - plain);
		const bool adjacent = !run.charset.empty() && onlyBlanks(between);
		if (!adjacent || !sameCharset(run.charset, word->charset))
			run.flushTo(out);
		if (!adjacent)
			appendAsUtf8(out, between);
		run.charset = word->charset;
		run.bytes += *bytes;
		plain = at = word->end;
	}
	run.flushTo(out);
	appendAsUtf8(out, value.substr(plain));
	replaceControls(out);
	return out;
}
