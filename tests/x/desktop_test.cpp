// The mail look on an EWMH desktop: openbox, which draws no icon windows,
// and trayer, a system tray.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <utility>

using std::string;
using std::vector;

namespace {

constexpr long kT1 = 1700000000;
constexpr unsigned long kOpaqueBlack = 0xff000000, kOpaqueWhite = 0xffffffff;

// _NET_WM_ICON as it holds a look: each size's side (the pictures are
// square) and its pixels, in the property's order.
vector<std::pair<unsigned long, vector<unsigned long>>> iconSizes(const vector<unsigned long> &property)
{
	vector<std::pair<unsigned long, vector<unsigned long>>> sizes;
	for (std::size_t at = 0; at + 2 <= property.size();) {
		const unsigned long width = property[at], height = property[at + 1];
		if (width != height || width == 0 || property.size() - at - 2 < width * height)
			return {};
		sizes.emplace_back(width, vector<unsigned long>(property.begin() + static_cast<long>(at) + 2,
		                                               property.begin() + static_cast<long>(at + 2 + width * height)));
		at += 2 + width * height;
	}
	return sizes;
}

// How much of a picture in black and white is ink of the given colour:
// each pixel's share of it, on average.
double ink(const vector<unsigned long> &pixels, unsigned long colour)
{
	double sum = 0;
	for (unsigned long p : pixels) {
		const double white = static_cast<double>(p & 0xff) / 255;
		sum += (colour & 0xff) ? white : 1 - white;
	}
	return pixels.empty() ? 0 : sum / static_cast<double>(pixels.size());
}

// Whether the property holds the look at 16, 24, 32, 48 and 96 pixels,
// smallest first: the bitmap as it is at 48, each pixel doubled at 96,
// and the smaller ones smoothed, in shades that keep its ink.
bool holdsLook(const vector<unsigned long> &property, const vector<unsigned long> &look, unsigned long foreground)
{
	const auto sizes = iconSizes(property);
	vector<unsigned long> sides;
	for (const auto &[side, pixels] : sizes)
		sides.push_back(side);
	if (sides != vector<unsigned long>{16, 24, 32, 48, 96} || sizes[3].second != look)
		return false;
	for (unsigned y = 0; y < 96; ++y)
		for (unsigned x = 0; x < 96; ++x)
			if (sizes[4].second[y * 96 + x] != look[y / 2 * 48 + x / 2])
				return false;
	const double full = ink(look, foreground);
	for (std::size_t i = 0; i < 3; ++i)
		if (std::abs(ink(sizes[i].second, foreground) - full) > 0.05)
			return false;
	return true;
}

} // namespace

TEST(Desktop, TheTaskbarIconFollowsTheLook)
{
	const vector<unsigned long> noMail = bitmapAsArgb("noletters", kOpaqueBlack, kOpaqueWhite);
	const vector<unsigned long> mail = bitmapAsArgb("letters", kOpaqueWhite, kOpaqueBlack);
	ASSERT_EQ(noMail.size(), 48 * 48u);
	ASSERT_EQ(mail.size(), 48 * 48u);
	// The list's top-level window always; the icon's too when it is one.
	const struct {
		vector<string> args;
		vector<string> windows;
	} cases[] = {
		{{}, {"boxwarden"}},
		{{"-fakeIcon", "-keepIcon"}, {"boxwardenList", "boxwardenIcon"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.windows[0]);
		XSession x(WindowManager::openbox);
		TempDir dir;
		writeMailbox(dir.sub("mbox"), "", kT1);
		vector<string> args{"-mailbox", "mbox", "-poll", "1"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Watcher w(x, dir.path(), args);
		vector<Window> windows;
		for (const string &name : c.windows) {
			windows.push_back(x.waitForShown(name));
			ASSERT_NE(windows.back(), 0u) << name;
		}
		auto shows = [&](const vector<unsigned long> &look, unsigned long foreground) {
			return x.waitUntil([&] {
				return std::all_of(windows.begin(), windows.end(), [&](Window window) {
					return holdsLook(x.cardinals(window, "_NET_WM_ICON"), look, foreground);
				});
			});
		};
		EXPECT_TRUE(shows(noMail, kOpaqueBlack));
		// openbox draws no icon window: the title tells when the look
		// has switched.
		writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
		ASSERT_TRUE(x.waitUntil([&] { return x.wmName(windows[0]).starts_with("Mail at "); }));
		EXPECT_TRUE(shows(mail, kOpaqueWhite));
		writeMailbox(dir.sub("mbox"), "", kT1 + 20);
		ASSERT_TRUE(x.waitUntil([&] { return x.wmName(windows[0]).starts_with("No mail since "); }));
		EXPECT_TRUE(shows(noMail, kOpaqueBlack));
		EXPECT_EQ(w.err(), "");
	}
}

// With urgent, new mail sets the urgency hint of the list window, and
// mapping the list, or the mail going, clears it; without, it is never set.
TEST(Desktop, UrgentAsksForAttention)
{
	for (bool urgent : {true, false}) {
		SCOPED_TRACE(urgent ? "-urgent" : "no -urgent");
		XSession x(WindowManager::openbox);
		TempDir dir;
		writeMailbox(dir.sub("mbox"), "", kT1);
		vector<string> args{"-mailbox", "mbox", "-poll", "1"};
		if (urgent)
			args.push_back("-urgent");
		Watcher w(x, dir.path(), args);
		const Window list = x.waitForShown("boxwarden");
		ASSERT_NE(list, 0u);
		auto asks = [&] { return (x.wmHints(list).flags & XUrgencyHint) != 0; };
		// The pointer coming into the list is the user looking at it: it
		// is kept where the list never is.
		ASSERT_EQ(x.run("xdotool mousemove 1023 767"), 0);
		ASSERT_EQ(x.run("xdotool windowminimize " + std::to_string(list)), 0);
		ASSERT_TRUE(x.waitUntil([&] { return x.wmState(list) == IconicState; }));

		writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
		ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 1; }));
		EXPECT_TRUE(x.waitUntil([&] { return asks() == urgent; }));
		ASSERT_EQ(x.run("xdotool windowactivate " + std::to_string(list)), 0);
		ASSERT_TRUE(x.waitUntil([&] { return x.isViewable(list); }));
		EXPECT_TRUE(x.waitUntil([&] { return !asks(); }));

		// Mail while the list shows asks too (it may be covered, or on
		// another desktop); the mail read elsewhere ends it.
		writeMailbox(dir.sub("mbox"), message("a", "s") + message("b", "t"), kT1 + 20);
		ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 2; }));
		EXPECT_TRUE(x.waitUntil([&] { return asks() == urgent; }));
		writeMailbox(dir.sub("mbox"), "", kT1 + 30);
		ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list).starts_with("No mail since "); }));
		EXPECT_TRUE(x.waitUntil([&] { return !asks(); }));
		x.waitUntil([] { return false; }, std::chrono::milliseconds(1500));
		EXPECT_FALSE(asks());
		EXPECT_EQ(w.err(), "");
	}
}

TEST(Tray, DockedTheIconFollowsTheLookAndShowsTheList)
{
	XSession x(WindowManager::openbox);
	TrayProcess tray(x);
	TempDir dir;
	writeMailbox(dir.sub("mbox"), "", kT1);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-poll", "1", "-tray"});
	Window icon = 0;
	ASSERT_TRUE(x.waitUntil([&] { return (icon = dockedIcon(x, tray)) != 0; }));
	const Window list = x.findClient("boxwardenList");
	ASSERT_NE(list, 0u);
	// The list starts hidden, and the icon shell stays down: the tray
	// shows the icon.
	EXPECT_FALSE(x.isViewable(list));
	EXPECT_FALSE(x.isViewable(x.findClient("boxwardenIcon")));
	// The no-mail look is mostly its white background; the mail look,
	// mostly its black one.
	EXPECT_TRUE(x.waitUntil([&] { return darkShare(x, icon) >= 0 && darkShare(x, icon) < 0.3; }))
		<< darkShare(x, icon);
	writeMailbox(dir.sub("mbox"), message("a", "s"), kT1 + 10);
	EXPECT_TRUE(x.waitUntil([&] { return darkShare(x, icon) > 0.7; })) << darkShare(x, icon);

	for (bool shown : {true, false}) {
		ASSERT_EQ(x.run("xdotool mousemove --window " + std::to_string(icon) + " 5 5 click 1"), 0);
		EXPECT_TRUE(x.waitUntil([&] { return x.isViewable(list) == shown; })) << shown;
	}
	EXPECT_FALSE(x.isViewable(x.findClient("boxwardenIcon")));
	EXPECT_EQ(x.clients("boxwardenTray").size(), 1u);
	EXPECT_EQ(w.err(), "");
}

TEST(Tray, ATrayThatGoesAndComesBack)
{
	XSession x(WindowManager::openbox);
	auto tray = std::make_unique<TrayProcess>(x);
	TempDir dir;
	writeMailbox(dir.sub("mbox"), message("a", "s"), kT1);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-poll", "1", "-tray"});
	ASSERT_TRUE(x.waitUntil([&] { return x.findClient("boxwardenTray") && x.isViewable(x.findClient("boxwardenTray")); }));

	tray->stop();
	const Window standing = x.waitForShown("boxwardenIcon");
	ASSERT_NE(standing, 0u);
	const string gone = string(BOXWARDEN_BINARY) + ": the system tray has gone; the icon shows in a window of its own\n";
	EXPECT_TRUE(x.waitUntil([&] { return w.err() == gone; })) << w.err();
	// Nothing of it is left: not on the root, not anywhere.
	EXPECT_TRUE(x.waitUntil([&] { return x.clients("boxwardenTray").empty(); }));

	tray = std::make_unique<TrayProcess>(x);
	Window icon = 0;
	EXPECT_TRUE(x.waitUntil([&] { return (icon = dockedIcon(x, *tray)) != 0; }));
	EXPECT_TRUE(x.waitUntil([&] { return !x.isViewable(standing); }));
	x.waitUntil([] { return false; }, std::chrono::milliseconds(1500));
	EXPECT_EQ(x.clients("boxwardenTray").size(), 1u); // docked once
	EXPECT_EQ(w.err(), gone);
	EXPECT_GT(darkShare(x, icon), 0.7); // the mail look, as before
}

TEST(Tray, NoTrayAtAll)
{
	XSession x(WindowManager::openbox);
	TempDir dir;
	writeMailbox(dir.sub("mbox"), "", kT1);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-poll", "1", "-tray"});
	const Window standing = x.waitForShown("boxwardenIcon");
	ASSERT_NE(standing, 0u);
	const string none = string(BOXWARDEN_BINARY) + ": no system tray; the icon shows in a window of its own\n";
	EXPECT_TRUE(x.waitUntil([&] { return w.err() == none; })) << w.err();
	const Window list = x.findClient("boxwardenList");
	EXPECT_FALSE(x.isViewable(list));
	// Its button shows the list, and stays.
	ASSERT_EQ(x.run("xdotool mousemove --window " + std::to_string(standing) + " 20 20 click 1"), 0);
	EXPECT_TRUE(x.waitUntil([&] { return x.isViewable(list); }));
	EXPECT_TRUE(x.isViewable(standing));
	x.waitUntil([] { return false; }, std::chrono::milliseconds(1500));
	EXPECT_EQ(w.err(), none);

	// A tray that comes later takes the icon.
	TrayProcess tray(x);
	EXPECT_TRUE(x.waitUntil([&] { return dockedIcon(x, tray) != 0; }));
	EXPECT_TRUE(x.waitUntil([&] { return !x.isViewable(standing); }));
	EXPECT_EQ(w.err(), none);
}
