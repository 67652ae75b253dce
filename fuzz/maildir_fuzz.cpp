// A Maildir holding one message of arbitrary bytes, new or seen, read with
// every flag combination, with and without a font charset; or one of an
// arbitrary name (flags and controls in it), which may be a socket that
// cannot be opened, so that the name itself is shown.
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string maildir;

// Names short enough for a socket's address.
constexpr std::size_t kLongestName = 64;

void removeMaildir()
{
	for (const char *sub : {"/cur", "/new"})
		emptyFolder(maildir + sub);
	for (const char *sub : {"/cur", "/new", "/tmp", ""})
		rmdir((maildir + sub).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	discardTraces(); // traces are made, then thrown away
	char pattern[] = "/tmp/maildir_fuzz.XXXXXX";
	if (!mkdtemp(pattern))
		std::abort();
	maildir = pattern;
	for (const char *sub : {"/cur", "/new", "/tmp"})
		if (mkdir((maildir + sub).c_str(), 0700) != 0)
			std::abort();
	std::atexit(removeMaildir);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const int choice = takeScanChoice(data, size);
	for (const char *sub : {"/cur", "/new"})
		emptyFolder(maildir + sub);
	std::string path = choice & 0x40 ? maildir + "/cur/1.m:2,RS" : maildir + "/new/1.m";
	bool socket = false;
	if (choice & 0x80) {
		const int how = takeByte(data, size);
		path = maildir + (choice & 0x40 ? "/cur/" : "/new/") + takeName(data, size, how % kLongestName);
		socket = how & 0x40;
	}
	if (socket)
		makeSocket(path);
	else
		std::ofstream(path, std::ios::binary)
			.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
	char summary[4096];
	const int count = parseMailbox(maildir.c_str(), summary, sizeof summary, choice & kScanFlagBits);
	// One message, one line at most, whatever it holds.
	const char *newline = std::strchr(summary, '\n');
	if (count < 0 || count > 1 || (newline && newline[1] != '\0'))
		std::abort();
	return 0;
}
