#include "scanner/headers.h"

namespace {

// White space as the C library's isspace() has it in the POSIX locale.
bool isBlank(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view skipBlanks(std::string_view s)
{
	std::size_t i = 0;
	while (i < s.size() && isBlank(s[i]))
		++i;
	return s.substr(i);
}

std::string_view firstWord(std::string_view s)
{
	std::size_t i = 0;
	while (i < s.size() && !isBlank(s[i]))
		++i;
	return s.substr(0, i);
}

// What follows name at the start of text and any white space after it,
// when a word follows.
std::optional<std::string_view> afterName(std::string_view text, std::string_view name)
{
	if (!text.starts_with(name))
		return std::nullopt;
	std::string_view rest = skipBlanks(text.substr(name.size()));
	if (rest.empty())
		return std::nullopt;
	return rest;
}

} // namespace

void foldLeadingLetters(std::span<char> piece)
{
	for (char &c : piece) {
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
		else if (c < 'a' || c > 'z')
			break;
	}
}

std::optional<std::string_view> headerValue(std::string_view text, std::string_view name)
{
	auto rest = afterName(text, name);
	if (!rest)
		return std::nullopt;
	std::string_view value = rest->substr(0, kHeaderValueChars);
	return value.substr(0, value.find('\n'));
}

std::optional<std::string_view> statusWord(std::string_view text)
{
	auto rest = afterName(text, "status:");
	if (!rest)
		return std::nullopt;
	return firstWord(*rest);
}

std::optional<std::string_view> separatorWord(std::string_view text)
{
	auto rest = afterName(text, "from");
	if (!rest || rest->front() == ':')
		return std::nullopt;
	return firstWord(*rest);
}
