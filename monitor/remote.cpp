// A mailbox on an IMAP server.  The watcher never speaks to the server: the
// helper boxwarden-imap does, in a process of its own, and answers requests
// on a pipe, which the toolkit reads like any other input.  So the window
// answers events while the server is slow, and a stranger's server bytes
// are never parsed where the X connection is held.
//
// A rescan asks "poll"; the answer says whether the folder changed, and the
// decisions of a local mailbox follow, with the time of the poll that saw
// the change in place of a modification time.  When they call for a read,
// "read" brings the count and the summary lines.  While the helper answers
// "failed" nothing changes; it has told of the trouble itself.
#include "app/boxwarden.h"
#include "decode/decode.h"
#include "imap/limits.h"
#include "imap/url.h"
#include "monitor/monitor.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

using std::string;

bool remoteMailbox = false;

namespace {

enum class Waiting { nothing, status, list };

struct Helper {
	pid_t pid = -1;
	int to = -1;   // its standard input
	int from = -1; // its standard output
	XtInputId input = 0;
	string received;
	std::size_t taken = 0;  // of received, the bytes already dealt with
	int unasked = 0;        // lines since the last request
	Waiting waiting = Waiting::nothing;
	bool notify = false;        // of the rescan under way
	time_t changeTime = 0;      // of the poll that saw the change being read
	bool rescanQueued = false;  // asked for while one was under way
	bool queuedNotify = false;
	bool changeMissed = false;  // a change seen but not read: the next poll is one
	bool toldOfEnd = false;
	bool toldCannotRun = false;
	XtIntervalId quietTimer = 0; // a change the server told of, rescanned once quiet
	XtIntervalId patience = 0;   // runs out when the helper has not answered
};

Helper helper;

// "list COUNT BYTES" and the like are shorter.
constexpr std::size_t kLongestHead = 64;
// Read from the helper at a time: a helper that writes without end must
// not keep the window from its events.
constexpr std::size_t kReadAtOnce = 65536;
// Lines the helper may send unasked ("changed", once until it is next
// asked) between two requests; a helper that sends more is broken.
constexpr int kMostUnasked = 8;
// A helper asked to end has this long to end its password command too.
constexpr std::chrono::milliseconds kEndingTime{200};
// As for a local mailbox: a delivery of several steps rings once.
constexpr unsigned long kQuietMilliseconds = 250;

void quietTimeout(XtPointer, XtIntervalId *)
{
	helper.quietTimer = 0;
	rescanMailbox(true);
}

// Beside the watcher (as it is built), or where it is installed.
string helperPath()
{
	char self[4096];
	const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	if (n > 0) {
		string dir(self, static_cast<std::size_t>(n));
		dir.resize(dir.rfind('/') + 1);
		if (access((dir + "boxwarden-imap").c_str(), X_OK) == 0)
			return dir + "boxwarden-imap";
	}
	return BOXWARDEN_HELPER;
}

void readAnswers(XtPointer, int *, XtInputId *);
void dropHelper(const char *why);

void endPatience()
{
	if (helper.patience)
		XtRemoveTimeOut(helper.patience);
	helper.patience = 0;
}

// The helper bounds every request it is given; one that has not answered
// well past that bound is hung, whatever it waits for.
void patienceRunOut(XtPointer, XtIntervalId *)
{
	helper.patience = 0;
	dropHelper("stopped answering");
}

void armPatience()
{
	endPatience();
	const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kHelperPatience).count();
	helper.patience = XtAppAddTimeOut(appContext, static_cast<unsigned long>(ms), patienceRunOut, nullptr);
}

// The poll interval, as the longest a helper waits before idling again
// with a server that ended the last IDLE at once; a negative one means no
// polls at all.
int helperInterval()
{
	constexpr int kLongest = 3600;
	return appResources.pollInterval < 0 ? kLongest : std::clamp(appResources.pollInterval, 1, kLongest);
}

std::vector<string> helperArguments(const string &path)
{
	std::vector<string> args{path, "-name", invocationName, "-flags", std::to_string(scanFlags),
	                         "-capacity", std::to_string(appResources.bufferSize),
	                         "-interval", std::to_string(helperInterval())};
	if (fontCharset[0] && !(scanFlags & SCAN_UTF8))
		args.insert(args.end(), {"-charset", fontCharset.data()});
	if (appResources.passwordCommand)
		args.insert(args.end(), {"-passwordCommand", appResources.passwordCommand});
	if (appResources.tokenCommand && *appResources.tokenCommand)
		args.insert(args.end(), {"-tokenCommand", appResources.tokenCommand});
	if (appResources.caFile)
		args.insert(args.end(), {"-caFile", appResources.caFile});
	if (appResources.instant)
		args.push_back("-instant");
	args.push_back(appResources.mailbox);
	return args;
}

// The helper runs in a process group of its own, which the watcher ends
// whole, and is asked to end when the watcher does.  Whether it could be
// run at all comes back on a pipe that its exec closes: a missing helper
// is told of once, not at every poll.
bool startHelper()
{
	int in[2], out[2], failed[2];
	if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(failed, O_CLOEXEC) != 0)
		return false;
	const string path = helperPath();
	std::vector<string> args = helperArguments(path);
	std::vector<char *> argv;
	for (string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	helper.pid = fork();
	if (helper.pid == 0) {
		setpgid(0, 0);
		prctl(PR_SET_PDEATHSIG, SIGTERM);
		dup2(in[0], 0);
		dup2(out[1], 1);
		std::signal(SIGPIPE, SIG_DFL);
		execv(path.c_str(), argv.data());
		const int error = errno;
		(void)!write(failed[1], &error, sizeof error);
		_exit(127);
	}
	if (helper.pid > 0)
		setpgid(helper.pid, helper.pid); // as the child does: whichever is first
	close(in[0]);
	close(out[1]);
	close(failed[1]);
	int error = 0;
	ssize_t n;
	while ((n = read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {
	}
	close(failed[0]);
	if (helper.pid < 0 || n > 0) {
		if (n > 0 && !helper.toldCannotRun)
			std::fprintf(stderr, "%s: cannot run %s: %s\n", invocationName, path.c_str(), std::strerror(error));
		helper.toldCannotRun = helper.toldCannotRun || n > 0;
		if (helper.pid > 0)
			waitpid(helper.pid, nullptr, 0);
		helper.pid = -1;
		close(in[1]);
		close(out[0]);
		return false;
	}
	helper.to = in[1];
	helper.from = out[0];
	fcntl(helper.from, F_SETFL, O_NONBLOCK);
	helper.input = XtAppAddInput(appContext, helper.from, reinterpret_cast<XtPointer>(XtInputReadMask), readAnswers,
	                             nullptr);
	helper.received.clear();
	helper.taken = 0;
	helper.waiting = Waiting::nothing;
	return true;
}

// Ends the helper's process group: asked first, so that the helper ends
// a password command it runs (in a group of its own); then, if it has not
// ended by then, as only SIGKILL ends a stopped process.
void endHelperGroup()
{
	kill(-helper.pid, SIGTERM);
	kill(-helper.pid, SIGCONT);
	const auto until = std::chrono::steady_clock::now() + kEndingTime;
	for (;;) {
		siginfo_t info{};
		const int r = waitid(P_PID, static_cast<id_t>(helper.pid), &info, WEXITED | WNOHANG | WNOWAIT);
		if ((r == 0 && info.si_pid == helper.pid) || (r < 0 && errno != EINTR) ||
		    std::chrono::steady_clock::now() >= until)
			break;
		usleep(5000);
	}
	// The helper is not reaped yet, so its number still names its group.
	kill(-helper.pid, SIGKILL);
	waitpid(helper.pid, nullptr, 0);
}

// The helper has ended, answered what it may not or hung: it goes, and the
// next poll starts another.
void dropHelper(const char *why)
{
	endPatience();
	if (helper.input)
		XtRemoveInput(helper.input);
	close(helper.to);
	close(helper.from);
	endHelperGroup();
	helper.pid = -1;
	helper.input = 0;
	if (!helper.toldOfEnd)
		std::fprintf(stderr, "%s: the IMAP helper %s; it is started again at the next poll\n", invocationName, why);
	helper.toldOfEnd = true;
	helper.changeMissed = helper.changeMissed || helper.waiting == Waiting::list;
	helper.waiting = Waiting::nothing;
}

bool ask(const char *request, Waiting answer)
{
	const std::size_t n = std::strlen(request);
	if (write(helper.to, request, n) != static_cast<ssize_t>(n)) {
		dropHelper("ended");
		return false;
	}
	helper.waiting = answer;
	helper.unasked = 0;
	armPatience();
	return true;
}

void rescanDone()
{
	endPatience();
	helper.waiting = Waiting::nothing;
	if (helper.rescanQueued) {
		helper.rescanQueued = false;
		rescanRemoteMailbox(helper.queuedNotify);
	}
}

void takeStatus(bool changed, long messages)
{
	changed = changed || helper.changeMissed;
	helper.changeMissed = false;
	const time_t now = std::time(nullptr);
	const MailboxLook look{false, changed ? now : lastMtime, changed, messages == 0, false};
	switch (examineMailbox(helper.notify, look)) {
	case RescanStep::stop:
		rescanDone();
		return;
	case RescanStep::read:
		helper.changeTime = look.mtime;
		ask("read\n", Waiting::list);
		return;
	case RescanStep::finish:
		finishRescan(helper.notify);
		rescanDone();
		return;
	}
}

void takeList(long count, const string &lines)
{
	// The helper keeps to the room it was given; the terminator is ours.
	const std::size_t n = std::min(lines.size(), static_cast<std::size_t>(appResources.bufferSize) - 1);
	std::memcpy(summary, lines.data(), n);
	summary[n] = '\0';
	takeInScan(helper.notify, static_cast<int>(count), helper.changeTime);
	finishRescan(helper.notify);
	rescanDone();
}

// The answer for what was asked, when it has come whole, from what has
// come at the taken'th byte.  Nothing when more is to come; false when the
// helper said what it may not.
bool takeAnswer()
{
	const string &received = helper.received;
	const auto nl = received.find('\n', helper.taken);
	if (nl == string::npos)
		return received.size() - helper.taken < kLongestHead; // more to come, or nonsense
	const string head = received.substr(helper.taken, nl - helper.taken);
	int changed = 0;
	long messages = 0, count = 0, bytes = 0;
	if (head == "changed") { // the server told of a change, unasked
		helper.taken = nl + 1;
		if (++helper.unasked > kMostUnasked)
			return false;
		if (helper.quietTimer)
			XtRemoveTimeOut(helper.quietTimer);
		helper.quietTimer = XtAppAddTimeOut(appContext, kQuietMilliseconds, quietTimeout, nullptr);
		return true;
	}
	if (helper.waiting == Waiting::nothing)
		return false;
	if (head == "failed") {
		helper.taken = nl + 1;
		helper.changeMissed = helper.changeMissed || helper.waiting == Waiting::list;
		// The folder can't be read just now: as if nothing changed.
		if (!helper.notify)
			finishRescan(false);
		rescanDone();
		return true;
	}
	if (helper.waiting == Waiting::status && std::sscanf(head.c_str(), "status %d %ld", &changed, &messages) == 2) {
		helper.taken = nl + 1;
		helper.toldOfEnd = false;
		helper.toldCannotRun = false;
		takeStatus(changed != 0, messages);
		return true;
	}
	if (helper.waiting == Waiting::list && std::sscanf(head.c_str(), "list %ld %ld", &count, &bytes) == 2 &&
	    count >= 0 && bytes >= 0 && bytes < appResources.bufferSize) {
		const auto need = nl + 1 + static_cast<std::size_t>(bytes);
		if (received.size() < need)
			return true; // more to come
		const string lines = received.substr(nl + 1, static_cast<std::size_t>(bytes));
		helper.taken = need;
		takeList(count, lines);
		return true;
	}
	return false;
}

// What the helper has written, a bounded piece at a time; what has been
// dealt with is erased once, when the piece is done.
void readAnswers(XtPointer, int *, XtInputId *)
{
	char buf[kReadAtOnce];
	const ssize_t n = read(helper.from, buf, sizeof buf);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	if (n <= 0) {
		dropHelper("ended");
		return;
	}
	helper.received.append(buf, static_cast<std::size_t>(n));
	while (helper.taken < helper.received.size()) {
		const std::size_t before = helper.taken;
		if (!takeAnswer()) {
			dropHelper("answered what it may not");
			return;
		}
		if (helper.pid < 0)
			return; // dropped on the way
		if (helper.taken == before)
			break; // the rest is still to come
	}
	helper.received.erase(0, helper.taken);
	helper.taken = 0;
}

} // namespace

void startRemoteMailbox()
{
	string why;
	if (!parseMailboxUrl(appResources.mailbox, why)) {
		std::fprintf(stderr, "%s: %s: %s\n", invocationName, appResources.mailbox, why.c_str());
		return; // watched as a mailbox that is not there
	}
	// The helper may end at any time; a write to it then fails, and the
	// watcher goes on.
	std::signal(SIGPIPE, SIG_IGN);
	remoteMailbox = true;
}

void rescanRemoteMailbox(bool notify)
{
	if (helper.waiting != Waiting::nothing) {
		helper.queuedNotify = helper.rescanQueued ? helper.queuedNotify || notify : notify;
		helper.rescanQueued = true;
		return;
	}
	if (helper.pid < 0 && !startHelper())
		return;
	helper.notify = notify;
	ask("poll\n", Waiting::status);
}
