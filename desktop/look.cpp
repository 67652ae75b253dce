// The look's bitmap and colours as ARGB pixels, at any size: the taskbar
// takes the bitmap's own size and twice it; a tray gives what it has room
// for, often a third of a 48-pixel bitmap.
#include "app/boxwarden.h"
#include "desktop/desktop.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Samples a side of each pixel, for the share of the bitmap in it: enough
// to shade the edges of letters scaled down, exact at whole multiples.
constexpr unsigned kSamples = 4;

struct Bitmap {
	unsigned width = 0, height = 0;
	std::vector<unsigned char> bits; // row by row, 1 where set
	bool read = false;
};

std::array<Bitmap, 2> bitmaps; // no mail, mail

const Bitmap &bitmapOf(bool mail)
{
	Bitmap &b = bitmaps[mail];
	if (b.read)
		return b;
	b.read = true;
	const Pixmap pixmap = mail ? appResources.mailBitmap : appResources.nomailBitmap;
	Display *display = XtDisplay(toplevel);
	Window root;
	int x, y;
	unsigned width, height, border, depth;
	if (pixmap == None || !XGetGeometry(display, pixmap, &root, &x, &y, &width, &height, &border, &depth))
		return b;
	XImage *image = XGetImage(display, pixmap, 0, 0, width, height, 1, XYPixmap);
	if (!image)
		return b;
	b.width = width;
	b.height = height;
	b.bits.resize(static_cast<std::size_t>(width) * height);
	for (unsigned row = 0; row < height; ++row)
		for (unsigned col = 0; col < width; ++col)
			b.bits[static_cast<std::size_t>(row) * width + col] = XGetPixel(image, static_cast<int>(col), static_cast<int>(row)) != 0;
	XDestroyImage(image);
	return b;
}

// The colours do not change while the program runs: each is asked of the
// server once.
std::uint32_t rgbOf(Pixel pixel)
{
	static std::array<std::pair<Pixel, std::uint32_t>, 4> known;
	static std::size_t count = 0;
	for (std::size_t i = 0; i < count; ++i)
		if (known[i].first == pixel)
			return known[i].second;
	XColor c{};
	c.pixel = pixel;
	XQueryColor(XtDisplay(toplevel), DefaultColormapOfScreen(XtScreen(toplevel)), &c);
	const std::uint32_t rgb = static_cast<std::uint32_t>(c.red >> 8) << 16 |
	                          static_cast<std::uint32_t>(c.green >> 8) << 8 | static_cast<std::uint32_t>(c.blue >> 8);
	if (count < known.size())
		known[count++] = {pixel, rgb};
	return rgb;
}

std::uint32_t blend(std::uint32_t fg, std::uint32_t bg, unsigned share, unsigned of)
{
	std::uint32_t out = 0xff000000u;
	for (int shift = 0; shift <= 16; shift += 8) {
		const unsigned f = fg >> shift & 0xff, b = bg >> shift & 0xff;
		out |= static_cast<std::uint32_t>((f * share + b * (of - share) + of / 2) / of) << shift;
	}
	return out;
}

} // namespace

Pixel lookPixel(bool mail, bool foreground)
{
	if (mail)
		return foreground ? appResources.iconMailForeground : appResources.iconMailBackground;
	return foreground ? appResources.iconForeground : appResources.iconBackground;
}

std::uint32_t lookRgb(bool mail, bool foreground)
{
	return rgbOf(lookPixel(mail, foreground));
}

void prepareLooks()
{
	for (bool mail : {false, true}) {
		bitmapOf(mail);
		lookRgb(mail, true);
		lookRgb(mail, false);
	}
}

void lookSize(bool mail, unsigned &width, unsigned &height)
{
	const Bitmap &b = bitmapOf(mail);
	width = b.width;
	height = b.height;
}

std::vector<std::uint32_t> lookImage(bool mail, unsigned width, unsigned height)
{
	const Bitmap &b = bitmapOf(mail);
	const std::uint32_t fg = lookRgb(mail, true), bg = lookRgb(mail, false);
	std::vector<std::uint32_t> out(static_cast<std::size_t>(width) * height, bg | 0xff000000u);
	if (b.width == 0 || b.height == 0 || width == 0 || height == 0)
		return out;
	// The largest size of the bitmap's shape that fits, centred.
	const double scale = std::min(static_cast<double>(width) / b.width, static_cast<double>(height) / b.height);
	const unsigned w = std::max(1u, static_cast<unsigned>(b.width * scale + 0.5));
	const unsigned h = std::max(1u, static_cast<unsigned>(b.height * scale + 0.5));
	const unsigned left = (width - std::min(w, width)) / 2, top = (height - std::min(h, height)) / 2;
	// At a whole multiple each pixel is one of the bitmap's: no shades.
	if (w % b.width == 0 && h % b.height == 0 && w / b.width == h / b.height) {
		const unsigned times = w / b.width;
		for (unsigned row = 0; row < std::min(h, height); ++row)
			for (unsigned col = 0; col < std::min(w, width); ++col)
				out[static_cast<std::size_t>(top + row) * width + left + col] =
				        0xff000000u | (b.bits[static_cast<std::size_t>(row / times) * b.width + col / times] ? fg : bg);
		return out;
	}
	for (unsigned row = 0; row < std::min(h, height); ++row)
		for (unsigned col = 0; col < std::min(w, width); ++col) {
			unsigned share = 0;
			for (unsigned sy = 0; sy < kSamples; ++sy)
				for (unsigned sx = 0; sx < kSamples; ++sx) {
					const auto x = static_cast<std::size_t>((col * kSamples + sx) * b.width / (w * kSamples));
					const auto y = static_cast<std::size_t>((row * kSamples + sy) * b.height / (h * kSamples));
					share += b.bits[y * b.width + x];
				}
			out[static_cast<std::size_t>(top + row) * width + left + col] = blend(fg, bg, share, kSamples * kSamples);
		}
	return out;
}
