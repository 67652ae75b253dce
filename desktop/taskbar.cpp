// _NET_WM_ICON: the picture an EWMH taskbar or window switcher shows for a
// window.  Window managers that do not know it ignore it, so the icon
// window goes on as before.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <X11/Xatom.h>

#include <array>

namespace {

// The sizes taskbars, window lists and switchers draw: each picks the
// nearest, and those that scale crudely no longer shrink a large one to
// scattered dots.  Smallest first; about 13,000 pixels in all.
constexpr std::array<unsigned, 5> kIconSizes{16, 24, 32, 48, 96};
constexpr std::size_t kIconPixels = [] {
	std::size_t n = 0;
	for (unsigned side : kIconSizes)
		n += static_cast<std::size_t>(side) * side;
	return n;
}();
static_assert(kIconPixels < 16384, "_NET_WM_ICON stays a small property");

} // namespace

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
	// Each size as width, height and its pixels, the look's shape kept
	// within the square; a property of format 32 is handed to Xlib as
	// longs, whatever their size.
	std::vector<long> data;
	data.reserve(2 * kIconSizes.size() + kIconPixels);
	for (unsigned side : kIconSizes) {
		data.push_back(side);
		data.push_back(side);
		for (std::uint32_t pixel : lookImage(mail, side, side))
			data.push_back(static_cast<long>(pixel));
	}
	XChangeProperty(display, window, netWmIcon, XA_CARDINAL, 32, PropModeReplace,
	                reinterpret_cast<const unsigned char *>(data.data()), static_cast<int>(data.size()));
}
