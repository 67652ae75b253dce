// Text in a named charset, converted to UTF-8 by the C library's iconv.
#pragma once

#include <string>
#include <string_view>

// Whether iconv can convert from charset (a MIME charset name, in any case).
bool knownCharset(std::string_view charset);

// Appends bytes, in charset, to out as UTF-8.  What cannot be converted
// becomes U+FFFD.  False, with nothing appended, when the charset is unknown.
bool convertToUtf8(std::string_view charset, std::string_view bytes, std::string &out);
