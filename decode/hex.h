// The value of a hexadecimal digit, as "=XX" escapes write them.
#pragma once

#include <optional>

inline std::optional<int> hexDigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return std::nullopt;
}
