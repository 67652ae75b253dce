#include "tests/x/view.h"

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

std::vector<unsigned long> stableLabelImage(XSession &x, Window shell)
{
	std::vector<unsigned long> image, before;
	x.waitUntil([&] {
		before = image;
		auto top = x.children(shell);
		auto parts = top.empty() ? std::vector<Window>{} : x.children(top.front());
		for (Window part : parts)
			for (Window label : x.children(part))
				image = x.image(label);
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
