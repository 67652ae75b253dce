// The international list's decoding: a header value shown as the text its
// writer meant.
#pragma once

#include <string>
#include <string_view>

// value as clean UTF-8, for one line of the list.  With words, its RFC 2047
// encoded words, B or Q, in any charset that iconv knows, are decoded;
// white space between two of them goes, and a character split across
// adjacent words of one charset comes out whole.  A word that cannot be
// decoded stays as written.  Other text is kept where it is UTF-8 and read
// as Windows-1252 where it is not.  A tab becomes a blank and every other
// control character a "?".
std::string decodeHeaderUtf8(std::string_view value, bool words);
