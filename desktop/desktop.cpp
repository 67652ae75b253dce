// Where the look goes besides the icon widget: the taskbar's picture
// always, the urgency hint and the tray when they are asked for.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

void startDesktop()
{
	prepareLooks();
	showLook(false);
	if (appResources.urgent)
		startAttention();
	if (appResources.tray)
		startTray();
}

void showLook(bool mail)
{
	setTaskbarIcon(XtWindow(listShell), mail);
	if (appResources.fakeIcon)
		setTaskbarIcon(XtWindow(iconShell), mail);
	if (appResources.tray)
		showTrayLook(mail);
}
