// The look on desktops as users put them together: window managers that
// start after the watcher or restart under it (fluxbox, fvwm, icewm), a
// tray that announces itself without a window (wmdocker), a panel's tray
// (tint2), trays that come together or replace one another, urgency while
// docked, and screens of 16 and 8 bits.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <X11/Xutil.h>

#include <csignal>
#include <poll.h>
#include <unistd.h>
#include <memory>

using std::string;
using std::vector;

namespace {

constexpr long kT1 = 1700000000;

// Xvfb gives each client its windows from a base of its own, above the
// lowest 21 bits of their ids.
bool sameClient(Window a, Window b)
{
	return a && b && (a >> 21) == (b >> 21);
}

// The tray's window, viewable inside some tray; 0 until it is.
Window dockedAnywhere(XSession &x)
{
	const Window icon = x.findClient("boxwardenTray");
	return icon && x.isViewable(icon) && x.parent(icon) ? icon : 0;
}

// Whether the icon is docked in a window of the tray that owns the
// selection.
bool dockedInOwner(XSession &x)
{
	const Window owner = XGetSelectionOwner(x.display(), XInternAtom(x.display(), "_NET_SYSTEM_TRAY_S0", False));
	const Window icon = dockedAnywhere(x);
	for (Window up = icon ? x.parent(icon) : 0; up; up = x.parent(up))
		if (sameClient(up, owner))
			return true;
	return false;
}

// Waits for a while, failing if the window is ever viewable meanwhile.
bool staysHidden(XSession &x, Window w, std::chrono::milliseconds span = std::chrono::milliseconds(3000))
{
	return !x.waitUntil([&] { return x.isViewable(w); }, span);
}

// A tray of the test's own that takes the icon and lets it go again at
// once, keeping the selection: a child process on its own connection,
// which writes a byte to the pipe for each request to dock.
struct ReleasingTray {
	pid_t pid = -1;
	int requests = -1; // the pipe's reading end

	explicit ReleasingTray(const string &display)
	{
		int fds[2];
		if (pipe(fds) != 0)
			return;
		pid = fork();
		if (pid == 0) {
			close(fds[0]);
			serve(display, fds[1]);
			_exit(0);
		}
		close(fds[1]);
		requests = fds[0];
	}
	~ReleasingTray()
	{
		stopProcess(pid);
		if (requests >= 0)
			close(requests);
	}
	ReleasingTray(const ReleasingTray &) = delete;
	ReleasingTray &operator=(const ReleasingTray &) = delete;

	int requestsSoFar() const
	{
		pollfd p{requests, POLLIN, 0};
		char buf[256];
		ssize_t n;
		while (poll(&p, 1, 0) > 0 && (n = read(requests, buf, sizeof buf)) > 0)
			counted += static_cast<int>(n);
		return counted;
	}

private:
	mutable int counted = 0;

	static void serve(const string &name, int out)
	{
		Display *d = XOpenDisplay(name.c_str());
		if (!d)
			return;
		XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
		const Window root = DefaultRootWindow(d);
		const Window panel = XCreateSimpleWindow(d, root, 0, 0, 64, 32, 0, 0, 0);
		XMapWindow(d, panel);
		const Atom selection = XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False);
		const Atom opcode = XInternAtom(d, "_NET_SYSTEM_TRAY_OPCODE", False);
		XSetSelectionOwner(d, selection, panel, CurrentTime);
		XEvent m{};
		m.xclient.type = ClientMessage;
		m.xclient.window = root;
		m.xclient.message_type = XInternAtom(d, "MANAGER", False);
		m.xclient.format = 32;
		m.xclient.data.l[0] = CurrentTime;
		m.xclient.data.l[1] = static_cast<long>(selection);
		m.xclient.data.l[2] = static_cast<long>(panel);
		XSendEvent(d, root, False, StructureNotifyMask, &m);
		XFlush(d);
		for (;;) {
			XEvent e;
			XNextEvent(d, &e);
			if (e.type != ClientMessage || e.xclient.message_type != opcode || e.xclient.data.l[1] != 0)
				continue;
			const auto icon = static_cast<Window>(e.xclient.data.l[2]);
			XReparentWindow(d, icon, panel, 0, 0);
			XMapWindow(d, icon);
			XSync(d, False);
			if (write(out, "r", 1) != 1)
				return;
			usleep(20000);
			XReparentWindow(d, icon, root, 0, 0);
			XFlush(d);
		}
	}
};

// The watcher's arguments for an empty mailbox in dir, polled every
// second, and the options; the mailbox is written.
vector<string> onEmptyMailbox(const TempDir &dir, const vector<string> &options)
{
	writeMailbox(dir.sub("mbox"), "", kT1);
	vector<string> args{"-mailbox", "mbox", "-poll", "1"};
	args.insert(args.end(), options.begin(), options.end());
	return args;
}

string line(const string &what)
{
	return string(BOXWARDEN_BINARY) + ": " + what + "; the icon shows in a window of its own\n";
}

} // namespace

// Mail that came while no tray was there shows in the next one: the
// picture made for the last tray is not the look of today.  The icon that
// stands alone meanwhile goes by the list's title in window lists.
TEST(Desktops, ANewTrayShowsTodaysLook)
{
	for (TrayKind kind : {TrayKind::trayer, TrayKind::tint2}) {
		SCOPED_TRACE(kind == TrayKind::trayer ? "trayer" : "tint2");
		XSession x(WindowManager::openbox);
		auto tray = std::make_unique<TrayProcess>(x, kind);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
		Window icon = 0;
		auto docked = [&] { return dockedInOwner(x) && (icon = dockedAnywhere(x)) != 0; };
		ASSERT_TRUE(x.waitUntil(docked));
		EXPECT_TRUE(x.waitUntil([&] { return darkShare(x, icon) >= 0 && darkShare(x, icon) < 0.3; }));

		tray->stop();
		const Window standing = x.waitForShown("boxwardenIcon");
		ASSERT_NE(standing, 0u);
		EXPECT_TRUE(x.wmName(standing).starts_with("No mail since ")) << x.wmName(standing);
		writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
		EXPECT_TRUE(x.waitUntil([&] { return x.wmName(standing).starts_with("Mail at "); })) << x.wmName(standing);

		tray = std::make_unique<TrayProcess>(x, kind);
		ASSERT_TRUE(x.waitUntil(docked));
		EXPECT_TRUE(x.waitUntil([&] { return darkShare(x, icon) > 0.7; })) << darkShare(x, icon);
		writeMailbox(dir.sub("mbox"), "", kT1 + 20);
		EXPECT_TRUE(x.waitUntil([&] { return darkShare(x, icon) >= 0 && darkShare(x, icon) < 0.3; }));
	}
}

// A tray that comes after the watcher is heard whether its announcement
// names the root window (trayer) or none (wmdocker).
TEST(Desktops, AnyTraysAnnouncementIsHeard)
{
	for (TrayKind kind : {TrayKind::trayer, TrayKind::wmdocker}) {
		SCOPED_TRACE(kind == TrayKind::trayer ? "trayer" : "wmdocker");
		XSession x(WindowManager::openbox);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
		const Window standing = x.waitForShown("boxwardenIcon");
		ASSERT_NE(standing, 0u);
		TrayProcess tray(x, kind);
		EXPECT_TRUE(x.waitUntil([&] { return dockedInOwner(x); }));
		EXPECT_TRUE(x.waitUntil([&] { return !x.isViewable(standing); }));
		EXPECT_EQ(w.err(), line("no system tray"));
	}
}

// Two trays that start at the same moment: whichever ends up owning the
// selection holds the icon.
TEST(Desktops, TraysThatStartTogether)
{
	XSession x(WindowManager::openbox);
	TempDir dir;
	Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
	ASSERT_NE(x.waitForShown("boxwardenIcon"), 0u);
	TrayProcess first(x, TrayKind::wmdocker, false), second(x, TrayKind::trayer, false);
	EXPECT_TRUE(x.waitUntil([&] { return dockedInOwner(x); }));
	x.waitUntil([] { return false; }, std::chrono::milliseconds(2000));
	EXPECT_TRUE(dockedInOwner(x));
	EXPECT_EQ(x.clients("boxwardenTray").size(), 1u);
}

// A window manager that starts after the watcher reparents its windows,
// which unmaps them for a moment: that is not the user hiding the icon
// (the list would show) or the list (the icon would).  fluxbox and icewm
// bring trays, which take the icon.
TEST(Desktops, AWindowManagerThatStartsLeavesTheWindowsAlone)
{
	const struct {
		WindowManager manager;
		const char *name;
		const char *mode;
	} cases[] = {
		{WindowManager::fvwm, "fvwm", "-tray"},     {WindowManager::fluxbox, "fluxbox", "-tray"},
		{WindowManager::icewm, "icewm", "-tray"},   {WindowManager::openbox, "openbox", "-tray"},
		{WindowManager::twm, "twm", "-tray"},       {WindowManager::fvwm, "fvwm", "-fakeIcon"},
		{WindowManager::icewm, "icewm", "-fakeIcon"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(string(c.name) + " " + c.mode);
		XSession x(WindowManager::none);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {c.mode}));
		const bool tray = string(c.mode) == "-tray";
		// With a tray the icon stands alone; a fake icon shows the list.
		const Window shown = x.waitForShown(tray ? "boxwardenIcon" : "boxwardenList");
		ASSERT_NE(shown, 0u);
		const Window hidden = x.findClient(tray ? "boxwardenList" : "boxwardenIcon");
		ASSERT_NE(hidden, 0u);
		ASSERT_FALSE(x.isViewable(hidden));

		x.startWindowManager(c.manager);
		// Framed, or docked in the window manager's own tray.
		ASSERT_TRUE(x.waitUntil([&] { return (x.parent(shown) && x.isViewable(shown)) || dockedAnywhere(x); }));
		EXPECT_TRUE(staysHidden(x, hidden));
		if (tray)
			EXPECT_TRUE(x.isViewable(shown) || dockedAnywhere(x));
		else
			EXPECT_TRUE(x.isViewable(shown));
	}
}

// A tray replaced by its successor (icewm --replace; fluxbox restarting,
// which it does on SIGHUP) is not a tray gone: the icon goes into the new
// one with no line and without standing alone meanwhile, and the list
// stays hidden.
TEST(Desktops, AReplacedTrayIsNoTrayGone)
{
	for (WindowManager manager : {WindowManager::icewm, WindowManager::fluxbox}) {
		const bool icewm = manager == WindowManager::icewm;
		SCOPED_TRACE(icewm ? "icewm --replace" : "fluxbox restarting");
		XSession x(manager);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
		Window before = 0;
		ASSERT_TRUE(x.waitUntil([&] { return (before = dockedAnywhere(x)) != 0; }));
		const Window standing = x.findClient("boxwardenIcon"), list = x.findClient("boxwardenList");
		ASSERT_FALSE(x.isViewable(standing));
		x.waitUntil([] { return false; }, std::chrono::milliseconds(1000)); // settled
		const string err = w.err();

		pid_t successor = -1;
		if (icewm)
			successor = spawn({"icewm", "--replace"}, {"DISPLAY=" + x.displayName(), "HOME=" + x.home()});
		else
			kill(x.windowManagerPid(), SIGHUP);
		EXPECT_TRUE(staysHidden(x, standing));
		EXPECT_TRUE(x.waitUntil([&] {
			const Window now = dockedAnywhere(x);
			return now && x.parent(now) != x.parent(before);
		})) << "docked again";
		EXPECT_FALSE(x.isViewable(list));
		EXPECT_EQ(w.err(), err);
		stopProcess(successor);
	}
}

// With -tray -urgent, new mail asks for attention in the tray (trayer's,
// and tint2's): its window carries the urgency hint, and the mail look is
// drawn inverse (mostly white) until the user clicks the icon or the mail
// is gone.
TEST(Desktops, UrgencyShowsInTheTray)
{
	for (TrayKind kind : {TrayKind::trayer, TrayKind::tint2}) {
		SCOPED_TRACE(kind == TrayKind::trayer ? "trayer" : "tint2");
		XSession x(WindowManager::openbox);
		TrayProcess tray(x, kind);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray", "-urgent"}));
		Window icon = 0;
		ASSERT_TRUE(x.waitUntil([&] { return dockedInOwner(x) && (icon = dockedAnywhere(x)) != 0; }));
		ASSERT_EQ(x.run("xdotool mousemove 0 767"), 0); // away from the list
		const Window list = x.findClient("boxwardenList");
		auto asks = [&] { return (x.wmHints(icon).flags & XUrgencyHint) != 0; };
		auto dark = [&] { return darkShare(x, icon); };
		auto click = [&] {
			return x.run("xdotool mousemove --window " + std::to_string(icon) + " 5 5 click 1 mousemove 0 767");
		};
		EXPECT_FALSE(asks());

		writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
		ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 1; }));
		EXPECT_TRUE(x.waitUntil(asks));
		EXPECT_TRUE(x.waitUntil([&] { return dark() >= 0 && dark() < 0.3; })) << dark();

		// A click shows the list: looked at.
		ASSERT_EQ(click(), 0);
		EXPECT_TRUE(x.waitUntil([&] { return x.isViewable(list); }));
		EXPECT_TRUE(x.waitUntil([&] { return !asks(); }));
		EXPECT_TRUE(x.waitUntil([&] { return dark() > 0.7; })) << dark();
		ASSERT_EQ(click(), 0);
		EXPECT_TRUE(x.waitUntil([&] { return !x.isViewable(list); }));

		// Marked again by more mail; the mail going ends it.
		writeMailbox(dir.sub("mbox"), message("a", "s") + message("b", "t"), kT1 + 20);
		ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 2; }));
		EXPECT_TRUE(x.waitUntil(asks));
		writeMailbox(dir.sub("mbox"), "", kT1 + 30);
		EXPECT_TRUE(x.waitUntil([&] { return !asks(); }));
		EXPECT_TRUE(x.waitUntil([&] { return dark() >= 0 && dark() < 0.3; })) << dark(); // no mail, as always
		EXPECT_EQ(w.err(), "");
	}
}

// The list getting the input focus (a taskbar or the keyboard raised it)
// is the user looking: the urgency hint goes.
TEST(Desktops, TheFocusIsLooking)
{
	XSession x(WindowManager::openbox);
	TempDir dir;
	Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-urgent"}));
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_EQ(x.run("xdotool mousemove 1023 767"), 0);
	pid_t other = spawn({"xlogo", "-geometry", "200x200+600+300", "-name", "other"}, {"DISPLAY=" + x.displayName()});
	const Window elsewhere = x.waitForShown("other");
	ASSERT_NE(elsewhere, 0u);
	ASSERT_EQ(x.run("xdotool windowfocus --sync " + std::to_string(elsewhere)), 0);
	auto asks = [&] { return (x.wmHints(list).flags & XUrgencyHint) != 0; };

	writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
	ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 1; }));
	ASSERT_TRUE(x.waitUntil(asks));
	ASSERT_TRUE(x.isViewable(list)); // mapped all along: no MapNotify to tell
	ASSERT_EQ(x.run("xdotool windowfocus --sync " + std::to_string(list)), 0);
	EXPECT_TRUE(x.waitUntil([&] { return !asks(); }));
	stopProcess(other);
}

// On screens of fewer colours the tray's picture keeps the look's thin
// lines: at 16 bits it is blended as at 24, at 8 (two colours only) it is
// dithered, so the no-mail look at trayer's 22 pixels holds about the ink
// it holds at 24 bits instead of losing its envelope's lines.
TEST(Desktops, TheTrayOnScreensOfFewerColours)
{
	// Each pixel's share of black, on average.
	auto ink = [](XSession &x, Window w) {
		const vector<unsigned long> pixels = x.image(w);
		double sum = 0;
		for (unsigned long p : pixels)
			sum += 1 - static_cast<double>((p >> 16 & 0xff) + (p >> 8 & 0xff) + (p & 0xff)) / (3 * 255);
		return pixels.empty() ? -1.0 : sum / static_cast<double>(pixels.size());
	};
	double reference = -1;
	for (int depth : {24, 16, 8}) {
		SCOPED_TRACE(depth);
		XSession x(WindowManager::openbox, depth);
		TrayProcess tray(x);
		TempDir dir;
		Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
		Window icon = 0;
		ASSERT_TRUE(x.waitUntil([&] { return (icon = dockedIcon(x, tray)) != 0; }));
		double now = -1;
		// Drawn once the tray has given its size.
		x.waitUntil([&] {
			const double before = now;
			now = ink(x, icon);
			return now > 0 && now == before;
		});
		if (depth == 24) {
			reference = now;
			ASSERT_GT(reference, 0.05);
			continue;
		}
		// Nearest-colour drawing kept 78% of it at 8 bits.
		EXPECT_NEAR(now, reference, 0.1 * reference);
		EXPECT_EQ(w.err(), "");
	}
}

// A tray that takes the icon and lets it go again at once, again and
// again, is asked a few times and then no more: the icon stands alone
// instead of flickering between the two for ever.
TEST(Desktops, ATrayThatKeepsLettingGoIsGivenUp)
{
	XSession x(WindowManager::openbox);
	TempDir dir;
	Watcher w(x, dir.path(), onEmptyMailbox(dir, {"-tray"}));
	const Window standing = x.waitForShown("boxwardenIcon");
	ASSERT_NE(standing, 0u);
	ReleasingTray tray(x.displayName());
	ASSERT_TRUE(x.waitUntil([&] { return tray.requestsSoFar() >= 1; }));
	x.waitUntil([] { return false; }, std::chrono::seconds(15));
	EXPECT_LE(tray.requestsSoFar(), 4);
	EXPECT_TRUE(x.isViewable(standing));
	EXPECT_LE(occurrences(w.err(), "\n"), 4) << w.err();
}
