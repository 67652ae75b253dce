// UTF-8 text for the international list: bytes of unknown origin made into
// clean UTF-8, and cut by characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Appends bytes to out: sequences that are valid UTF-8 as they are, every
// other byte read as Windows-1252 (which Latin-1 text also reads right).
void appendAsUtf8(std::string &out, std::string_view bytes);

// Appends bytes that should be UTF-8 to out, each maximal part of them
// that is no valid sequence (a byte, or the start of a sequence cut
// short) as one U+FFFD.
void appendValidUtf8(std::string &out, std::string_view bytes);

// Makes valid UTF-8 text safe for one line of the list: a tab becomes a
// blank, every other control character (C0, DEL, C1) a "?".
void replaceControls(std::string &text);

// Appends a stranger's bytes as a terminal may show them: valid UTF-8 as
// it is, but for its controls (C0, DEL, C1), each of which, and each byte
// that is no part of a valid sequence, becomes a "?".
void appendForTerminal(std::string &out, std::string_view bytes);

// Cuts valid UTF-8 text to at most chars characters, never inside one.
void keepCharacters(std::string &text, std::size_t chars);

// U+FFFD, for what cannot be converted.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
