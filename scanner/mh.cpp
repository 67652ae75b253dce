// The MH folder parser: one message a file, listed in alphabetical order.
// Header and body are not told apart; the first From: and Subject: lines
// anywhere in a file give its line.  A file without a sender may be one
// still being delivered, so it is read again after a wait, if it was
// written to lately.
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using std::string;

namespace {

void sleepSeconds(unsigned seconds)
{
	sleep(seconds);
}

struct DirentList {
	dirent **entries = nullptr;
	int count = 0;
	~DirentList()
	{
		for (int i = 0; i < count; ++i)
			std::free(entries[i]);
		std::free(entries);
	}
};

// One read of an open message file.  It ends once both a sender and a
// subject are known; with SCAN_UTF8, only after the last of them has been
// gathered whole.
void readSenderAndSubject(int fd, int flags, SenderField &sender, SubjectField &subject, WholeValues &whole)
{
	sender.clear();
	subject.clear();
	whole.clear();
	FieldCollector field;
	auto openField = [&](std::string &value, std::span<const char> piece, std::string_view matched) {
		if (flags & SCAN_UTF8)
			field.open(value, piece, static_cast<std::size_t>(matched.data() - piece.data()));
	};
	PieceReader reader(fd);
	for (;;) {
		const bool searching = sender.empty() || subject.empty();
		if (!searching && !field.isOpen())
			return;
		std::span<char> piece = reader.next();
		if (piece.empty())
			return;
		const bool taken = field.take(piece);
		if (!searching) {
			if (!taken)
				return;
			continue;
		}
		foldLeadingLetters(piece);
		std::string_view text = pieceText(piece);
		if (auto from = headerValue(text, "from:")) {
			sender.set(*from);
			openField(whole.sender, piece, *from);
		} else if (auto subj = headerValue(text, "subject:")) {
			subject.set(*subj);
			openField(whole.subject, piece, *subj);
		}
	}
}

// Whether a message file may still be being delivered.  One that has lain
// untouched for longer never gains a sender; waiting on it would freeze the
// watcher for twelve seconds at every scan of the folder, for as long as a
// stranger's message without a From: line stays there.
bool mayStillBeWritten(int fd)
{
	struct stat st;
	return fstat(fd, &st) == 0 && std::time(nullptr) - st.st_mtime < kDeliverySeconds;
}

// Once the summary's room is gone no line can be listed, and the count is
// the entries': the message is not opened (nor waited on, should it be
// one being delivered), though the trace tells of it as ever.
void skipMessage(const string &path, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("MHparseOne(%s)\n", path.c_str());
}

} // namespace

void (*mhRereadWait)(unsigned seconds) = sleepSeconds;

string MHparseOne(const char *path, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("MHparseOne(%s)\n", path);
	SenderField sender;
	SubjectField subject;
	WholeValues whole; // with SCAN_UTF8
	// Only a regular file is opened, and can gain a sender by waiting;
	// anything else (a folder, a FIFO, a device, through a link or not)
	// is looked at but never opened (that would release a writer waiting
	// on a FIFO), read or waited on.  A socket cannot be opened at all.
	struct stat st;
	if (stat(path, &st) != 0 || S_ISSOCK(st.st_mode))
		return failedToOpen(path, flags);
	for (int rereads = kMessageRereads; S_ISREG(st.st_mode); --rereads) {
		MailFile file(path);
		if (!file.isOpen())
			return failedToOpen(path, flags);
		if (!file.isRegular())
			break; // made something else since
		readSenderAndSubject(file.fd(), flags, sender, subject, whole);
		if (!sender.empty() || rereads == 0 || !mayStillBeWritten(file.fd()))
			break;
		mhRereadWait(kRereadWaitSeconds);
	}
	return folderMessageLine(flags, sender, "", subject, whole);
}

int MHparseMailbox(const char *folder, Summary &summary, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("MHparseMailbox(%s)\n", folder);
	DirentList list;
	list.count = scandir(folder, &list.entries, nullptr, alphasort);
	if (list.count < 0) {
		list.count = 0;
		std::perror("scandir mailbox");
		return -1;
	}
	int count = list.count;
	for (int i = 0; i < list.count; ++i) {
		const char *name = list.entries[i]->d_name;
		if (name[0] == '.') {
			--count;
			continue;
		}
		string path = string(folder) + "/" + name;
		if (path.size() > kMessagePathChars)
			appendLine(summary, {failedToOpen(path, flags)});
		else if (summary.room <= 0)
			skipMessage(path, flags);
		else
			appendLine(summary, {MHparseOne(path.c_str(), flags)});
	}
	return count;
}
