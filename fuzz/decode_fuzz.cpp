// decodeHeader on arbitrary values, with no font charset, with the one most
// words use, and with another.
#include "decode/decode.h"
#include "fuzz/input.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	switch (takeByte(data, size) % 3) {
	case 0:
		setFontCharset(nullptr, nullptr);
		break;
	case 1:
		setFontCharset("ISO8859", "1");
		break;
	default:
		setFontCharset("iso8859", "2");
		break;
	}
	// The value as a C string of exactly its own length.
	auto value = std::make_unique<char[]>(size + 1);
	std::memcpy(value.get(), data, size);
	value[size] = '\0';
	const std::size_t before = std::strlen(value.get());
	decodeHeader(value.get());
	if (std::strlen(value.get()) > before)
		std::abort();
	return 0;
}
