// The few responses the helper asks for, taken apart.
#pragma once

#include "imap/reader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// STATUS folder (MESSAGES n UNSEEN n UIDNEXT n UIDVALIDITY n)
struct FolderStatus {
	std::uint32_t messages = 0, unseen = 0, uidNext = 0, uidValidity = 0;
	bool operator==(const FolderStatus &) const = default;
};
std::optional<FolderStatus> parseStatus(const Response &r);

// SEARCH n n n ...: the numbers, or nothing when it is not that.
std::optional<std::vector<std::uint32_t>> parseSearch(const Response &r);
// The same, its numbers appended to found; false, with found as it was,
// when it is not that.
bool appendSearch(const Response &r, std::vector<std::uint32_t> &found);

// n FETCH (UID n FLAGS (...) BODY[...] {n}): the message's UID, its flags
// as letters ("RFS" for \Answered \Flagged \Seen) and its header fields.
struct Fetched {
	std::uint32_t uid = 0;
	std::string flags;
	bool deleted = false;
	std::string header;
};
std::optional<Fetched> parseFetch(const Response &r);

// A tagged response's condition: OK, NO, BAD, or empty when it has none.
std::string condition(const Response &r);

// A quoted IMAP string of text (which must hold no CR, LF or NUL).
std::string quoted(const std::string &text);
