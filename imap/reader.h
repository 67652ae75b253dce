// Reading what an IMAP server sends: responses, each a line that may hold
// counted literals ("{12}" and then twelve bytes of anything).  Every size
// a server states or sends is bounded, and so is everything held for it:
// no server can make the helper hold more than a few megabytes or wait for
// bytes it will never need.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct Response {
	std::string tag;                   // "*", "+" or the tag of a command
	std::string text;                  // the rest, "{n}" standing where each literal was
	std::vector<std::string> literals; // in order
};

// What holding a response costs beyond its bytes, and each literal in it:
// a flood of empty responses or literals must count too.
inline constexpr std::size_t kResponseCost = sizeof(Response) + 32;
inline constexpr std::size_t kLiteralCost = sizeof(std::string) + 32;
// All one response holds (text, literals and their costs) and the bytes of
// it not yet taken apart: a SEARCH of a large folder is the largest need.
inline constexpr std::size_t kMaxResponseBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kMaxLiteralBytes = 1024 * 1024; // a header's From: and Subject:
static_assert(kMaxLiteralBytes + kLiteralCost + kResponseCost < kMaxResponseBytes);

// What a whole response held, as the limits count it.
std::size_t heldBytes(const Response &r);

class ResponseReader {
public:
	enum class Result { none, response, broken };

	// Bytes from the server, in any pieces.
	void feed(std::string_view bytes);
	// The next whole response in out; none while one is still coming;
	// broken, from then on, once the server has sent what no server may
	// or more than any response needs.
	Result next(Response &out);
	// Whether it broke for the size of what a server sent, not its form.
	bool flooded() const { return flooded_; }

private:
	Result take(Response &out);
	bool tooMuch(std::size_t more);

	std::string buf_;
	std::size_t pos_ = 0;     // where what is not yet taken begins
	std::size_t scanned_ = 0; // from pos_, bytes known to hold no newline
	Response partial_;
	std::size_t partialHeld_ = kResponseCost; // what partial_ holds, as heldBytes counts
	std::size_t literalLeft_ = 0;             // bytes of a literal still to come
	bool inLiteral_ = false;
	bool broken_ = false;
	bool flooded_ = false;
};
