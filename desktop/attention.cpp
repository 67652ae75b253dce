// urgent: new mail asks for attention through the urgency hint of
// WM_HINTS, which EWMH window managers show as a window that demands it
// (a flashing taskbar entry).  The hint goes on the list window and, with
// a fake icon, on the icon's window too, which is what shows while the
// list is hidden.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Shell.h>

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
}

// The pointer came into the list: the user is looking at it.
void listEntered(Widget, XtPointer, XEvent *event, Boolean *)
{
	if (event->type == EnterNotify)
		attentionGiven();
}

} // namespace

void startAttention()
{
	XtAddEventHandler(listShell, EnterWindowMask, False, listEntered, nullptr);
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
