// Rescans of a growing mailbox file against whole scans of it: arbitrary
// bytes, delivered in up to four parts cut at arbitrary places (now and
// then with a byte of the first part changed in place), in every flag set
// and summary size.  After each part the rescan, which may go on from the
// last message, must find exactly what a whole scan finds.
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kMostParts = 4;

struct Result {
	int count;
	std::unique_ptr<char[]> text;
};

bool same(int count, const char *text, const Result &whole)
{
	return count == whole.count && std::strcmp(text, whole.text.get()) == 0;
}

Result wholeScan(const std::string &path, int capacity, int flags)
{
	Result r{0, std::make_unique<char[]>(static_cast<std::size_t>(capacity))};
	r.count = parseMailbox(path.c_str(), r.text.get(), capacity, flags);
	return r;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	discardTraces(); // traces are made, then thrown away
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static MemoryFile file;
	const int choice = takeScanChoice(data, size);
	const int capacity = takeCapacity(data, size);
	const int flags = choice & kScanFlagBits;
	const bool changeInPlace = choice & 0x40;
	const int parts = 1 + takeByte(data, size) % kMostParts;
	std::size_t lengths[kMostParts] = {};
	for (int i = 0; i + 1 < parts; ++i)
		lengths[i] = static_cast<std::size_t>(takeByte(data, size) << 8 | takeByte(data, size));

	auto summary = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
	ScanMemory memory;
	std::size_t first = 0;
	file.fill(nullptr, 0);
	for (int i = 0; i < parts; ++i) {
		const std::size_t n = i + 1 == parts ? size : std::min(lengths[i], size);
		if (changeInPlace && i == 1 && n > 0 && first > 0) {
			// A byte of the first part, changed where it lies (where the
			// prints reach), before the next part comes.
			const auto at = static_cast<off_t>(data[0] % first);
			file.change(at, static_cast<std::uint8_t>(data[0] ^ 0x5a));
		}
		file.append(data, n);
		if (i == 0)
			first = std::min<std::size_t>(n, 64 * 1024);
		data += n;
		size -= n;
		const int count = parseMailbox(file.path().c_str(), summary.get(), capacity, flags, memory);
		if (std::memchr(summary.get(), '\0', static_cast<std::size_t>(capacity)) == nullptr ||
		    !same(count, summary.get(), wholeScan(file.path(), capacity, flags)))
			std::abort();
	}
	return 0;
}
