// The header lines the scanner understands, and the fields that hold
// their values until a message's summary line is made.
#pragma once

#include "scanner/pieces.h"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

inline constexpr std::size_t kHeaderValueChars = 70;
inline constexpr std::size_t kStatusChars = 79;
// The envelope sender is the word after "from" on a separator piece.
inline constexpr std::size_t kEnvelopeSenderChars = kPieceChars - 4;
inline constexpr std::size_t kSenderChars = kEnvelopeSenderChars;
static_assert(kSenderChars >= kHeaderValueChars);

// A NUL-terminated field of a fixed number of characters.
template <std::size_t Chars>
struct Field {
	std::array<char, Chars + 1> text{};

	char *data() { return text.data(); }
	bool empty() const { return text[0] == '\0'; }
	void clear() { text[0] = '\0'; }
	// Keeps the first Chars characters of value.
	void set(std::string_view value)
	{
		std::size_t n = value.copy(text.data(), Chars);
		text[n] = '\0';
	}
};

using SenderField = Field<kSenderChars>;
using SubjectField = Field<kHeaderValueChars>;
using StatusField = Field<kStatusChars>;

// Lower-cases the ASCII letters at the start of a piece, so that header
// names match whatever their case.
void foldLeadingLetters(std::span<char> piece);

// The value of a "from:" or "subject:" line: after the name and any white
// space, the next kHeaderValueChars characters, ended at a newline.
std::optional<std::string_view> headerValue(std::string_view text, std::string_view name);

// The first word after "status:".
std::optional<std::string_view> statusWord(std::string_view text);

// The sender word of a separator line: "from", white space or none, and a
// word that does not begin with a colon.
std::optional<std::string_view> separatorWord(std::string_view text);
