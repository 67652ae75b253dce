// Boxwarden watches one mailbox and tells the user when mail is there.
//
// Everything runs on one thread in the toolkit's event loop, and all state
// is process-wide.  main() reads the settings, builds the windows and runs
// a first rescan; from then on three kinds of event call in: the polling
// timer (monitor/timer.cpp), the list window being mapped or unmapped, and
// in fake-icon mode the icon button and the icon window (app/events.cpp).
// Each ends in rescanMailbox() (monitor/rescan.cpp), which decides whether
// to read the mailbox with parseMailbox() (scanner/) and then rings the
// bell, refreshes the list, sets the title and switches the icon.
//
// Start reading here, then monitor/rescan.cpp.
#include "app/boxwarden.h"
#include "desktop/desktop.h"
#include "imap/url.h"
#include "monitor/monitor.h"

#include <X11/StringDefs.h>
#include <X11/Shell.h>
#include <X11/Xaw/Command.h>
#include <X11/Xaw/Label.h>
#include <X11/Xaw/Viewport.h>

#include <cstdio>
#include <cstdlib>

Widget listShell;
Widget iconShell;
Widget viewport;
Widget messages;
Widget icon;

namespace {

// Whether the list starts hidden: "-iconic" or an iconic resource, in
// fake-icon mode only.
Boolean startIconic;

void allocateSummary()
{
	summary = static_cast<char *>(std::malloc(static_cast<std::size_t>(appResources.bufferSize)));
	if (!summary) {
		std::fprintf(stderr, "%s: cannot allocate %d bytes for the message list\n", invocationName,
		             appResources.bufferSize);
		std::exit(1);
	}
	summary[0] = '\0';
}

void createListShell()
{
	if (!appResources.fakeIcon) {
		listShell = toplevel;
		return;
	}
	String geometry = nullptr;
	XtVaGetValues(toplevel, XtNiconic, &startIconic, XtNgeometry, &geometry, nullptr);
	startIconic = startIconic || appResources.tray; // the tray's icon shows it
	if (appResources.debug)
		std::printf("List shell geometry <%s>\n", geometry ? geometry : "(null)");
	listShell = XtVaCreatePopupShell("boxwardenList", topLevelShellWidgetClass, toplevel, XtNgeometry, geometry,
	                                 nullptr);
}

void createList()
{
	viewport = XtVaCreateManagedWidget("viewport", viewportWidgetClass, listShell, XtNallowVert, True, nullptr);
	if (appResources.utf8)
		messages = createInternationalLabel(viewport);
	else
		messages = XtVaCreateManagedWidget("messages", labelWidgetClass, viewport, XtNjustify, XtJustifyLeft,
		                                   XtNlabel, "", nullptr);
	XtAddEventHandler(viewport, StructureNotifyMask, False, viewportEventHandler, nullptr);
}

void createIcon()
{
	// A fake icon stands in window lists beside the list, by its name.
	String title = nullptr;
	XtVaGetValues(listShell, XtNtitle, &title, nullptr);
	iconShell = XtVaCreatePopupShell("boxwardenIcon", topLevelShellWidgetClass, toplevel, nullptr);
	if (appResources.fakeIcon && title)
		XtVaSetValues(iconShell, XtNtitle, title, nullptr);
	WidgetClass iconClass = appResources.fakeIcon ? commandWidgetClass : labelWidgetClass;
	icon = XtVaCreateManagedWidget("icon", iconClass, iconShell, XtNbitmap, appResources.nomailBitmap,
	                               XtNforeground, appResources.iconForeground, XtNbackground,
	                               appResources.iconBackground, nullptr);
	if (appResources.fakeIcon)
		XtAddCallback(icon, XtNcallback, iconCallback, nullptr);
	XtRealizeWidget(iconShell);
	if (appResources.fakeIcon) {
		XtAddEventHandler(iconShell, StructureNotifyMask, False, iconEventHandler, nullptr);
		// In tray mode the tray, or the want of one, decides.
		if ((appResources.keepIcon || startIconic) && !appResources.tray)
			XtPopup(iconShell, XtGrabNone);
	}
}

// The window manager shows the icon shell's window as the application's
// icon, at the icon geometry's position when one is given.
void handIconToWindowManager()
{
	Position x = 0, y = 0;
	XtVaGetValues(iconShell, XtNx, &x, XtNy, &y, nullptr);
	Arg args[3];
	Cardinal n = 0;
	XtSetArg(args[n], XtNiconWindow, XtWindow(iconShell));
	++n;
	if (x != 0 || y != 0) {
		XtSetArg(args[n], XtNiconX, x);
		++n;
		XtSetArg(args[n], XtNiconY, y);
		++n;
	}
	XtSetValues(toplevel, args, n);
}

void showList()
{
	XtRealizeWidget(listShell);
	XtAddEventHandler(listShell, StructureNotifyMask, False, listEventHandler, nullptr);
	if (appResources.fakeIcon && !startIconic)
		XtPopup(listShell, XtGrabNone);
}

} // namespace

int main(int argc, char **argv)
{
	openApplication(&argc, argv);
	fetchSettings();
	if (appResources.debug)
		std::setvbuf(stdout, nullptr, _IOLBF, 0); // traces as they happen
	dumpSettings();
	checkSettings();
	scanFlags = deriveScanFlags();
	allocateSummary();

	createListShell();
	createList();
	createIcon();
	handIconToWindowManager();
	showList();
	startDesktop();
	if (!appResources.utf8)
		readFontCharset(); // the international list decodes every charset
	if (appResources.notify)
		startNotifications();

	if (isImapUrl(appResources.mailbox))
		startRemoteMailbox();
	// Watched before the first look, so that no change after it is missed.
	if (appResources.instant && !remoteMailbox)
		startInstantNotice();
	rescanMailbox(true);
	armPollTimer();
	runMainLoop();
	return 0;
}
