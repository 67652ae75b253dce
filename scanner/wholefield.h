// Whole header fields, for the international list: a From: or Subject:
// value is the rest of its line, however many pieces that takes, joined
// with the continuation lines (those that start with a blank or a tab)
// that follow it, unfolded.  The pieces go on being examined one by one as
// ever; the field only gathers their bytes.
#pragma once

#include "scanner/pieces.h"

#include <span>
#include <string>

// RFC 5322's longest line; the rest of a longer one is left out.  A field
// of many lines is kept up to kFieldChars, far more than 70 characters
// take in any encoding.
inline constexpr std::size_t kLineChars = 998;
inline constexpr std::size_t kFieldChars = 8 * kLineChars;
static_assert(kLineChars > kPieceChars);

// The sender and subject of the pending message, as whole fields.
struct WholeValues {
	std::string sender;
	std::string subject;

	void clear()
	{
		sender.clear();
		subject.clear();
	}
};

// Gathers one field at a time.
class FieldCollector {
public:
	// A header line matched in piece; its value starts at offset from.
	void open(std::string &value, std::span<const char> piece, std::size_t from);
	// Takes piece into the open field when it belongs there: the rest of
	// the field's line, or a continuation line.  Otherwise, and once the
	// field is closed, false.
	bool take(std::span<const char> piece);
	bool isOpen() const { return value_ != nullptr; }
	void close() { value_ = nullptr; }

private:
	void append(std::span<const char> bytes);

	std::string *value_ = nullptr;
	std::size_t lineChars_ = 0; // of the line being taken
	bool midLine_ = false;      // the last piece taken did not end its line
};
