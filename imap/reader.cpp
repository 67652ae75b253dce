#include "imap/reader.h"

#include <charconv>

std::size_t heldBytes(const Response &r)
{
	std::size_t held = kResponseCost + r.tag.size() + r.text.size();
	for (const std::string &l : r.literals)
		held += kLiteralCost + l.size();
	return held;
}

namespace {

// A buffer that once held a large response gives its memory back when it
// is empty again; a small one is kept for the next.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;

} // namespace

void ResponseReader::feed(std::string_view bytes)
{
	if (broken_)
		return;
	// What has been handed out goes, so that the buffer holds one
	// response at most, and the bytes that follow it.
	if (pos_ > 0) {
		buf_.erase(0, pos_);
		pos_ = 0;
	}
	if (buf_.empty() && buf_.capacity() > kKeptBufferBytes)
		std::string().swap(buf_);
	buf_.append(bytes);
}

ResponseReader::Result ResponseReader::next(Response &out)
{
	if (broken_)
		return Result::broken;
	const Result r = take(out);
	if (r == Result::broken) {
		broken_ = true;
		std::string().swap(buf_);
		pos_ = scanned_ = 0;
		partial_ = Response{};
	}
	return r;
}

namespace {

// The size a line segment ends with, "{n}" or "{n+}", or -1.
long long literalSize(std::string_view line)
{
	if (!line.ends_with('}'))
		return -1;
	const auto open = line.rfind('{');
	if (open == std::string_view::npos)
		return -1;
	std::string_view digits = line.substr(open + 1, line.size() - open - 2);
	if (digits.ends_with('+'))
		digits.remove_suffix(1);
	long long n = 0;
	auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
	if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
		return error == std::errc::result_out_of_range ? static_cast<long long>(kMaxLiteralBytes) + 1 : -1;
	return n;
}

} // namespace

// Whether the response, holding what it holds and more bytes, would hold
// more than any response needs.
bool ResponseReader::tooMuch(std::size_t more)
{
	flooded_ = partialHeld_ + more > kMaxResponseBytes;
	return flooded_;
}

ResponseReader::Result ResponseReader::take(Response &out)
{
	for (;;) {
		if (inLiteral_) {
			const std::size_t n = std::min(literalLeft_, buf_.size() - pos_);
			partial_.literals.back().append(buf_, pos_, n);
			partialHeld_ += n;
			pos_ += n;
			literalLeft_ -= n;
			if (literalLeft_ > 0)
				return Result::none;
			inLiteral_ = false;
			continue;
		}
		// A line still coming is not looked through again at each piece;
		// its bytes so far count against the response it belongs to.
		const auto newline = buf_.find('\n', pos_ + scanned_);
		if (newline == std::string::npos) {
			scanned_ = buf_.size() - pos_;
			return tooMuch(scanned_) ? Result::broken : Result::none;
		}
		scanned_ = 0;
		std::string_view line(buf_.data() + pos_, newline - pos_);
		pos_ = newline + 1;
		if (line.ends_with('\r'))
			line.remove_suffix(1);
		if (tooMuch(line.size()))
			return Result::broken;
		partial_.text.append(line);
		partialHeld_ += line.size();
		const long long size = literalSize(line);
		if (size >= 0) {
			if (size > static_cast<long long>(kMaxLiteralBytes))
				return Result::broken;
			if (tooMuch(kLiteralCost + static_cast<std::size_t>(size)))
				return Result::broken;
			literalLeft_ = static_cast<std::size_t>(size);
			partial_.literals.emplace_back();
			partialHeld_ += kLiteralCost;
			inLiteral_ = true;
			continue;
		}
		// A whole response: its tag, then the rest.
		std::string &text = partial_.text;
		const auto space = text.find(' ');
		out.tag = text.substr(0, space);
		text.erase(0, space == std::string::npos ? text.size() : space + 1);
		out.text = std::move(text); // not copied: it may be megabytes
		out.literals = std::move(partial_.literals);
		partial_ = Response{};
		partialHeld_ = kResponseCost;
		if (buf_.capacity() > kKeptBufferBytes) { // it held a large response
			buf_.erase(0, pos_);
			pos_ = 0;
			buf_.shrink_to_fit();
		}
		return out.tag.empty() ? Result::broken : Result::response;
	}
}
