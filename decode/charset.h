// Text in a named charset, converted to UTF-8: UTF-8 itself checked,
// single-byte charsets through a table made once, the others by the C
// library's iconv.  Charset names are read as mail really carries them.
#pragma once

#include <string>
#include <string_view>

// A charset that can be converted from.
struct Charset;

// The charset a MIME charset name (in any case) stands for, or null when
// none is known by it.  Charsets are kept for the life of the process.
const Charset *findCharset(std::string_view name);

// Appends bytes, in charset, to out as UTF-8.  What cannot be converted
// becomes U+FFFD, once for each maximal part of a sequence that is not
// one.
void appendInUtf8(const Charset &charset, std::string_view bytes, std::string &out);
