// shortSender on arbitrary values, with and without full names.
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const int flags = takeByte(data, size) & (SCAN_FULL_NAMES | SCAN_UTF8);
	auto value = std::make_unique<char[]>(size + 1);
	std::memcpy(value.get(), data, size);
	value[size] = '\0';
	const char *name = shortSender(value.get(), flags);
	// The name lies within the value, and ends there too.
	if (name < value.get() || name > value.get() + size || name + std::strlen(name) > value.get() + size)
		std::abort();
	return 0;
}
