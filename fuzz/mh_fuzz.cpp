// The MH message reader on arbitrary bytes as a message file.
#include "decode/decode.h"
#include "fuzz/input.h"
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
void noWait(unsigned) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (!std::freopen("/dev/null", "w", stdout))
		std::abort();
	mhRereadWait = noWait;
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static MemoryFile file;
	const int choice = takeByte(data, size);
	if (choice & 0x20)
		setFontCharset("ISO8859", "1");
	else
		setFontCharset(nullptr, nullptr);
	file.fill(data, size);
	std::string line = MHparseOne(file.path().c_str(), choice & 0x1f);
	// One line, whatever the message holds (but a path, which is ours).
	if (line.empty() || line.find('\n') != line.size() - 1)
		std::abort();
	return 0;
}
