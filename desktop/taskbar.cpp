// _NET_WM_ICON: the picture an EWMH taskbar or window switcher shows for a
// window.  Window managers that do not know it ignore it, so the icon
// window goes on as before.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Xatom.h>

#include <array>

namespace {

// The property of each look, made once, when the look first shows: a
// later switch costs one request.
std::array<std::vector<long>, 2> icons; // no mail, mail
std::array<bool, 2> made{};

// Each size as width, height and its pixels; a property of format 32 is
// handed to Xlib as longs, whatever their size.  Empty without a bitmap.
const std::vector<long> &iconOf(bool mail)
{
	std::vector<long> &data = icons[mail];
	if (made[mail])
		return data;
	made[mail] = true;
	unsigned width = 0, height = 0;
	lookSize(mail, width, height);
	if (width == 0 || height == 0)
		return data;
	for (unsigned times : {1u, 2u}) {
		data.push_back(width * times);
		data.push_back(height * times);
		for (std::uint32_t pixel : lookImage(mail, width * times, height * times))
			data.push_back(static_cast<long>(pixel));
	}
	return data;
}

} // namespace

void setTaskbarIcon(Window window, bool mail)
{
	if (window == None)
		return;
	Display *display = XtDisplay(toplevel);
	const Atom netWmIcon = XInternAtom(display, "_NET_WM_ICON", False);
	const std::vector<long> &data = iconOf(mail);
	if (data.empty())
		XDeleteProperty(display, window, netWmIcon);
	else
		XChangeProperty(display, window, netWmIcon, XA_CARDINAL, 32, PropModeReplace,
		                reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
}
