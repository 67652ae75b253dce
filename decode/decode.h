// Decoding of RFC 2047 encoded header words in the Q encoding, for the one
// charset that the list font draws.
#pragma once

#include <array>
#include <cstddef>

// "iso-8859-" and one digit, or empty when the font is of no ISO 8859
// charset; empty turns decoding off.
inline constexpr std::size_t kFontCharsetChars = 10;
extern std::array<char, kFontCharsetChars + 1> fontCharset;

// Sets fontCharset from the font's CHARSET_REGISTRY and CHARSET_ENCODING
// names; either may be null.
void setFontCharset(const char *registry, const char *encoding);

// Decodes value in place, or leaves it exactly as it was when any encoded
// word in it is not Q-encoded text in fontCharset.
void decodeHeader(char *value);
