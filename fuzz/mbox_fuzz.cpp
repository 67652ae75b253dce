// parseMailbox on arbitrary bytes as a mailbox file, with every flag
// combination (the international list's among them), with and without a
// font charset, and summaries of every capacity from 1 to 64 KiB.
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	discardTraces(); // traces are made, then thrown away
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static MemoryFile file;
	const int flags = takeScanChoice(data, size) & kScanFlagBits;
	const int capacity = takeCapacity(data, size);
	file.fill(data, size);

	// Exactly capacity bytes, so that a write past it is caught.
	auto summary = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
	int count = parseMailbox(file.path().c_str(), summary.get(), capacity, flags);
	if (count < 0 || std::memchr(summary.get(), '\0', static_cast<std::size_t>(capacity)) == nullptr)
		std::abort();
	return 0;
}
