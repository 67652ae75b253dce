#include "imap/reader.h"

#include <charconv>

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
	buf_.append(bytes);
}

ResponseReader::Result ResponseReader::next(Response &out)
{
	if (broken_)
		return Result::broken;
	const Result r = take(out);
	if (r == Result::broken) {
		broken_ = true;
		buf_.clear();
		pos_ = 0;
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

ResponseReader::Result ResponseReader::take(Response &out)
{
	for (;;) {
		if (partial_.text.size() + (buf_.size() - pos_) > kMaxResponseBytes + kMaxLiteralBytes)
			return Result::broken;
		if (inLiteral_) {
			const std::size_t n = std::min(literalLeft_, buf_.size() - pos_);
			partial_.literals.back().append(buf_, pos_, n);
			pos_ += n;
			literalLeft_ -= n;
			if (literalLeft_ > 0)
				return Result::none;
			inLiteral_ = false;
			continue;
		}
		const auto newline = buf_.find('\n', pos_);
		if (newline == std::string::npos)
			return buf_.size() - pos_ > kMaxResponseBytes ? Result::broken : Result::none;
		std::string_view line(buf_.data() + pos_, newline - pos_);
		pos_ = newline + 1;
		if (line.ends_with('\r'))
			line.remove_suffix(1);
		partial_.text.append(line);
		if (partial_.text.size() > kMaxResponseBytes)
			return Result::broken;
		const long long size = literalSize(line);
		if (size >= 0) {
			if (size > static_cast<long long>(kMaxLiteralBytes))
				return Result::broken;
			literalLeft_ = static_cast<std::size_t>(size);
			partial_.literals.emplace_back();
			inLiteral_ = true;
			continue;
		}
		// A whole response: its tag, then the rest.
		std::string &text = partial_.text;
		const auto space = text.find(' ');
		out.tag = text.substr(0, space);
		out.text = space == std::string::npos ? "" : text.substr(space + 1);
		out.literals = std::move(partial_.literals);
		partial_ = Response{};
		return out.tag.empty() ? Result::broken : Result::response;
	}
}
