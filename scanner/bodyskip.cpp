// Passing over body text: only an empty piece or one that starts with
// Ctrl-A stops the skip.  Newlines are found a block of bytes at a time.
#include "scanner/parsers.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// A piece that starts with this byte stops the skip: a lone newline is an
// empty line, and Ctrl-A separates messages.
bool stopsTheSkip(char first)
{
	return first == '\n' || first == kCtrlA;
}

// The pieces of a line of length bytes from at that come after its first:
// the first of them that is a lone newline or starts with Ctrl-A.
std::optional<std::size_t> laterPieceThatMatters(const char *data, std::size_t at, std::size_t length)
{
	for (std::size_t k = kPieceChars; k <= length; k += kPieceChars)
		if (stopsTheSkip(data[at + k]))
			return at + k;
	return std::nullopt;
}

constexpr std::size_t kBlock = 64;

// One bit for each newline among the kBlock bytes at p.
std::uint64_t newlineMask(const char *p)
{
#ifdef __SSE2__
	const __m128i newline = _mm_set1_epi8('\n');
	std::uint64_t mask = 0;
	for (int i = 0; i < 4; ++i) {
		__m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
		auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
		mask |= static_cast<std::uint64_t>(bits) << (16 * i);
	}
	return mask;
#else
	std::uint64_t mask = 0;
	for (std::size_t i = 0; i < kBlock; ++i)
		mask |= static_cast<std::uint64_t>(p[i] == '\n') << i;
	return mask;
#endif
}

} // namespace

// Lines end at newlines found a block of bytes at a time; at is always the
// start of the piece that comes next.
BodySkip skipBodyPieces(std::span<const char> buf)
{
	const char *data = buf.data();
	const std::size_t size = buf.size();
	std::size_t at = 0;
	if (size == 0)
		return {0, false};
	if (stopsTheSkip(data[0]))
		return {0, true};
	for (std::size_t block = 0; block + kBlock <= size; block += kBlock) {
		for (std::uint64_t mask = newlineMask(data + block); mask != 0; mask &= mask - 1) {
			const std::size_t nl = block + static_cast<std::size_t>(std::countr_zero(mask));
			if (nl - at >= kPieceChars) {
				if (auto later = laterPieceThatMatters(data, at, nl - at))
					return {*later, true};
			}
			at = nl + 1;
			if (at == size)
				return {at, false};
			if (stopsTheSkip(data[at]))
				return {at, true};
		}
	}
	// The bytes after the last whole block, and a line that may go on
	// past the buffer.
	while (at < size) {
		const void *nl = std::memchr(data + at, '\n', size - at);
		if (!nl) {
			// Step over the line's whole pieces, leaving the last
			// one, which may still grow.
			while (size - at >= kPieceChars) {
				at += kPieceChars;
				if (at < size && data[at] == kCtrlA)
					return {at, true};
			}
			return {at, false};
		}
		const auto length = static_cast<std::size_t>(static_cast<const char *>(nl) - (data + at));
		if (auto later = laterPieceThatMatters(data, at, length))
			return {*later, true};
		at += length + 1;
		if (at < size && stopsTheSkip(data[at]))
			return {at, true};
	}
	return {at, false};
}

