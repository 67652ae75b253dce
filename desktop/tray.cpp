// tray: the icon lives in the system tray, by the freedesktop System Tray
// Protocol: the tray manager owns the selection _NET_SYSTEM_TRAY_S<screen>
// and embeds, by XEmbed, a window that asks to be docked.  That window is
// a plain one of our own, not a widget: the tray reparents, resizes and
// may destroy it with itself, none of which a widget's window survives.
//
// While no tray is there the icon shell shows as a window of its own, as
// with a fake icon; it docks as soon as a tray manager announces itself.
// A tray that goes away takes our window with it or hands it back to the
// root: either way it goes, and the icon shell stands alone again, unless
// another tray has taken the selection by then (a panel restarted, a
// tray replaced), which the icon goes straight into.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr long kRequestDock = 0;           // SYSTEM_TRAY_REQUEST_DOCK
constexpr long kXembedVersion = 0;
constexpr long kXembedMapped = 1;          // XEMBED_MAPPED: the tray maps it
constexpr unsigned kFirstSize = 22;        // until the tray gives one
constexpr unsigned long kDockPatience = 3000; // milliseconds for the tray to take it
// A tray replaced (icewm --replace, a panel restarted) lets the icon go
// before its successor has taken the selection: tens of milliseconds, and
// more than a second on a busy machine.
constexpr unsigned long kSuccessorPatience = 2000;
static_assert(kSuccessorPatience < kDockPatience, "a successor is waited for less than a tray that was asked");
// A tray that lets the icon go again and again as soon as it has taken it
// (and keeps the selection) is asked no more until a tray announces
// itself: so many times in a row, each within the dock patience.
constexpr unsigned kMostQuickReleases = 3;
// Requests to dock are a second apart at least, whatever trays announce
// or let go: a tray that announces itself again and again, or takes the
// selection with window after window, can't make the watcher spin.
constexpr unsigned long kDockSpacing = 1000; // milliseconds
static_assert(kDockSpacing < kDockPatience, "a request is not held back longer than a tray is waited for");

struct Tray {
	Atom selection = None, opcode = None, manager = None, xembedInfo = None;
	Window owner = None;   // the tray manager asked to dock us
	Window window = None;  // ours, while asked to dock or docked
	bool docked = false;   // inside the tray
	bool alone = false;    // the icon shell stands in
	bool mail = false;     // the look shown
	bool marked = false;   // urgent: new mail not yet looked at, drawn inverse
	unsigned width = kFirstSize, height = kFirstSize;
	XImage *image = nullptr; // the look at the window's size, made when drawn
	XtIntervalId patience = 0;  // for the tray asked to take the icon
	XtIntervalId successor = 0; // for a tray after the one that went
	std::chrono::steady_clock::time_point askedAt; // the last request to dock
	XtIntervalId spacing = 0;                      // for a request held back
	unsigned quickReleases = 0; // in a row, by the owner
	Window refusedBy = None;    // asked no more
	std::vector<XID> gone; // windows of ours or of trays that may vanish under a request
	XErrorHandler previousHandler = nullptr;
};

Tray tray;

Display *display()
{
	return XtDisplay(toplevel);
}

// A tray may destroy our window, or itself, between our look at it and
// our request: errors about those windows are expected and ignored; any
// other goes to the handler there was before.
int trayErrors(Display *d, XErrorEvent *e)
{
	if (std::find(tray.gone.begin(), tray.gone.end(), e->resourceid) != tray.gone.end())
		return 0;
	return tray.previousHandler(d, e);
}

void remember(XID id)
{
	if (std::find(tray.gone.begin(), tray.gone.end(), id) == tray.gone.end())
		tray.gone.push_back(id);
}

// The window's background, what shows before the picture is drawn:
// marked, the look's foreground.
Pixel background()
{
	return lookPixel(tray.mail, tray.marked);
}

// The look at the window's size, made at the next draw.
void makeImage()
{
	if (tray.image)
		XDestroyImage(tray.image);
	tray.image = trayImage(tray.mail, tray.marked, tray.width, tray.height);
}

// The picture is made again at the next draw: the look, its marking or
// the window's size has changed, whether or not a tray holds the window
// just now.
void dropImage()
{
	if (tray.image)
		XDestroyImage(tray.image);
	tray.image = nullptr;
}

void draw()
{
	if (tray.window == None)
		return;
	if (!tray.image)
		makeImage();
	if (tray.image)
		XPutImage(display(), tray.window, DefaultGCOfScreen(XtScreen(toplevel)), tray.image, 0, 0, 0, 0,
		          tray.width, tray.height);
}

void standAlone(const char *why)
{
	if (tray.alone)
		return;
	tray.alone = true;
	std::fprintf(stderr, "%s: %s; the icon shows in a window of its own\n", invocationName, why);
	XtPopup(iconShell, XtGrabNone);
}

void dockPatienceRunOut(XtPointer, XtIntervalId *)
{
	tray.patience = 0;
	if (!tray.docked)
		standAlone("the system tray did not take the icon");
}

void forgetWindow()
{
	if (tray.window != None)
		XDestroyWindow(display(), tray.window);
	tray.window = None;
	tray.docked = false;
	tray.owner = None;
	if (tray.patience)
		XtRemoveTimeOut(tray.patience);
	tray.patience = 0;
}

Window createTrayWindow()
{
	Display *d = display();
	Screen *screen = XtScreen(toplevel);
	XSetWindowAttributes a{};
	a.background_pixel = background();
	a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
	const Window w = XCreateWindow(d, RootWindowOfScreen(screen), 0, 0, tray.width, tray.height, 0, CopyFromParent,
	                               InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
	remember(w);
	XClassHint hint{xtString("boxwardenTray"), xtString("Boxwarden")};
	XSetClassHint(d, w, &hint);
	XStoreName(d, w, "boxwarden");
	XSizeHints size{};
	size.flags = PMinSize | PBaseSize;
	size.min_width = size.base_width = static_cast<int>(tray.width);
	size.min_height = size.base_height = static_cast<int>(tray.height);
	XSetWMNormalHints(d, w, &size);
	const long info[2] = {kXembedVersion, kXembedMapped};
	XChangeProperty(d, w, tray.xembedInfo, tray.xembedInfo, 32, PropModeReplace,
	                reinterpret_cast<const unsigned char *>(info), 2);
	setTaskbarIcon(w, tray.mail);
	if (tray.marked)
		setUrgencyHint(w, true);
	return w;
}

// The tray manager that owns the selection now, if any, watched so that
// its going is seen.
Window currentOwner()
{
	Display *d = display();
	XGrabServer(d); // the owner can't go between the look and the watch
	const Window owner = XGetSelectionOwner(d, tray.selection);
	if (owner != None) {
		remember(owner);
		XSelectInput(d, owner, StructureNotifyMask);
	}
	XUngrabServer(d);
	return owner;
}

void spacingRunOut(XtPointer, XtIntervalId *);

// Asks the tray manager there is, if any, to take the icon; once.
void dock()
{
	if (tray.window != None || tray.spacing)
		return; // asked, or in, already; or to be asked
	const auto since = std::chrono::steady_clock::now() - tray.askedAt;
	if (since < std::chrono::milliseconds(kDockSpacing)) {
		const auto wait = std::chrono::milliseconds(kDockSpacing) -
		                  std::chrono::duration_cast<std::chrono::milliseconds>(since);
		tray.spacing = XtAppAddTimeOut(appContext, static_cast<unsigned long>(wait.count()), spacingRunOut, nullptr);
		return;
	}
	Display *d = display();
	// Errors about an earlier tray's windows have all come once the server
	// has caught up; forgetting them then keeps the list from growing with
	// every tray that comes and goes over weeks.
	if (!tray.gone.empty()) {
		XSync(d, False);
		tray.gone.clear();
	}
	const Window owner = currentOwner();
	if (owner == None) {
		standAlone("no system tray");
		return;
	}
	if (owner == tray.refusedBy) {
		standAlone("the system tray did not take the icon");
		return;
	}
	if (tray.successor)
		XtRemoveTimeOut(tray.successor);
	tray.successor = 0;
	tray.owner = owner;
	tray.window = createTrayWindow();
	XEvent e{};
	e.xclient.type = ClientMessage;
	e.xclient.window = owner;
	e.xclient.message_type = tray.opcode;
	e.xclient.format = 32;
	e.xclient.data.l[0] = CurrentTime;
	e.xclient.data.l[1] = kRequestDock;
	e.xclient.data.l[2] = static_cast<long>(tray.window);
	XSendEvent(d, owner, False, NoEventMask, &e);
	tray.askedAt = std::chrono::steady_clock::now();
	XFlush(d);
	tray.patience = XtAppAddTimeOut(appContext, kDockPatience, dockPatienceRunOut, nullptr);
}

void spacingRunOut(XtPointer, XtIntervalId *)
{
	tray.spacing = 0;
	dock();
}

void docked()
{
	tray.docked = true;
	if (tray.patience)
		XtRemoveTimeOut(tray.patience);
	tray.patience = 0;
	if (tray.alone) {
		tray.alone = false;
		XtPopdown(iconShell);
	}
}

void successorPatienceRunOut(XtPointer, XtIntervalId *)
{
	tray.successor = 0;
	if (tray.window == None) {
		standAlone("the system tray has gone");
		dock();
	}
}

// The tray has gone, or let the icon go.  A tray that replaces it (a
// panel restarted, a second tray that took the selection) takes the icon
// at once, or when it announces itself a moment later: a tray on its way
// out lets its icons go while it still owns the selection.  Only when no
// successor comes does the icon stand alone, and is offered to whatever
// tray owns the selection then, unless that tray has let it go at once too
// often.
void undocked()
{
	const Window was = tray.owner;
	const bool quick = std::chrono::steady_clock::now() - tray.askedAt < std::chrono::milliseconds(kDockPatience);
	forgetWindow();
	const Window now = XGetSelectionOwner(display(), tray.selection);
	if (now != None && now != was) {
		tray.quickReleases = 0;
		dock();
		return;
	}
	tray.quickReleases = quick ? tray.quickReleases + 1 : 0;
	if (tray.quickReleases >= kMostQuickReleases)
		tray.refusedBy = was;
	if (!tray.successor)
		tray.successor = XtAppAddTimeOut(appContext, kSuccessorPatience, successorPatienceRunOut, nullptr);
}

// A tray manager announced itself.  Trays that start at the same moment,
// or one that replaces another, each announce: the icon belongs in the
// one that owns the selection at the end.
void trayAnnounced()
{
	tray.refusedBy = None; // a new chance for each
	tray.quickReleases = 0;
	if (tray.window != None && XGetSelectionOwner(display(), tray.selection) == tray.owner)
		return; // in it, or asked, already
	forgetWindow();
	dock();
}

// A click on the icon in the tray: the list shows, the next hides it, as
// the fake icon's button does.
void clicked()
{
	attentionGiven();
	iconCallback(icon, nullptr, nullptr);
}

// Whether e was the tray's, and taken.
bool takeTrayEvent(const XEvent &e)
{
	// Taken by its type and selection alone: some trays send it with a
	// window field of 0 rather than the root's.
	const Window root = RootWindowOfScreen(XtScreen(toplevel));
	if (e.type == ClientMessage && e.xclient.message_type == tray.manager &&
	    static_cast<Atom>(e.xclient.data.l[1]) == tray.selection) {
		trayAnnounced();
		return true;
	}
	if (e.type == DestroyNotify && tray.owner != None && e.xdestroywindow.window == tray.owner) {
		undocked();
		return true;
	}
	if (tray.window == None || e.xany.window != tray.window)
		return false;
	switch (e.type) {
	case ReparentNotify:
		if (e.xreparent.parent == root) {
			if (tray.docked)
				undocked();
		} else {
			docked();
		}
		break;
	case DestroyNotify:
		tray.window = None; // gone with the tray
		undocked();
		break;
	case ConfigureNotify:
		if (e.xconfigure.width > 0 && e.xconfigure.height > 0 &&
		    (static_cast<unsigned>(e.xconfigure.width) != tray.width ||
		     static_cast<unsigned>(e.xconfigure.height) != tray.height)) {
			tray.width = static_cast<unsigned>(e.xconfigure.width);
			tray.height = static_cast<unsigned>(e.xconfigure.height);
			dropImage();
			draw();
		}
		break;
	case Expose:
		if (e.xexpose.count == 0)
			draw();
		break;
	case ButtonRelease:
		if (e.xbutton.button == Button1 && e.xbutton.x >= 0 && e.xbutton.y >= 0 &&
		    static_cast<unsigned>(e.xbutton.x) < tray.width && static_cast<unsigned>(e.xbutton.y) < tray.height)
			clicked();
		break;
	default:
		break;
	}
	return true;
}

} // namespace

bool iconDocked()
{
	return appResources.tray && !tray.alone;
}

void runMainLoop()
{
	if (!appResources.tray) {
		XtAppMainLoop(appContext);
		return;
	}
	XEvent e;
	do {
		XtAppNextEvent(appContext, &e);
		if (!takeTrayEvent(e))
			XtDispatchEvent(&e);
	} while (!XtAppGetExitFlag(appContext));
}

void startTray()
{
	Display *d = display();
	const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(XScreenNumberOfScreen(XtScreen(toplevel)));
	tray.selection = XInternAtom(d, name.c_str(), False);
	tray.opcode = XInternAtom(d, "_NET_SYSTEM_TRAY_OPCODE", False);
	tray.manager = XInternAtom(d, "MANAGER", False);
	tray.xembedInfo = XInternAtom(d, "_XEMBED_INFO", False);
	tray.previousHandler = XSetErrorHandler(trayErrors);
	// A tray that comes announces itself to the root window's
	// structure-notify listeners.
	const Window root = RootWindowOfScreen(XtScreen(toplevel));
	XWindowAttributes attributes;
	XGetWindowAttributes(d, root, &attributes);
	XSelectInput(d, root, attributes.your_event_mask | StructureNotifyMask);
	dock();
}

namespace {

// The window shows the look as it is now: its background, and the
// picture made again.
void restyle()
{
	dropImage();
	if (tray.window == None)
		return;
	XSetWindowBackground(display(), tray.window, background());
	draw();
}

} // namespace

void showTrayLook(bool mail)
{
	if (tray.mail == mail)
		return;
	tray.mail = mail;
	setTaskbarIcon(tray.window, mail);
	restyle();
}

void markTray(bool urgent)
{
	if (tray.marked == urgent)
		return;
	tray.marked = urgent;
	if (tray.window != None)
		setUrgencyHint(tray.window, urgent);
	restyle();
}
