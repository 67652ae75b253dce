// A private X server (Xvfb) with a real window manager (twm) for the
// watcher's tests, the watcher run as a child process, and the means to
// look at what it shows.  The tests never touch the developer's display:
// DISPLAY is cleared and every client is pointed at the private server.
#pragma once

#include "tests/fixture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kPatience{15};

// Runs argv with extra environment, output to files; returns the pid.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out = "/dev/null", const std::string &err = "/dev/null", const std::string &cwd = "");
void stopProcess(pid_t &pid);

// The window managers the tests run under: twm, which shows icon windows,
// and openbox, an EWMH one, which shows none; fluxbox, fvwm and icewm,
// which users start after their clients (fluxbox and icewm with trays of
// their own); or none yet.
enum class WindowManager { none, twm, openbox, fluxbox, fvwm, icewm };

// Xvfb and a window manager, started for one test and stopped after it.
class XSession {
public:
	// depth: 24, 16 (TrueColor both) or 8 (PseudoColor).
	explicit XSession(WindowManager manager = WindowManager::twm, int depth = 24);
	~XSession();
	XSession(const XSession &) = delete;
	XSession &operator=(const XSession &) = delete;

	const std::string &displayName() const { return displayName_; }
	Display *display() const { return display_; }
	void killServer(); // ends Xvfb as a crash would
	// Starts one, once it manages windows; with none running yet.
	void startWindowManager(WindowManager manager);
	pid_t windowManagerPid() const { return windowManager_; }
	const std::string &home() const { return dir_.path(); } // the window manager's HOME

	// Runs a command line through sh on this display; its exit status.
	int run(const std::string &command) const;

	// Waits, handling X events, until ready() holds; false on timeout.
	bool waitUntil(const std::function<bool()> &ready, std::chrono::milliseconds patience = kPatience);

	// XkbBellNotify events seen so far, and their volumes.
	const std::vector<int> &bells() { pumpEvents(); return bells_; }

	// Client windows (as given to the window manager) by WM_CLASS name:
	// every one anywhere in the tree, or the first; 0 if none.
	std::vector<Window> clients(const std::string &instance);
	Window findClient(const std::string &instance);
	// The client window of that name once it is shown; 0 if it never is.
	Window waitForShown(const std::string &instance);
	int wmState(Window w);          // WithdrawnState, NormalState or IconicState
	bool isViewable(Window w);
	std::string wmName(Window w);
	XWMHints wmHints(Window w);     // flags 0 when there are none
	unsigned long pixel(Window w, int x, int y);
	std::vector<unsigned long> image(Window w); // 0xRRGGBB at any depth
	XWindowAttributes attributes(Window w);
	std::vector<Window> children(Window w);
	Window parent(Window w); // 0 for the root
	// A window property of format 32 as xprop prints it with -notype 32c:
	// its numbers, none when it is not there.
	std::vector<unsigned long> cardinals(Window w, const std::string &property);
	void pumpEvents();

private:
	void startServer(int depth);

	TempDir dir_;
	std::string displayName_;
	pid_t server_ = -1;
	pid_t windowManager_ = -1;
	Display *display_ = nullptr;
	int xkbEventBase_ = 0;
	std::vector<int> bells_;
};

// A system tray on the session's display while this lives: trayer,
// tint2's panel, or wmdocker, whose announcement names no window.
enum class TrayKind { trayer, tint2, wmdocker };

class TrayProcess {
public:
	// Up once it holds the tray's selection, unless told not to wait.
	explicit TrayProcess(XSession &x, TrayKind kind = TrayKind::trayer, bool wait = true);
	~TrayProcess();
	TrayProcess(const TrayProcess &) = delete;
	TrayProcess &operator=(const TrayProcess &) = delete;
	void stop(); // as a crash would: SIGKILL
	Window window(); // its panel, where icons are embedded

private:
	XSession &x_;
	TrayKind kind_;
	TempDir dir_;
	pid_t pid_ = -1;
};

// Holds a process group still while this lives: once made, none of its
// processes runs until it ends.  A change made meanwhile in several steps
// is seen whole by the watcher's next look, as one made between two polls.
class HeldStill {
public:
	explicit HeldStill(pid_t group);
	~HeldStill();
	HeldStill(const HeldStill &) = delete;
	HeldStill &operator=(const HeldStill &) = delete;

private:
	pid_t group_;
};

// A prefix for Watcher that runs it without the trace lines of each piece
// of a mailbox file read, which a large one makes many of.
inline const std::vector<std::string> kWithoutPieceTraces{
	"sh", "-c", "\"$@\" | grep --line-buffered -v -e '^[01], [01], <' -e '^>$'", "sh"};

// The watcher under test, run in dir (where its mailbox usually is), with
// its output kept in dir's files "out" and "err".
class Watcher {
public:
	// prefix, if given, is a command that runs the watcher.
	Watcher(XSession &x, const std::string &dir, const std::vector<std::string> &args,
	        const std::vector<std::string> &prefix = {});
	~Watcher();
	Watcher(const Watcher &) = delete;
	Watcher &operator=(const Watcher &) = delete;

	std::string out() const; // standard output so far
	std::string err() const; // standard error so far
	// Waits until text has appeared count times on standard output.
	bool waitForOutput(const std::string &text, int count = 1);
	bool running();
	int exitStatus(); // waits for the end

	pid_t pid() const { return pid_; }
	// Still while the result lives (with whatever runs it).
	HeldStill hold() const { return HeldStill(pid_); }

private:
	XSession &x_;
	std::string dir_;
	pid_t pid_ = -1;
	int status_ = -1;
};

// Writes a mailbox with the given bytes and modification time (seconds
// since the epoch): written aside, its time set, and renamed into place,
// so that the watcher sees it either as it was or as it is now.
void writeMailbox(const std::string &path, const std::string &bytes, long mtime);
void setMtime(const std::string &path, long mtime);
// Sleeps until the clock's next second has just begun, so that what a test
// does next falls within one second.
void waitForNextSecond();
std::string message(const std::string &sender, const std::string &subject, bool read = false);
int occurrences(const std::string &text, const std::string &what);
