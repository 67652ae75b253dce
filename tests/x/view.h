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

// The pixels of the list's label, once they stop changing.
std::vector<unsigned long> stableLabelImage(XSession &x, Window shell);

// The icon widget's window inside the icon shell, and its background.
Window iconWidget(XSession &x);
unsigned long iconBackground(XSession &x);

constexpr unsigned long kBlack = 0x000000;
constexpr unsigned long kWhite = 0xffffff;
