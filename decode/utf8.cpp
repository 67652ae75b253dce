#include "decode/utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence at the start of s, or 0: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t sequenceLength(std::string_view s)
{
	auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
	const unsigned char lead = at(0);
	if (lead < 0x80)
		return 1;
	std::size_t length;
	unsigned char low = 0x80, high = 0xbf; // the range of the second byte
	if (lead >= 0xc2 && lead <= 0xdf)
		length = 2;
	else if (lead >= 0xe0 && lead <= 0xef) {
		length = 3;
		if (lead == 0xe0)
			low = 0xa0;
		else if (lead == 0xed)
			high = 0x9f;
	} else if (lead >= 0xf0 && lead <= 0xf4) {
		length = 4;
		if (lead == 0xf0)
			low = 0x90;
		else if (lead == 0xf4)
			high = 0x8f;
	} else
		return 0;
	if (s.size() < length || at(1) < low || at(1) > high)
		return 0;
	for (std::size_t i = 2; i < length; ++i)
		if (at(i) < 0x80 || at(i) > 0xbf)
			return 0;
	return length;
}

void appendCodePoint(std::string &out, std::uint32_t c)
{
	if (c < 0x80) {
		out += static_cast<char>(c);
	} else if (c < 0x800) {
		out += static_cast<char>(0xc0 | c >> 6);
		out += static_cast<char>(0x80 | (c & 0x3f));
	} else {
		out += static_cast<char>(0xe0 | c >> 12);
		out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (c & 0x3f));
	}
}

// Windows-1252 at 0x80 to 0x9f; 0 where it has no character.  From 0xa0
// on it is Latin-1, whose bytes are their own code points.
constexpr std::array<std::uint16_t, 32> kWindows1252 = {
	0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
	0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
	0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178,
};

void appendWindows1252(std::string &out, unsigned char byte)
{
	if (byte >= 0x80 && byte < 0xa0) {
		if (std::uint16_t c = kWindows1252[byte - 0x80])
			appendCodePoint(out, c);
		else
			out += kReplacement;
	} else {
		appendCodePoint(out, byte);
	}
}

// The length of the longest start of a valid sequence at the start of s,
// which is not one whole, or 1: the maximal subpart that one U+FFFD stands
// for, as the Unicode Standard recommends.
std::size_t invalidLength(std::string_view s)
{
	auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
	const unsigned char lead = at(0);
	std::size_t length;
	unsigned char low = 0x80, high = 0xbf;
	if (lead >= 0xc2 && lead <= 0xdf)
		length = 2;
	else if (lead >= 0xe0 && lead <= 0xef) {
		length = 3;
		low = lead == 0xe0 ? 0xa0 : 0x80;
		high = lead == 0xed ? 0x9f : 0xbf;
	} else if (lead >= 0xf0 && lead <= 0xf4) {
		length = 4;
		low = lead == 0xf0 ? 0x90 : 0x80;
		high = lead == 0xf4 ? 0x8f : 0xbf;
	} else
		return 1;
	if (s.size() < 2 || at(1) < low || at(1) > high)
		return 1;
	std::size_t n = 2;
	while (n < length - 1 && n < s.size() && at(n) >= 0x80 && at(n) <= 0xbf)
		++n;
	return n;
}

// The valid UTF-8 sequences of bytes as they are; every other byte, or
// with maximal, every maximal subpart, as invalid says.
template <typename Invalid>
void appendSequences(std::string &out, std::string_view bytes, Invalid invalid, bool maximal = false)
{
	while (!bytes.empty()) {
		// Most text is ASCII: taken in one run.
		std::size_t ascii = 0;
		while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80)
			++ascii;
		out.append(bytes.substr(0, ascii));
		bytes.remove_prefix(ascii);
		if (bytes.empty())
			return;
		if (std::size_t n = sequenceLength(bytes)) {
			out.append(bytes.substr(0, n));
			bytes.remove_prefix(n);
		} else {
			const std::size_t part = maximal ? invalidLength(bytes) : 1;
			invalid(static_cast<unsigned char>(bytes.front()));
			bytes.remove_prefix(part);
		}
	}
}

bool isContinuation(char c)
{
	return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

} // namespace

void appendAsUtf8(std::string &out, std::string_view bytes)
{
	appendSequences(out, bytes, [&](unsigned char byte) { appendWindows1252(out, byte); });
}

void appendValidUtf8(std::string &out, std::string_view bytes)
{
	appendSequences(out, bytes, [&](unsigned char) { out += kReplacement; }, true);
}

void replaceControls(std::string &text)
{
	// Most text has none: it is left as it is.
	if (std::none_of(text.begin(), text.end(), [](char ch) {
		    const auto c = static_cast<unsigned char>(ch);
		    return c < 0x20 || c == 0x7f || c == 0xc2;
	    }))
		return;
	std::string out;
	out.reserve(text.size());
	for (std::size_t i = 0; i < text.size(); ++i) {
		const auto c = static_cast<unsigned char>(text[i]);
		if (c == '\t')
			out += ' ';
		else if (c < 0x20 || c == 0x7f)
			out += '?';
		else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
			out += '?'; // U+0080 to U+009F
			++i;
		} else
			out += static_cast<char>(c);
	}
	text = std::move(out);
}

void keepCharacters(std::string &text, std::size_t chars)
{
	if (text.size() <= chars)
		return; // no character is less than a byte

	std::size_t at = 0;
	for (std::size_t n = 0; at < text.size(); ++n) {
		if (n == chars) {
			text.resize(at);
			return;
		}
		do
			++at;
		while (at < text.size() && isContinuation(text[at]));
	}
}

void appendForTerminal(std::string &out, std::string_view bytes)
{
	std::string text;
	appendSequences(text, bytes, [&](unsigned char) { text += '?'; });
	replaceControls(text);
	out += text;
}
