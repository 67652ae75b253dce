// The Maildir parser: a folder holding cur and new, one message a file.
// Delivery is atomic (a message appears in new whole, by a rename from
// tmp), so nothing here waits or reads twice.  A mail reader moves a
// message to cur and records what was done with it in the letters after
// ":2," at the end of its name: S seen, T trashed, R replied and so on.
//
// Only a message's header block is read, up to its first empty line.
#include "scanner/parsers.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using std::string;
using std::string_view;

namespace {

// Most header blocks fit in one read of this size; the body is not wanted.
constexpr std::size_t kHeaderReadSize = 4 * 1024;
static_assert(kHeaderReadSize > 2 * kPieceChars && kHeaderReadSize <= PieceReader::kReadBlock);
static_assert(kHeaderBytes >= kHeaderReadSize);

// A message as the listing found it.  A folder of 100,000 messages is
// listed at every change, so each is kept small: its name lies in the
// listing's one block of names, and its flags are read off the name again
// when it is shown.
struct Message {
	long long delivered; // the number the name begins with
	std::size_t nameAt;  // in Listing::names
	std::uint16_t nameLength;
	bool inNew;
	bool regular; // as the listing says; otherwise the entry is looked at
};
static_assert(NAME_MAX <= UINT16_MAX);

struct Listing {
	string names;
	std::vector<Message> messages;

	string_view name(const Message &m) const { return string_view(names).substr(m.nameAt, m.nameLength); }
};

bool isFolder(const string &path, struct stat &st)
{
	return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long long leadingNumber(string_view name)
{
	long long n = 0;
	for (char c : name) {
		if (c < '0' || c > '9')
			break;
		n = n > (LLONG_MAX - 9) / 10 ? LLONG_MAX : n * 10 + (c - '0');
	}
	return n;
}

// The info after the name's first ":2," or "!2,"; of it, the letters are
// the flags.
string flagsOf(string_view name)
{
	const auto at = std::min(name.find(":2,"), name.find("!2,"));
	string letters;
	if (at != string_view::npos)
		for (char c : name.substr(at + 3))
			if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
				letters += c;
	return letters;
}

using Folder = std::unique_ptr<DIR, int (*)(DIR *)>;

// The listed messages of new or cur, open as d; false when it cannot be
// read.  Messages are opened in d later, by name: no path to walk.
bool listMessages(DIR *d, bool inNew, int flags, Listing &out)
{
	errno = 0;
	while (const dirent *e = readdir(d)) {
		const string_view name = e->d_name;
		if (name.starts_with('.'))
			continue;
		const string letters = flagsOf(name);
		if (letters.find('T') != string::npos)
			continue; // trashed
		if ((flags & SCAN_NEW_ONLY) && !inNew && letters.find('S') != string::npos)
			continue; // seen
		out.messages.push_back({leadingNumber(name), out.names.size(), static_cast<std::uint16_t>(name.size()),
		                        inNew, e->d_type == DT_REG});
		out.names += name;
	}
	return errno == 0;
}

// A listed message about to be looked at: in the open new or cur folder.
struct Opened {
	int folder;
	string name;
	bool regular;
};

enum class Entry { regular, other, socket, gone, unreadable };

// What an entry the listing could not tell is, looked at in its folder
// through a link but not opened: opening a FIFO would release a writer
// waiting on it, and a device is no message.
Entry entryType(const Opened &m)
{
	if (m.regular)
		return Entry::regular;
	struct stat st;
	if (fstatat(m.folder, m.name.c_str(), &st, 0) != 0)
		return errno == ENOENT ? Entry::gone : Entry::unreadable;
	if (S_ISREG(st.st_mode))
		return Entry::regular;
	return S_ISSOCK(st.st_mode) ? Entry::socket : Entry::other;
}

// The line of one message, or nothing when it has gone since the listing:
// a mail reader moved it, or changed its flags.
std::optional<string> MDparseOne(const string &folderPath, const Opened &m, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("MDparseOne(%s/%s)\n", folderPath.c_str(), m.name.c_str());
	const Entry type = entryType(m);
	if (type == Entry::gone)
		return std::nullopt;
	if (type == Entry::socket || type == Entry::unreadable)
		return failedToOpen(folderPath + "/" + m.name, flags);
	SenderField sender;
	SubjectField subject;
	WholeValues whole;
	// A folder, a FIFO or a device in new or cur is never opened.
	// Reading stops within the header's limit whatever the file is, so an
	// entry made something else since it was looked at can't hold the
	// reading up.
	if (type == Entry::regular) {
		MailFile file(m.folder, m.name.c_str());
		if (!file.isOpen()) {
			if (errno == ENOENT)
				return std::nullopt;
			return failedToOpen(folderPath + "/" + m.name, flags);
		}
		if (file.isRegular()) { // else made something else since
			PieceReader reader(file.fd(), kHeaderReadSize);
			readHeaderBlock(reader, flags, sender, subject, whole);
		}
	}
	const string letters = flagsOf(m.name);
	const bool seen = letters.find('S') != string::npos;
	return folderMessageLine(flags, sender, seen ? letters : "", subject, whole);
}

} // namespace

bool isMaildir(const char *path, std::array<struct stat, 2> &folders)
{
	return isFolder(string(path) + "/new", folders[0]) && isFolder(string(path) + "/cur", folders[1]);
}

bool isMaildir(const char *path, timespec *changed)
{
	std::array<struct stat, 2> folders;
	if (!isMaildir(path, folders))
		return false;
	if (changed)
		*changed = std::max(folders[0].st_mtim, folders[1].st_mtim, [](const timespec &a, const timespec &b) {
			return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
		});
	return true;
}

int MDparseMailbox(const char *folder, Summary &summary, int flags)
{
	if (flags & SCAN_DEBUG)
		std::printf("MDparseMailbox(%s)\n", folder);
	const string newPath = string(folder) + "/new", curPath = string(folder) + "/cur";
	Folder fresh(opendir(newPath.c_str()), closedir), cur(opendir(curPath.c_str()), closedir);
	Listing listing;
	if (!fresh || !cur || !listMessages(fresh.get(), true, flags, listing) ||
	    !listMessages(cur.get(), false, flags, listing)) {
		std::perror("scandir mailbox");
		return -1;
	}
	std::sort(listing.messages.begin(), listing.messages.end(), [&](const Message &a, const Message &b) {
		return a.delivered != b.delivered ? a.delivered < b.delivered : listing.name(a) < listing.name(b);
	});
	int count = 0;
	for (const Message &m : listing.messages) {
		const string &path = m.inNew ? newPath : curPath;
		// Once the summary's room is gone no line can be listed: the
		// count comes from the names alone, and no message is looked at
		// (the trace tells of each as ever).
		if (summary.room <= 0) {
			if (flags & SCAN_DEBUG)
				std::printf("MDparseOne(%s/%.*s)\n", path.c_str(), static_cast<int>(m.nameLength),
				            listing.name(m).data());
			++count;
			continue;
		}
		const Opened opened{dirfd(m.inNew ? fresh.get() : cur.get()), string(listing.name(m)), m.regular};
		if (auto line = MDparseOne(path, opened, flags)) {
			appendLine(summary, {*line});
			++count;
		}
	}
	return count;
}
