// The value is walked once, and its decoded form is built aside; only a
// walk that gets through every encoded word replaces the value.
#include "decode/decode.h"
#include "decode/hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>

using std::string;
using std::string_view;

std::array<char, kFontCharsetChars + 1> fontCharset{};

void setFontCharset(const char *registry, const char *encoding)
{
	fontCharset[0] = '\0';
	if (!registry || !encoding || strcasecmp(registry, "iso8859") != 0)
		return;
	if (encoding[0] < '0' || encoding[0] > '9' || encoding[1] != '\0')
		return;
	std::snprintf(fontCharset.data(), fontCharset.size(), "iso-8859-%c", encoding[0]);
}

namespace {

bool equalsIgnoringCase(string_view a, string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// An "=XX" escape at value[at]: appends its byte and steps over it.
bool takeEscape(string_view value, std::size_t &at, string &out)
{
	if (value.size() - at < 3)
		return false;
	auto high = hexDigit(value[at + 1]);
	auto low = hexDigit(value[at + 2]);
	if (!high || !low)
		return false;
	// A decoded control character would reach the list as it is: a line
	// break there forges a line of its own.  A decoded 0 still ends the
	// value, as a terminator would.
	int byte = *high * 16 + *low;
	if ((byte >= 0x01 && byte <= 0x1f) || byte == 0x7f)
		byte = '?';
	out += static_cast<char>(byte);
	at += 3;
	return true;
}

enum class Walk { plain, charset, encoding, text };

// The decoded form of value, or nothing when an encoded word fails.
std::optional<string> decodeWords(string_view value)
{
	string out;
	out.reserve(value.size());
	Walk state = Walk::plain;
	std::size_t at = 0;
	auto startsAt = [&](std::size_t i, char a, char b) {
		return i + 1 < value.size() && value[i] == a && value[i + 1] == b;
	};
	while (at < value.size()) {
		switch (state) {
		case Walk::plain:
			if (startsAt(at, '=', '?')) {
				at += 2;
				state = Walk::charset;
			} else {
				out += value[at++];
			}
			break;
		case Walk::charset: {
			std::size_t end = std::min(value.find('?', at), value.size());
			if (!equalsIgnoringCase(value.substr(at, end - at), fontCharset.data()))
				return std::nullopt;
			at = end + 1;
			state = Walk::encoding;
			break;
		}
		case Walk::encoding:
			if (!startsAt(at, 'q', '?') && !startsAt(at, 'Q', '?'))
				return std::nullopt;
			at += 2;
			state = Walk::text;
			break;
		case Walk::text:
			if (value[at] == '?') {
				if (!startsAt(at, '?', '='))
					return std::nullopt;
				at += 2;
				state = Walk::plain;
				// The character right after a word is taken
				// before plain text resumes, and an "=" there
				// is an escape.
				if (at == value.size())
					break;
				if (value[at] != '=')
					out += value[at++];
				else if (!takeEscape(value, at, out))
					return std::nullopt;
			} else if (value[at] == '=') {
				if (!takeEscape(value, at, out))
					return std::nullopt;
			} else {
				// In Q-encoded text an underscore stands for a blank.
				out += value[at] == '_' ? ' ' : value[at];
				++at;
			}
			break;
		}
	}
	return out;
}

} // namespace

void decodeHeader(char *value)
{
	if (fontCharset[0] == '\0' || !std::strstr(value, "=?"))
		return;
	if (auto decoded = decodeWords(value))
		std::strcpy(value, decoded->c_str()); // a decoded NUL ends the value
}
