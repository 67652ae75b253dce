// The window events: the list window's Map and Unmap, and in fake-icon
// mode the icon button and the icon window's Unmap, which swap the two.
// An unmap that only moves a window into or out of a window manager's
// frame is none of these.
#include "app/boxwarden.h"
#include "desktop/desktop.h"
#include "monitor/monitor.h"

#include <X11/IntrinsicP.h>
#include <X11/ShellP.h>

#include <array>
#include <cstdio>

namespace {

// A window manager that starts, ends or restarts takes the windows it
// manages into its frames or out of them, and unmaps them for that: at
// once with the reparenting (which sends the ReparentNotify in the same
// breath), or, as twm does at start, with an unmap of its own that a
// reparenting and a map follow.  Such an unmap is not the user's.  The
// user's comes from the window manager iconifying the window, which it
// marks in WM_STATE.  An unmap that neither tells is taken as the user's
// if the window manager has not taken the window back within a second.
constexpr unsigned long kWindowManagerPatience = 1000; // milliseconds

enum class Unmap { ours, users, windowManagers, undecided };

struct Lookout {
	Window window;
	bool found;
};

// Notes a ReparentNotify of the window, and takes nothing from the queue:
// the shell needs the event too.
Bool noteReparent(Display *, XEvent *e, XPointer arg)
{
	auto *lookout = reinterpret_cast<Lookout *>(arg);
	if (e->type == ReparentNotify && e->xreparent.window == lookout->window)
		lookout->found = true;
	return False;
}

bool iconic(Widget shell)
{
	Display *display = XtDisplay(shell);
	const Atom wmState = XInternAtom(display, "WM_STATE", False);
	Atom type;
	int format;
	unsigned long items, after;
	unsigned char *data = nullptr;
	bool result = false;
	if (XGetWindowProperty(display, XtWindow(shell), wmState, 0, 1, False, wmState, &type, &format, &items, &after,
	                       &data) == Success &&
	    data && format == 32 && items == 1)
		result = reinterpret_cast<long *>(data)[0] == IconicState;
	if (data)
		XFree(data);
	return result;
}

Unmap whoseUnmap(Widget shell)
{
	if (!reinterpret_cast<ShellWidget>(shell)->shell.popped_up)
		return Unmap::ours; // we took it down ourselves
	Display *display = XtDisplay(shell);
	XSync(display, False); // a ReparentNotify sent with it is queued by now
	Lookout lookout{XtWindow(shell), false};
	XEvent e;
	XCheckIfEvent(display, &e, noteReparent, reinterpret_cast<XPointer>(&lookout));
	if (lookout.found)
		return Unmap::windowManagers;
	return iconic(shell) ? Unmap::users : Unmap::undecided;
}

void listUnmapped(Widget w)
{
	if (appResources.debug)
		std::printf("UnmapNotify\n");
	if (appResources.fakeIcon) {
		XtPopdown(w);
		if (!iconDocked())
			XtPopup(iconShell, XtGrabNone);
	}
	listVisible = false;
	rescanMailbox(false);
}

void iconUnmapped(Widget w)
{
	XtPopdown(w);
	if (!listVisible)
		XtPopup(listShell, XtGrabNone);
}

// The timers of unmaps not yet decided, the list's and the icon's.
std::array<XtIntervalId, 2> undecided{};

XtIntervalId &undecidedOf(Widget shell)
{
	return undecided[shell == iconShell];
}

void takeUnmap(Widget shell)
{
	if (shell == iconShell)
		iconUnmapped(shell);
	else
		listUnmapped(shell);
}

void windowManagerSilent(XtPointer data, XtIntervalId *)
{
	const auto shell = static_cast<Widget>(data);
	undecidedOf(shell) = 0;
	XWindowAttributes a;
	if (XGetWindowAttributes(XtDisplay(shell), XtWindow(shell), &a) && a.map_state == IsUnmapped &&
	    !(shell == iconShell && iconDocked()))
		takeUnmap(shell);
}

// The shell was mapped or reparented again: an undecided unmap was the
// window manager's.
void windowManagerCameBack(Widget shell)
{
	XtIntervalId &timer = undecidedOf(shell);
	if (timer)
		XtRemoveTimeOut(timer);
	timer = 0;
}

// Whether the unmap is to be taken as the user's now.
bool usersUnmap(Widget shell)
{
	switch (whoseUnmap(shell)) {
	case Unmap::ours:
	case Unmap::users:
		return true;
	case Unmap::windowManagers:
		return false;
	case Unmap::undecided:
		break;
	}
	XtIntervalId &timer = undecidedOf(shell);
	if (!timer)
		timer = XtAppAddTimeOut(appContext, kWindowManagerPatience, windowManagerSilent, shell);
	return false;
}

} // namespace

void iconCallback(Widget, XtPointer, XtPointer)
{
	if (appResources.debug)
		std::printf("iconCallback: %d\n", listVisible);
	if (listVisible)
		XtPopdown(listShell);
	else
		XtPopup(listShell, XtGrabNone);
	listVisible = !listVisible;
	if (!appResources.keepIcon)
		XtPopdown(iconShell);
}

void listEventHandler(Widget w, XtPointer, XEvent *event, Boolean *)
{
	switch (event->type) {
	case UnmapNotify:
		if (!appResources.fakeIcon || usersUnmap(w))
			listUnmapped(w);
		break;
	case ReparentNotify:
		if (appResources.fakeIcon)
			windowManagerCameBack(w);
		break;
	case MapNotify:
		if (appResources.fakeIcon)
			windowManagerCameBack(w);
		if (appResources.debug)
			std::printf("MapNotify\n");
		listVisible = true;
		attentionGiven();
		rescanMailbox(false);
		break;
	default:
		break;
	}
}

// A list made taller may show more of the newest lines, and one made
// shorter fewer.
void viewportEventHandler(Widget, XtPointer, XEvent *event, Boolean *)
{
	if (event->type == ConfigureNotify)
		refitList();
}

void iconEventHandler(Widget w, XtPointer, XEvent *event, Boolean *)
{
	// Docked in a tray, the icon shell goes down because the tray shows
	// the icon, not because the user wants the list.
	if (event->type == MapNotify || event->type == ReparentNotify)
		windowManagerCameBack(w);
	if (event->type != UnmapNotify || iconDocked())
		return;
	if (usersUnmap(w))
		iconUnmapped(w);
}

// The list as a notification's "Show" asks for it: brought up as a click
// on the icon brings it, then mapped and raised (which deiconifies it where
// the window manager has it iconified) and made the active window where
// the window manager knows of one.  The user asked for it through another
// program, as through a pager, so the request says so.
void bringListForward()
{
	if (appResources.fakeIcon && !listVisible)
		iconCallback(icon, nullptr, nullptr);
	Display *display = XtDisplay(listShell);
	const Window window = XtWindow(listShell);
	XMapRaised(display, window);
	XEvent e{};
	e.xclient.type = ClientMessage;
	e.xclient.window = window;
	e.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
	e.xclient.format = 32;
	e.xclient.data.l[0] = 2; // a pager's request
	e.xclient.data.l[1] = CurrentTime;
	XSendEvent(display, RootWindowOfScreen(XtScreen(listShell)), False,
	           SubstructureRedirectMask | SubstructureNotifyMask, &e);
	attentionGiven();
}
