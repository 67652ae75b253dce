// The window events: the list window's Map and Unmap, and in fake-icon
// mode the icon button and the icon window's Unmap, which swap the two.
#include "app/boxwarden.h"
#include "desktop/desktop.h"
#include "monitor/monitor.h"

#include <cstdio>

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
		if (appResources.debug)
			std::printf("UnmapNotify\n");
		if (appResources.fakeIcon) {
			XtPopdown(w);
			if (!iconDocked())
				XtPopup(iconShell, XtGrabNone);
		}
		listVisible = false;
		rescanMailbox(false);
		break;
	case MapNotify:
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
	if (event->type != UnmapNotify || iconDocked())
		return;
	XtPopdown(w);
	if (!listVisible)
		XtPopup(listShell, XtGrabNone);
}
