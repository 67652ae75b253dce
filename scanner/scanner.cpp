// The scanner's entry: an MH folder or a mailbox file.
#include "scanner/scanner.h"
#include "scanner/parsers.h"

#include <cstdio>
#include <sys/stat.h>

int parseMailbox(const char *path, char *summary, int capacity, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("Mailbox: %s, flags: %d\n", path, flags);
	Summary out = startSummary(summary, capacity);
	struct stat st;
	if (stat(path, &st) != 0) {
		std::perror("Couldn't stat() mailbox");
		return -1;
	}
	if (S_ISDIR(st.st_mode))
		return isMaildir(path) ? MDparseMailbox(path, out, flags) : MHparseMailbox(path, out, flags);
	return parseMboxFile(path, out, flags);
}
