// Encoded words are looked for anywhere, not only between blanks, since
// much mail writes them straight after other text ("Re:=?utf-8?...").
// Adjacent words of one charset are converted together: encoders cut long
// texts into words wherever the length says, in the middle of a character.
#include "decode/words.h"
#include "decode/charset.h"
#include "decode/hex.h"
#include "decode/utf8.h"

#include <algorithm>
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
		// Runs of plain characters go in whole.
		const std::size_t run = std::min(text.find_first_of("_=", i), text.size());
		out.append(text.substr(i, run - i));
		i = run;
		if (i == text.size())
			break;
		if (text[i] == '_') {
			out += ' ';
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

// Each character's value in base64, or -1.
constexpr std::array<signed char, 256> kBase64 = [] {
	std::array<signed char, 256> values{};
	values.fill(-1);
	constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	for (int i = 0; i < 64; ++i)
		values[static_cast<unsigned char>(kDigits[i])] = static_cast<signed char>(i);
	return values;
}();

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
	const std::size_t before = out.size();
	out.resize(before + text.size() * 3 / 4);
	char *o = out.data() + before;
	unsigned bits = 0;
	int held = 0;
	for (char c : text) {
		const int v = kBase64[static_cast<unsigned char>(c)];
		if (v < 0) {
			out.resize(before);
			return false;
		}
		bits = (bits << 6 | static_cast<unsigned>(v)) & 0xffffff;
		held += 6;
		if (held >= 8) {
			held -= 8;
			*o++ = static_cast<char>(bits >> held & 0xff);
		}
	}
	out.resize(static_cast<std::size_t>(o - out.data()));
	return true;
}

// The bytes a word stands for, appended to bytes, and its charset, when
// it can be decoded; null, with bytes as they were, when not.
const Charset *wordBytes(const Word &word, string &bytes)
{
	const std::size_t before = bytes.size();
	const bool decoded = word.encoding == 'b' ? decodeB(word.text, bytes) : decodeQ(word.text, bytes);
	const Charset *charset = decoded ? findCharset(word.charset) : nullptr;
	if (!charset)
		bytes.resize(before);
	return charset;
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
	string_view name; // as the first word writes it
	const Charset *charset = nullptr;
	string bytes;

	void flushTo(string &out)
	{
		if (charset)
			appendInUtf8(*charset, bytes, out);
		charset = nullptr;
		bytes.clear();
	}
};

// Printable ASCII, blanks and tabs, and no encoded word: most values are
// such, and are as they will be shown but for their tabs.
bool plainText(string_view value)
{
	if (value.find("=?") != string_view::npos)
		return false;
	return std::all_of(value.begin(), value.end(), [](char c) {
		const auto u = static_cast<unsigned char>(c);
		return (u >= 0x20 || c == '\t') && u < 0x7f;
	});
}

} // namespace

string decodeHeaderUtf8(string_view value, bool words)
{
	string out;
	if (plainText(value)) {
		out = value;
		std::replace(out.begin(), out.end(), '\t', ' ');
		return out;
	}
	Run run;
	std::size_t plain = 0; // the text since the last word taken starts here
	string bytes;
	for (std::size_t at = words ? value.find("=?") : string_view::npos; at != string_view::npos;
	     at = value.find("=?", at)) {
		auto word = wordAt(value, at);
		const string_view between = value.substr(plain, at - plain);
		const bool adjacent = run.charset && onlyBlanks(between);
		const bool same = adjacent && word && sameCharset(run.name, word->charset);
		// A word that goes on the run decodes straight into it.
		string &into = same ? run.bytes : bytes;
		const Charset *charset = word ? wordBytes(*word, into) : nullptr;
		if (!charset) {
			++at; // as written
			continue;
		}
		if (!same) {
			run.flushTo(out);
			if (!adjacent)
				appendAsUtf8(out, between);
			run.name = word->charset;
			run.charset = charset;
			run.bytes.swap(bytes);
			bytes.clear();
		}
		plain = at = word->end;
	}
	run.flushTo(out);
	appendAsUtf8(out, value.substr(plain));
	replaceControls(out);
	return out;
}
