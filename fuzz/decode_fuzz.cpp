// decodeHeader on arbitrary values, with no font charset, with the one most
// words use, and with another; and the international list's decoding,
// which must give clean UTF-8 whatever it is given.
#include "decode/decode.h"
#include "decode/words.h"
#include "fuzz/input.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

// Valid UTF-8, with no control character at all: not even a tab.
bool isClean(const std::string &text)
{
	for (std::size_t i = 0; i < text.size();) {
		const auto c = static_cast<unsigned char>(text[i]);
		std::size_t n = 0;
		if (c < 0x80)
			n = 1;
		else if (c >= 0xc2 && c <= 0xdf)
			n = 2;
		else if (c >= 0xe0 && c <= 0xef)
			n = 3;
		else if (c >= 0xf0 && c <= 0xf4)
			n = 4;
		if (n == 0 || i + n > text.size() || c < 0x20 || c == 0x7f)
			return false;
		for (std::size_t k = 1; k < n; ++k)
			if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
				return false;
		if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) // C1
			return false;
		i += n;
	}
	return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const int mode = takeByte(data, size) % 4;
	if (mode == 3) {
		const std::string_view value(reinterpret_cast<const char *>(data), size);
		if (!isClean(decodeHeaderUtf8(value, true)) || !isClean(decodeHeaderUtf8(value, false)))
			std::abort();
		return 0;
	}
	switch (mode) {
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
