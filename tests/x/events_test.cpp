// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

using std::string;
using std::vector;

namespace {

constexpr long kT1 = 1700000000;

struct FakeIcon {
	XSession x;
	TempDir dir;
	std::unique_ptr<Watcher> w;
	Window list = 0, icon = 0;

	explicit FakeIcon(vector<string> more)
	{
		writeMailbox(dir.sub("mbox"), message("a", "s"), kT1);
		vector<string> args{"-mailbox", "mbox", "-debug", "-poll", "1", "-fakeIcon"};
		args.insert(args.end(), more.begin(), more.end());
		w = std::make_unique<Watcher>(x, dir.path(), args);
		x.waitUntil([&] { return (list = x.findClient("boxwardenList")) && (icon = x.findClient("boxwardenIcon")); });
	}

	// Waits until the list and the icon are shown or not, as given.
	bool shows(bool listShown, bool iconShown)
	{
		return x.waitUntil([&] { return x.isViewable(list) == listShown && x.isViewable(icon) == iconShown; });
	}
	void minimize(Window window) { ASSERT_EQ(x.run("xdotool windowminimize " + std::to_string(window)), 0); }
	void press() { ASSERT_EQ(x.run("xdotool mousemove --window " + std::to_string(icon) + " 20 20 click 1"), 0); }
};

} // namespace

TEST(FakeIcon, ListAndIconTakeTurns)
{
	FakeIcon f({});
	ASSERT_TRUE(f.shows(true, false));
	ASSERT_TRUE(f.w->waitForOutput("MapNotify\n"));

	f.minimize(f.list); // the list goes, the icon comes
	ASSERT_TRUE(f.shows(false, true));
	EXPECT_TRUE(f.w->waitForOutput("UnmapNotify\nrescanMailbox 0\n"));
	EXPECT_EQ(f.x.wmState(f.list), WithdrawnState);

	f.press(); // and back
	ASSERT_TRUE(f.shows(true, false));
	EXPECT_TRUE(f.w->waitForOutput("iconCallback: 0\n"));
	EXPECT_TRUE(f.w->waitForOutput("MapNotify\nrescanMailbox 0\n", 2));

	f.minimize(f.list);
	ASSERT_TRUE(f.shows(false, true));
	f.minimize(f.icon); // iconifying the icon brings the list back
	ASSERT_TRUE(f.shows(true, false));
	EXPECT_TRUE(f.w->waitForOutput("MapNotify\nrescanMailbox 0\n", 3));
	EXPECT_EQ(f.x.bells().size(), 1u); // the start only
}

TEST(FakeIcon, KeptIconTogglesTheList)
{
	FakeIcon f({"-keepIcon"});
	ASSERT_TRUE(f.shows(true, true));
	ASSERT_TRUE(f.w->waitForOutput("MapNotify\n"));

	f.press();
	ASSERT_TRUE(f.shows(false, true));
	EXPECT_TRUE(f.w->waitForOutput("iconCallback: 1\n"));
	EXPECT_TRUE(f.w->waitForOutput("UnmapNotify\nrescanMailbox 0\n"));

	f.press();
	ASSERT_TRUE(f.shows(true, true));
	EXPECT_TRUE(f.w->waitForOutput("iconCallback: 0\n"));
	EXPECT_TRUE(f.w->waitForOutput("MapNotify\nrescanMailbox 0\n", 2));

	f.minimize(f.list);
	ASSERT_TRUE(f.shows(false, true));
	EXPECT_EQ(f.x.bells().size(), 1u);
}

TEST(FakeIcon, StartedIconic)
{
	FakeIcon f({"-iconic"});
	ASSERT_TRUE(f.shows(false, true));
	ASSERT_TRUE(f.w->waitForOutput("rescanMailbox 1\n"));
	EXPECT_EQ(occurrences(f.w->out(), "MapNotify"), 0);
	f.press();
	ASSERT_TRUE(f.shows(true, false));
	EXPECT_TRUE(f.w->waitForOutput("MapNotify\n"));
}
