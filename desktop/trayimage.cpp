// The tray's picture: the look at the size the tray gives, in the
// screen's pixels.  Where the visual takes any colour the look's smoothed
// shades are kept; where it has only a colormap's few (an 8-bit screen)
// each pixel is one of the look's two colours, dithered so that a line
// thinner than a pixel stays a dotted line instead of vanishing into the
// nearer colour.  Marked (urgent mail not yet looked at), the two colours
// change places.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

namespace {

// How much of the foreground a blended pixel holds, in sixteenths, taken
// along the channel where the two colours differ most.
unsigned foregroundShare(std::uint32_t p, std::uint32_t fg, std::uint32_t bg)
{
	int best = 0, share = 0;
	for (int shift = 0; shift <= 16; shift += 8) {
		const int f = static_cast<int>(fg >> shift & 0xff), b = static_cast<int>(bg >> shift & 0xff);
		const int c = static_cast<int>(p >> shift & 0xff);
		if (std::abs(f - b) > best) {
			best = std::abs(f - b);
			share = (std::abs(c - b) * 16 + best / 2) / best;
		}
	}
	return static_cast<unsigned>(std::min(share, 16));
}

// The pixel with the two colours' places changed: its share of the
// foreground becomes its share of the background.
std::uint32_t inverseBlend(std::uint32_t p, std::uint32_t fg, std::uint32_t bg)
{
	std::uint32_t out = p & 0xff000000u;
	for (int shift = 0; shift <= 16; shift += 8) {
		const int c = static_cast<int>(fg >> shift & 0xff) + static_cast<int>(bg >> shift & 0xff) -
		              static_cast<int>(p >> shift & 0xff);
		out |= static_cast<std::uint32_t>(std::clamp(c, 0, 255)) << shift;
	}
	return out;
}

// A 4 by 4 ordered dither's thresholds, in sixteenths: a pixel is the
// foreground where its share of it passes its place's threshold.
constexpr std::array<std::array<unsigned, 4>, 4> kDither{{
	{{0, 8, 2, 10}},
	{{12, 4, 14, 6}},
	{{3, 11, 1, 9}},
	{{15, 7, 13, 5}},
}};

} // namespace

XImage *trayImage(bool mail, bool marked, unsigned width, unsigned height)
{
	Display *display = XtDisplay(toplevel);
	Screen *screen = XtScreen(toplevel);
	Visual *visual = DefaultVisualOfScreen(screen);
	const unsigned depth = static_cast<unsigned>(DefaultDepthOfScreen(screen));
	char *data = static_cast<char *>(std::malloc(static_cast<std::size_t>(width) * height * 4));
	if (!data)
		return nullptr;
	XImage *image = XCreateImage(display, visual, depth, ZPixmap, 0, data, width, height, 32, 0);
	if (!image) {
		std::free(data);
		return nullptr;
	}
	const std::vector<std::uint32_t> argb = lookImage(mail, width, height);
	const std::uint32_t fgRgb = lookRgb(mail, true), bgRgb = lookRgb(mail, false);
	const bool trueColor = visual->c_class == TrueColor;
	Pixel fg = lookPixel(mail, true), bg = lookPixel(mail, false);
	if (marked)
		std::swap(fg, bg);
	auto part = [](std::uint32_t rgb, unsigned long mask) {
		// The 8-bit channel under mask's place and width.
		int shift = 0, bits = 0;
		while (mask && !(mask & 1))
			mask >>= 1, ++shift;
		while (mask & 1)
			mask >>= 1, ++bits;
		return static_cast<unsigned long>(rgb >> (8 - std::min(bits, 8))) << shift;
	};
	for (unsigned y = 0; y < height; ++y)
		for (unsigned x = 0; x < width; ++x) {
			const std::uint32_t look = argb[static_cast<std::size_t>(y) * width + x];
			unsigned long pixel;
			if (trueColor) {
				const std::uint32_t p = marked ? inverseBlend(look, fgRgb, bgRgb) : look;
				pixel = (part(p >> 16 & 0xff, visual->red_mask) & visual->red_mask) |
				        (part(p >> 8 & 0xff, visual->green_mask) & visual->green_mask) |
				        (part(p & 0xff, visual->blue_mask) & visual->blue_mask);
			} else {
				pixel = foregroundShare(look, fgRgb, bgRgb) > kDither[y % 4][x % 4] ? fg : bg;
			}
			XPutPixel(image, static_cast<int>(x), static_cast<int>(y), pixel);
		}
	return image;
}
