// Instant notice: the kernel tells when the mailbox changes (inotify), and
// the toolkit reads that like any other input, on the one thread.  The
// rescan waits until the mailbox has been quiet for a moment, so that a
// delivery written in several steps rings the bell once.  Polls go on as
// ever: an event lost, or a watch that cannot be set, costs only time.
//
// What is watched: an mbox file and its folder (a mailbox created,
// replaced or renamed into place shows only there); an MH folder; the new
// and cur folders of a Maildir.  The watches follow the mailbox as it is
// at each rescan.
#include "app/boxwarden.h"
#include "monitor/monitor.h"
#include "scanner/scanner.h"

#ifdef __linux__

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using std::string;

namespace {

constexpr unsigned long kQuietMilliseconds = 250;

constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kFolderEvents =
	IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::size_t kMailboxWatches = 2; // a Maildir's new and cur

int notifier = -1;
int folderWatch = -1; // the folder the mailbox is in: only its own name counts there
std::array<int, kMailboxWatches> mailboxWatches{-1, -1};
XtIntervalId quietTimer = 0;
bool warned = false;

string folderOf(const string &path)
{
	const auto slash = path.rfind('/');
	if (slash == string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

string baseOf(const string &path)
{
	const auto slash = path.rfind('/');
	return slash == string::npos ? path : path.substr(slash + 1);
}

int watch(const string &path, uint32_t events)
{
	int wd = inotify_add_watch(notifier, path.c_str(), events);
	if (wd < 0 && errno != ENOENT && !warned) {
		std::fprintf(stderr, "%s: cannot watch %s (%s); it is polled\n", invocationName, path.c_str(),
		             std::strerror(errno));
		warned = true;
	}
	return wd;
}

// The watches for the mailbox as it is now; those of what it was go.
void watchMailbox()
{
	const string box = appResources.mailbox;
	folderWatch = watch(folderOf(box), kFolderEvents);
	std::array<int, kMailboxWatches> now{-1, -1};
	struct stat st;
	if (stat(box.c_str(), &st) == 0) {
		if (!S_ISDIR(st.st_mode))
			now[0] = watch(box, kFileEvents);
		else if (isMaildir(box.c_str())) {
			now[0] = watch(box + "/new", kFolderEvents);
			now[1] = watch(box + "/cur", kFolderEvents);
		} else
			now[0] = watch(box, kFolderEvents);
	}
	for (int old : mailboxWatches)
		if (old >= 0 && old != folderWatch && old != now[0] && old != now[1])
			inotify_rm_watch(notifier, old);
	mailboxWatches = now;
}

void quietTimeout(XtPointer, XtIntervalId *)
{
	quietTimer = 0;
	watchMailbox();
	rescanMailbox(true);
}

// Whether an event may mean the mailbox changed.  In the mailbox's folder
// only events about the mailbox's own name do.
bool concernsTheMailbox(const inotify_event &e)
{
	if (e.wd != folderWatch || (e.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)))
		return true;
	return e.len > 0 && baseOf(appResources.mailbox) == e.name;
}

void readEvents(XtPointer, int *, XtInputId *)
{
	alignas(inotify_event) std::array<char, 4096> buf;
	bool changed = false;
	for (;;) {
		const ssize_t n = read(notifier, buf.data(), buf.size());
		if (n <= 0)
			break; // EAGAIN: all read
		for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
			const auto *e = reinterpret_cast<const inotify_event *>(buf.data() + at);
			changed = changed || concernsTheMailbox(*e);
			at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
		}
	}
	if (!changed)
		return;
	if (quietTimer)
		XtRemoveTimeOut(quietTimer);
	quietTimer = XtAppAddTimeOut(appContext, kQuietMilliseconds, quietTimeout, nullptr);
}

} // namespace

void startInstantNotice()
{
	notifier = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	if (notifier < 0) {
		std::fprintf(stderr, "%s: cannot watch %s (%s); it is polled\n", invocationName, appResources.mailbox,
		             std::strerror(errno));
		return;
	}
	watchMailbox();
	XtAppAddInput(appContext, notifier, reinterpret_cast<XtPointer>(XtInputReadMask), readEvents, nullptr);
}

#else

// Elsewhere the mailbox is only polled.
void startInstantNotice() {}

#endif
