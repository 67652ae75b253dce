// urgent: new mail asks for attention through the urgency hint of
// WM_HINTS, which EWMH window managers show as a window that demands it
// (a flashing taskbar entry).  The hint goes on the list window and, with
// a fake icon, on the icon's window too, which is what shows while the
// list is hidden; docked, the list and icon windows are hidden, so the
// tray's window asks as well and shows the look inverse.
//
// The user has looked once the list is mapped, the pointer enters it or
// it gets the input focus (a taskbar or the keyboard raised it), or the
// tray's icon is clicked.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Shell.h>
#include <X11/Xutil.h>

namespace {

bool asking = false;

void setUrgency(bool on)
{
	if (asking == on)
		return;
	asking = on;
	XtVaSetValues(listShell, XtNurgency, on, nullptr);
	if (appResources.fakeIcon)
		XtVaSetValues(iconShell, XtNurgency, on, nullptr);
	if (appResources.tray)
		markTray(on);
}

// The pointer came into the list, or the focus did: the user is looking
// at it.  A focus that only comes back when a grab ends is not new.
void listLookedAt(Widget, XtPointer, XEvent *event, Boolean *)
{
	if (event->type == EnterNotify ||
	    (event->type == FocusIn && event->xfocus.mode != NotifyGrab && event->xfocus.mode != NotifyUngrab))
		attentionGiven();
}

} // namespace

void startAttention()
{
	XtAddEventHandler(listShell, EnterWindowMask | FocusChangeMask, False, listLookedAt, nullptr);
}

void setUrgencyHint(Window window, bool on)
{
	Display *display = XtDisplay(toplevel);
	XWMHints *old = XGetWMHints(display, window);
	XWMHints hints = old ? *old : XWMHints{};
	if (old)
		XFree(old);
	if (on)
		hints.flags |= XUrgencyHint;
	else
		hints.flags &= ~XUrgencyHint;
	XSetWMHints(display, window, &hints);
}

void askForAttention()
{
	if (appResources.urgent)
		setUrgency(true);
}

void attentionGiven()
{
	if (appResources.urgent)
		setUrgency(false);
}
