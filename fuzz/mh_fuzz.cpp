// The MH message reader on arbitrary bytes as a message file; or an MH
// folder holding one entry of an arbitrary name, which may be a socket that
// cannot be opened, so that the name itself is shown.
#include "fuzz/input.h"
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

void noWait(unsigned) {}

// Names short enough for a socket's address.
constexpr std::size_t kLongestName = 64;
std::string folder;

void removeFolder()
{
	emptyFolder(folder);
	rmdir(folder.c_str());
}

// One entry of a name of the input's in the folder: one line for it, or
// none for a hidden one, and nothing that forges another.
void scanNamed(const std::uint8_t *data, std::size_t size, int flags)
{
	const int how = takeByte(data, size);
	emptyFolder(folder);
	const std::string name = takeName(data, size, how % kLongestName), path = folder + "/" + name;
	if (how & 0x40)
		makeSocket(path);
	else
		std::ofstream(path, std::ios::binary)
			.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
	char summary[4096];
	const int count = parseMailbox(folder.c_str(), summary, sizeof summary, flags);
	const std::size_t lines = static_cast<std::size_t>(std::count(summary, summary + std::strlen(summary), '\n'));
	if (count != (name[0] != '.') || lines != static_cast<std::size_t>(count))
		std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	discardTraces(); // traces are made, then thrown away
	mhRereadWait = noWait;
	char pattern[] = "/tmp/mh_fuzz.XXXXXX";
	if (!mkdtemp(pattern))
		std::abort();
	folder = pattern;
	std::atexit(removeFolder);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static MemoryFile file;
	const int choice = takeScanChoice(data, size);
	if (choice & 0x80) {
		scanNamed(data, size, choice & kScanFlagBits);
		return 0;
	}
	file.fill(data, size);
	std::string line = MHparseOne(file.path().c_str(), choice & kScanFlagBits);
	// One line, whatever the message holds (but a path, which is ours).
	if (line.empty() || line.find('\n') != line.size() - 1)
		std::abort();
	return 0;
}
