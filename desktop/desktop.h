// The mail look where today's desktops show it.  Window managers of the
// EWMH kind draw no icon windows: they show a taskbar entry with the
// window's _NET_WM_ICON, a system tray, and windows that ask for
// attention.  The icon widget stays the look's master; what is here
// follows it.
#pragma once

#include <X11/Intrinsic.h>

#include <cstdint>
#include <vector>

// The look as ARGB pixels of width x height (aspect kept, centred on the
// look's background), each pixel the bitmap's share of it in its two
// colours: the same picture, sharp at whole multiples of the bitmap's size
// and smoothed below it.
std::vector<std::uint32_t> lookImage(bool mail, unsigned width, unsigned height);
// Asks the server once, at start-up, for what the pictures are made of
// (the bitmaps and the colours): a switch of the look then waits for no
// answer, and the windows are redrawn as quickly as ever.
void prepareLooks();
// One of the look's two colours: the pixel, and as 0xRRGGBB.
Pixel lookPixel(bool mail, bool foreground);
std::uint32_t lookRgb(bool mail, bool foreground);
// The look's bitmap size; 0 by 0 when it has none.
void lookSize(bool mail, unsigned &width, unsigned &height);

// _NET_WM_ICON: the look at the sizes taskbars and window lists use.
void setTaskbarIcon(Window window, bool mail);

// At start-up, once the windows are realised; the tray's, when tray is on.
void startDesktop();
// At every switch of the look.
void showLook(bool mail);

// urgent: a poll found new mail; the user has looked (the list was mapped,
// entered or given the focus, or the tray's icon clicked), or there is no
// mail.
void startAttention();
void askForAttention();
void attentionGiven();
// The urgency hint of WM_HINTS on a window that is not a widget's.
void setUrgencyHint(Window window, bool on);

// tray: docks the icon, or has it stand alone, and follows the look.
void startTray();
void showTrayLook(bool mail);
// urgent with tray: the tray's window asks for attention too, and its
// look is drawn in inverse colours until the user has looked.
void markTray(bool urgent);
// The tray's picture of the look at its size, in the screen's pixels;
// marked, in inverse colours.  Null if it cannot be made.
XImage *trayImage(bool mail, bool marked, unsigned width, unsigned height);
// notify: at start-up, the session bus; after every rescan, the summary
// taken in, and where the bell rang (or would, but for silent) what is new
// in it told in a notification.
void startNotifications();
void noteSummary(bool ring);

// tray: whether the icon lives in a tray just now (the icon window then
// stays down), and the main loop, which gives the tray its events.
bool iconDocked();
void runMainLoop();
