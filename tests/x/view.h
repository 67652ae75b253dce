// What the watcher's windows show, read from the server.
#pragma once

#include "tests/x/xsession.h"

// The list: the label inside the viewport's clip window.
struct ListView {
	int clipHeight = 0;
	int labelY = 0; // negative once scrolled
	int labelHeight = 0;
	bool scrollbar = false;

	// The label's last line is at the bottom of the view.
	bool atEnd() const { return labelY == clipHeight - labelHeight; }
};
ListView listView(XSession &x, Window shell);

// The pixels of the list's label as they are now; none without a label.
std::vector<unsigned long> labelImage(XSession &x, Window shell);
// The same, once they stop changing.
std::vector<unsigned long> stableLabelImage(XSession &x, Window shell);

// The icon widget's window inside the icon shell, and its background.
Window iconWidget(XSession &x);
unsigned long iconBackground(XSession &x);

// The icon's window once the tray holds it and shows it; 0 until then.
Window dockedIcon(XSession &x, TrayProcess &tray);

// The share of the window's pixels that are dark: the tray draws the
// look smaller than the bitmap, in shades of its colours.  -1 when it
// cannot be read.
double darkShare(XSession &x, Window w);

// A standard bitmap as the look shows it at its own size: ARGB, a set bit
// in the foreground colour.
std::vector<unsigned long> bitmapAsArgb(const std::string &name, unsigned long foreground,
                                        unsigned long background);

constexpr unsigned long kBlack = 0x000000;
constexpr unsigned long kWhite = 0xffffff;
