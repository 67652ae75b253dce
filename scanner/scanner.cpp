// The scanner's entry: an MH folder or a mailbox file.
#include "scanner/scanner.h"
#include "scanner/parsers.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

int scanMailbox(const char *path, char *summary, int capacity, int flags, ScanMemory *memory)
{
	if (flags & SCAN_DEBUG)
		std::printf("Mailbox: %s, flags: %d\n", path, flags);
	struct stat st;
	const bool found = stat(path, &st) == 0;
	if (!found || S_ISDIR(st.st_mode)) {
		if (memory)
			*memory = ScanMemory{};
		Summary out = startSummary(summary, capacity);
		if (!found) {
			std::perror("Couldn't stat() mailbox");
			return -1;
		}
		return isMaildir(path) ? MDparseMailbox(path, out, flags) : MHparseMailbox(path, out, flags);
	}
	// The file's parser empties the summary, or keeps what it can.
	Summary out{summary, capacity, capacity, 0};
	return parseMboxFile(path, out, flags, memory);
}

} // namespace

int parseMailbox(const char *path, char *summary, int capacity, int flags)
{
	return scanMailbox(path, summary, capacity, flags, nullptr);
}

int parseMailbox(const char *path, char *summary, int capacity, int flags, ScanMemory &memory)
{
	return scanMailbox(path, summary, capacity, flags, &memory);
}
