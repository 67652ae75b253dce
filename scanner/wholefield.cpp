#include "scanner/wholefield.h"

#include <algorithm>

void FieldCollector::open(std::string &value, std::span<const char> piece, std::size_t from)
{
	value.clear();
	value_ = &value;
	lineChars_ = from;
	append(piece.subspan(from));
}

bool FieldCollector::take(std::span<const char> piece)
{
	if (!value_)
		return false;
	if (!midLine_) {
		if (piece.empty() || (piece.front() != ' ' && piece.front() != '\t')) {
			close();
			return false;
		}
		lineChars_ = 0; // a continuation line; its blank stays
	}
	append(piece);
	return true;
}

// Unfolding takes out the line break (a CR before it is part of it) and
// nothing else.
void FieldCollector::append(std::span<const char> bytes)
{
	midLine_ = bytes.empty() || bytes.back() != '\n';
	if (!midLine_) {
		bytes = bytes.first(bytes.size() - 1);
		if (!bytes.empty() && bytes.back() == '\r')
			bytes = bytes.first(bytes.size() - 1);
		else if (bytes.empty() && value_->ends_with('\r'))
			value_->pop_back(); // the CR came at the end of the last piece
	}
	const std::size_t lineRoom = kLineChars - std::min(lineChars_, kLineChars);
	const std::size_t fieldRoom = kFieldChars - value_->size();
	const std::size_t n = std::min({bytes.size(), lineRoom, fieldRoom});
	value_->append(bytes.data(), n);
	lineChars_ += bytes.size();
}
