// Looking at a mailbox: one stat for a file or an MH folder, three for a
// Maildir.
#include "scanner/stamp.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <sys/stat.h>

namespace {

StampTime timeOf(const timespec &t)
{
	return {t.tv_sec, t.tv_nsec};
}

FileStamp fileStamp(const struct stat &st)
{
	return {st.st_dev, st.st_ino, st.st_size, timeOf(st.st_mtim), timeOf(st.st_ctim)};
}

} // namespace

bool stampMailbox(const char *path, MailboxStamp &stamp)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return false;
	std::array<struct stat, 2> folders;
	if (S_ISDIR(st.st_mode) && isMaildir(path, folders))
		stamp = {{fileStamp(folders[0]), fileStamp(folders[1])},
		         std::max(folders[0].st_mtime, folders[1].st_mtime),
		         false,
		         true};
	else
		stamp = {{fileStamp(st), FileStamp{}}, st.st_mtime, st.st_size == 0, S_ISDIR(st.st_mode)};
	return true;
}

bool settledBy(const MailboxStamp &stamp, const StampTime &now)
{
	for (const FileStamp &part : stamp.parts)
		if (StampTime{part.changed.seconds + kSettledSeconds, part.changed.nanoseconds} > now)
			return false;
	return true;
}

StampTime timeNow()
{
	timespec now;
	clock_gettime(CLOCK_REALTIME, &now);
	return timeOf(now);
}
