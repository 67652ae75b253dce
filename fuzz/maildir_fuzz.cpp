// A Maildir holding one message of arbitrary bytes, new or seen, read with
// every flag combination, with and without a font charset.
#include "decode/decode.h"
#include "fuzz/input.h"
#include "scanner/scanner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string maildir;

void removeMaildir()
{
	for (const char *file : {"/new/1.m", "/cur/1.m:2,RS"})
		unlink((maildir + file).c_str());
	for (const char *sub : {"/cur", "/new", "/tmp", ""})
		rmdir((maildir + sub).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (!std::freopen("/dev/null", "w", stdout))
		std::abort();
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
	const int choice = takeByte(data, size);
	if (choice & 0x20)
		setFontCharset("ISO8859", "1");
	else
		setFontCharset(nullptr, nullptr);
	const std::string fresh = maildir + "/new/1.m", seen = maildir + "/cur/1.m:2,RS";
	unlink(fresh.c_str());
	unlink(seen.c_str());
	std::ofstream(choice & 0x40 ? seen : fresh, std::ios::binary)
		.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
	char summary[4096];
	const int count = parseMailbox(maildir.c_str(), summary, sizeof summary, choice & 0x1f);
	// One message, one line at most, whatever it holds.
	const char *newline = std::strchr(summary, '\n');
	if (count < 0 || count > 1 || (newline && newline[1] != '\0'))
		std::abort();
	return 0;
}
