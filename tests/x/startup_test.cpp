// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/xsession.h"

using std::string;

namespace {

constexpr long kMtime = 1700000000; // Tue Nov 14 22:13:20 2023 UTC

struct Expected {
	const char *what;
	std::vector<string> args;
	const char *listName; // the list's WM_CLASS name
	int listState;
	bool listShown;
	int iconState; // the icon shell's own state, as a top-level window
	bool iconShown;
};

} // namespace

TEST(Startup, WindowStatesInBothModes)
{
	const Expected cases[] = {
		{"ordinary", {}, "boxwarden", NormalState, true, WithdrawnState, false},
		{"ordinary, iconic", {"-iconic"}, "boxwarden", IconicState, false, WithdrawnState, true},
		{"ordinary, keepIcon", {"-keepIcon"}, "boxwarden", NormalState, true, WithdrawnState, false},
		{"fake icon", {"-fakeIcon"}, "boxwardenList", NormalState, true, WithdrawnState, false},
		{"fake icon, keepIcon", {"-fakeIcon", "-keepIcon"}, "boxwardenList", NormalState, true, NormalState, true},
		{"fake icon, iconic", {"-fakeIcon", "-iconic"}, "boxwardenList", WithdrawnState, false, NormalState, true},
		{"fake icon, iconic, keepIcon", {"-fakeIcon", "-iconic", "-keepIcon"}, "boxwardenList", WithdrawnState,
		 false, NormalState, true},
	};
	for (const Expected &c : cases) {
		SCOPED_TRACE(c.what);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), message("a", "s"), kMtime);
		std::vector<string> args{"-mailbox", "mbox", "-debug", "-poll", "1"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Watcher w(x, dir.path(), args);

		Window list = 0, icon = 0;
		ASSERT_TRUE(x.waitUntil([&] {
			list = x.findClient(c.listName);
			icon = x.findClient("boxwardenIcon");
			return list && icon && (x.isViewable(list) || !c.listShown) && (x.isViewable(icon) || !c.iconShown) &&
			       x.wmState(list) == c.listState;
		})) << "list state " << x.wmState(list) << ", icon shown " << x.isViewable(icon);
		// Give the window manager time to do what it should not.
		ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", 2));
		EXPECT_EQ(x.wmState(list), c.listState);
		EXPECT_EQ(x.isViewable(list), c.listShown);
		EXPECT_EQ(x.isViewable(icon), c.iconShown);
		if (string(c.listName) == "boxwarden")
			EXPECT_EQ(x.wmHints(list).icon_window, icon); // the icon shell serves as the icon
		else
			EXPECT_EQ(x.wmState(icon), c.iconState);
	}
}

TEST(Startup, IconPositionHints)
{
	const struct {
		const char *geometry;
		bool positioned;
		int x, y;
	} cases[] = {
		{nullptr, false, 0, 0},
		{"+0+0", false, 0, 0},
		{"+40+50", true, 40, 50},
		{"+0+7", true, 0, 7},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.geometry ? c.geometry : "none");
		XSession x;
		TempDir dir;
		std::vector<string> args{"-mailbox", "mbox"};
		if (c.geometry)
			args.insert(args.end(), {"-iconGeometry", c.geometry});
		Watcher w(x, dir.path(), args);
		const Window list = x.waitForShown("boxwarden");
		ASSERT_NE(list, 0u);
		XWMHints hints = x.wmHints(list);
		EXPECT_TRUE(hints.flags & IconWindowHint);
		EXPECT_EQ(hints.icon_window, x.findClient("boxwardenIcon"));
		EXPECT_EQ(bool(hints.flags & IconPositionHint), c.positioned);
		if (c.positioned) {
			EXPECT_EQ(hints.icon_x, c.x);
			EXPECT_EQ(hints.icon_y, c.y);
		}
	}
}
