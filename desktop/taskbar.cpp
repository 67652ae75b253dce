// _NET_WM_ICON: the picture an EWMH taskbar or window switcher shows for a
// window.  Window managers that do not know it ignore it, so the icon
// window goes on as before.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Xatom.h>

// Made at each switch of the look, which is rare, and not kept: the
// server keeps the property.
void setTaskbarIcon(Window window, bool mail)
{
	if (window == None)
		return;
	Display *display = XtDisplay(toplevel);
	const Atom netWmIcon = XInternAtom(display, "_NET_WM_ICON", False);
	unsigned width = 0, height = 0;
	lookSize(mail, width, height);
	if (width == 0 || height == 0) {
		XDeleteProperty(display, window, netWmIcon);
		return;
	}
	// Each size as width, height and its pixels; a property of format 32
	// is handed to Xlib as longs, whatever their size.
	std::vector<long> data;
	data.reserve(4 + 5 * static_cast<std::size_t>(width) * height);
	for (unsigned times : {1u, 2u}) {
		data.push_back(width * times);
		data.push_back(height * times);
		for (std::uint32_t pixel : lookImage(mail, width * times, height * times))
			data.push_back(static_cast<long>(pixel));
	}
	XChangeProperty(display, window, netWmIcon, XA_CARDINAL, 32, PropModeReplace,
	                reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
}
