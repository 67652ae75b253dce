// parseMailbox on arbitrary bytes as a mailbox file, with every flag
// combination (the international list's among them), with and without a
// font charset, and summaries of every capacity from 1 to 64 KiB.
#include "decode/decode.h"
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Traces are made, then thrown away.
	if (!std::freopen("/dev/null", "w", stdout))
		std::abort();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static MemoryFile file;
	const int choice = takeByte(data, size);
	const int capacity = 1 + (takeByte(data, size) << 8 | takeByte(data, size));
	const int flags = choice & 0x1f;
	if (choice & 0x20)
		setFontCharset("ISO8859", "1");
	else
		setFontCharset(nullptr, nullptr);
	file.fill(data, size);

	// Exactly capacity bytes, so that a write past it is caught.
	auto summary = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
	int count = parseMailbox(file.path().c_str(), summary.get(), capacity, flags);
	if (count < 0 || std::memchr(summary.get(), '\0', static_cast<std::size_t>(capacity)) == nullptr)
		std::abort();
	return 0;
}
