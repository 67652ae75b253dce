#include "tests/x/view.h"

#include <algorithm>

ListView listView(XSession &x, Window shell)
{
	ListView view;
	auto top = x.children(shell);
	if (top.empty())
		return view;
	// The viewport holds the clip window, whose only child is the
	// label, and the scrollbar once there is one.
	auto parts = x.children(top.front());
	for (Window part : parts) {
		auto inside = x.children(part);
		if (inside.size() == 1) {
			view.clipHeight = x.attributes(part).height;
			XWindowAttributes label = x.attributes(inside.front());
			view.labelY = label.y;
			view.labelHeight = label.height;
		}
	}
	view.scrollbar = parts.size() > 1;
	return view;
}

std::vector<unsigned long> labelImage(XSession &x, Window shell)
{
	std::vector<unsigned long> image;
	auto top = x.children(shell);
	auto parts = top.empty() ? std::vector<Window>{} : x.children(top.front());
	for (Window part : parts)
		for (Window label : x.children(part))
			image = x.image(label);
	return image;
}

std::vector<unsigned long> stableLabelImage(XSession &x, Window shell)
{
	std::vector<unsigned long> image, before;
	x.waitUntil([&] {
		before = image;
		image = labelImage(x, shell);
		return !image.empty() && image == before;
	});
	return image;
}

Window iconWidget(XSession &x)
{
	Window shell = x.findClient("boxwardenIcon");
	auto inside = shell ? x.children(shell) : std::vector<Window>{};
	return inside.empty() ? 0 : inside.front();
}

unsigned long iconBackground(XSession &x)
{
	Window icon = iconWidget(x);
	return icon && x.isViewable(icon) ? x.pixel(icon, 1, 1) : ~0ul;
}

Window dockedIcon(XSession &x, TrayProcess &tray)
{
	const Window icon = x.findClient("boxwardenTray");
	if (!icon || !x.isViewable(icon))
		return 0;
	for (Window up = x.parent(icon); up; up = x.parent(up))
		if (up == tray.window())
			return icon;
	return 0;
}

double darkShare(XSession &x, Window w)
{
	const std::vector<unsigned long> pixels = x.image(w);
	if (pixels.empty())
		return -1;
	const auto dark = std::count_if(pixels.begin(), pixels.end(), [](unsigned long p) {
		return (p >> 16 & 0xff) + (p >> 8 & 0xff) + (p & 0xff) < 3 * 128;
	});
	return static_cast<double>(dark) / static_cast<double>(pixels.size());
}

std::vector<unsigned long> bitmapAsArgb(const std::string &name, unsigned long foreground, unsigned long background)
{
	unsigned width = 0, height = 0;
	unsigned char *data = nullptr;
	int xHot, yHot;
	if (XReadBitmapFileData(("/usr/include/X11/bitmaps/" + name).c_str(), &width, &height, &data, &xHot, &yHot) !=
	    BitmapSuccess)
		return {};
	std::vector<unsigned long> argb;
	const unsigned rowBytes = (width + 7) / 8;
	for (unsigned y = 0; y < height; ++y)
		for (unsigned x = 0; x < width; ++x)
			argb.push_back(data[y * rowBytes + x / 8] >> (x % 8) & 1 ? foreground : background);
	XFree(data);
	return argb;
}
