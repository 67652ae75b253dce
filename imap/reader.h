// Reading what an IMAP server sends: responses, each a line that may hold
// counted literals ("{12}" and then twelve bytes of anything).  Every size
// a server states or sends is bounded, so no server can make the helper
// hold more than a few megabytes or wait for bytes it will never need.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxResponseBytes = 8 * 1024 * 1024; // a SEARCH of a large folder
inline constexpr std::size_t kMaxLiteralBytes = 1024 * 1024;      // a header's From: and Subject:
static_assert(kMaxLiteralBytes < kMaxResponseBytes);

struct Response {
	std::string tag;                   // "*", "+" or the tag of a command
	std::string text;                  // the rest, "{n}" standing where each literal was
	std::vector<std::string> literals; // in order
};

class ResponseReader {
public:
	enum class Result { none, response, broken };

	// Bytes from the server, in any pieces.
	void feed(std::string_view bytes);
	// The next whole response in out; none while one is still coming;
	// broken, from then on, once the server has sent what no server may.
	Result next(Response &out);

private:
	Result take(Response &out);

	std::string buf_;
	std::size_t pos_ = 0;
	Response partial_;
	std::size_t literalLeft_ = 0; // bytes of a literal still to come
	bool inLiteral_ = false;
	bool broken_ = false;
};
