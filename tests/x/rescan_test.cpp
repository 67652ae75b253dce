// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

using std::string;
using std::vector;

namespace {

constexpr long kT1 = 1700000000; // Tue Nov 14 22:13:20 2023 UTC
constexpr long kT2 = kT1 + 60;   // Tue Nov 14 22:14:20 2023
constexpr long kT3 = kT1 + 120;  // Tue Nov 14 22:15:20 2023

string messages(int n, const string &prefix = "m", bool read = false)
{
	string mbox;
	for (int i = 1; i <= n; ++i)
		mbox += message(prefix + std::to_string(i), "subject " + std::to_string(i), read);
	return mbox;
}

vector<string> with(vector<string> args, const vector<string> &more)
{
	args.insert(args.end(), more.begin(), more.end());
	return args;
}

// The volume an XBell at percent rings at, as the server reports it: the
// percent goes from the keyboard's base volume (50 on a new server)
// towards 100 or towards 0.
int rung(int percent)
{
	constexpr int base = 50;
	return percent >= 0 ? base - base * percent / 100 + percent : base + base * percent / 100;
}

const vector<string> kPolled{"-mailbox", "mbox", "-debug", "-poll", "1"};

} // namespace

TEST(Rescan, BellRingsWhenAPollFindsMail)
{
	const struct {
		const char *what;
		vector<string> args;
		string mbox;
		vector<int> percents; // of each XBell
		string err;
	} cases[] = {
		{"new mail", {}, messages(2), {0}, ""},
		{"volume from a resource", {"-xrm", "*bellVolume: 50"}, messages(2), {50}, ""},
		{"loudest", {"-xrm", "*bellVolume: 100"}, messages(1), {100}, ""},
		{"quietest", {"-xrm", "*bellVolume: -100"}, messages(1), {-100}, ""},
		{"out of range", {"-xrm", "*bellVolume: 101"}, messages(1), {0}, "bogus value 101 for bellVolume\n"},
		{"silent", {"-silent"}, messages(2), {}, ""},
		{"only read mail", {}, messages(2, "m", true), {}, ""},
		{"all mail, not read yet", {"-allmail"}, messages(2, "m", true), {0}, ""},
		{"MH folder", {"-mailbox", "folder"}, "", {0}, ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), c.mbox, kT1);
		std::filesystem::create_directory(dir.sub("folder"));
		std::ofstream(dir.sub("folder/1")) << "From: a\n";
		Watcher w(x, dir.path(), with(kPolled, c.args));
		// One more poll of an unchanged mailbox rings nothing.
		ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", 2));
		x.waitUntil([] { return false; }, std::chrono::milliseconds(100));
		vector<int> volumes;
		for (int percent : c.percents)
			volumes.push_back(rung(percent));
		EXPECT_EQ(x.bells(), volumes);
		if (!c.err.empty())
			EXPECT_EQ(w.err(), string(BOXWARDEN_BINARY) + ": " + c.err);
		else
			EXPECT_EQ(w.err(), "");
	}
}

TEST(Rescan, MailboxAppearsGrowsEmptiesAndDisappears)
{
	XSession x;
	TempDir dir;
	const string mbox = dir.sub("mbox");
	Watcher w(x, dir.path(), with(kPolled, {"-fakeIcon", "-keepIcon"}));
	const Window list = x.waitForShown("boxwardenList");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == kWhite; }));
	ASSERT_TRUE(w.waitForOutput("No mail file, 1 0\n", 2));
	EXPECT_EQ(x.wmName(list), "boxwardenList"); // no title is ever set without a mailbox
	EXPECT_TRUE(x.bells().empty());

	writeMailbox(mbox, messages(1), kT1);
	ASSERT_TRUE(w.waitForOutput("Title -> <Mail at Tue Nov 14 22:13:20 2023>\n"));
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "Mail at Tue Nov 14 22:13:20 2023"; }));
	ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == kBlack; })); // the mail look
	EXPECT_EQ(x.bells(), vector<int>{rung(0)});
	const int oneMessage = listView(x, list).labelHeight;

	writeMailbox(mbox, messages(30), kT2);
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "Mail at Tue Nov 14 22:14:20 2023"; }));
	EXPECT_EQ(x.bells(), (vector<int>{rung(0), rung(0)}));
	EXPECT_TRUE(x.waitUntil([&] { return listView(x, list).labelHeight > oneMessage; }));

	writeMailbox(mbox, "", kT3);
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "No mail since Tue Nov 14 22:15:20 2023"; }));
	EXPECT_TRUE(w.waitForOutput("Empty, 1 Tue Nov 14 22:15:20 2023\n"));
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kWhite; }));
	EXPECT_EQ(x.bells().size(), 2u);

	// Gone while the icon shows no mail: polls change nothing, until the
	// list is unmapped and the rescan that follows takes it in.
	std::filesystem::remove(mbox);
	ASSERT_TRUE(w.waitForOutput("No mail file, 1 0\n", 4));
	EXPECT_EQ(x.wmName(list), "No mail since Tue Nov 14 22:15:20 2023");
	ASSERT_EQ(x.run("xdotool windowminimize " + std::to_string(list)), 0);
	ASSERT_TRUE(w.waitForOutput("No mail file, 0 0\n"));
	EXPECT_TRUE(x.waitUntil([&] { return x.wmName(list) == "No mail"; }));
	EXPECT_EQ(x.bells().size(), 2u);
}

TEST(Rescan, IconLooks)
{
	const struct {
		const char *what;
		vector<string> args;
		unsigned long noMail, mail; // backgrounds
	} cases[] = {
		{"colours swapped by default", {}, kWhite, kBlack},
		{"a foreground for both", {"-xrm", "*Foreground: red"}, kWhite, 0xff0000},
		{"mail colours of their own", {"-xrm", "*iconMailBackground: blue", "-xrm", "*iconBackground: green"},
		 0x00ff00, 0x0000ff},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), messages(1, "m", true), kT1);
		// Iconified, so that the window manager shows the icon.
		Watcher w(x, dir.path(), with(kPolled, with({"-iconic"}, c.args)));
		ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == c.noMail; })) << std::hex << iconBackground(x);
		// The background shows as soon as the window maps; the bitmap once
		// the watcher has drawn it.
		vector<unsigned long> noMailImage;
		ASSERT_TRUE(x.waitUntil([&] {
			noMailImage = x.image(iconWidget(x));
			return std::count(noMailImage.begin(), noMailImage.end(), c.noMail) <
			       static_cast<std::ptrdiff_t>(noMailImage.size());
		}));

		writeMailbox(dir.sub("mbox"), messages(1, "m", true) + messages(1), kT2);
		ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == c.mail; })) << std::hex << iconBackground(x);
		EXPECT_NE(x.image(iconWidget(x)), noMailImage); // another bitmap too

		writeMailbox(dir.sub("mbox"), messages(1, "m", true), kT3);
		ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == c.noMail; })) << std::hex << iconBackground(x);
		EXPECT_TRUE(x.waitUntil([&] { return x.image(iconWidget(x)) == noMailImage; }));
	}
}

TEST(Rescan, ListShowsTheNewestLines)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), messages(2), kT1);
	Watcher w(x, dir.path(), kPolled);
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(w.waitForOutput("MapNotify\n"));
	ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", 2));
	EXPECT_FALSE(listView(x, list).scrollbar); // two lines fit

	// Lines of the fixed font are 13 pixels high, and the label has a
	// margin of 2 above and below.
	for (int n : {40, 60}) {
		SCOPED_TRACE(n);
		writeMailbox(dir.sub("mbox"), messages(n), kT1 + n);
		ASSERT_TRUE(x.waitUntil([&] { return listView(x, list).labelHeight == 13 * n + 4; }))
			<< listView(x, list).labelHeight;
		ASSERT_TRUE(x.waitUntil([&] {
			ListView view = listView(x, list);
			return view.scrollbar && view.atEnd();
		})) << listView(x, list).labelY;
	}
}

TEST(Rescan, AllMailIsReadOnlyWhenTheListShows)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), messages(30, "m", true), kT1);
	Watcher w(x, dir.path(), with(kPolled, {"-allmail", "-iconic"}));
	ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", 2));
	EXPECT_EQ(occurrences(w.out(), "Changed but not scanned, 1 0 6553f100 0 Tue Nov 14 22:13:20 2023\n"), 1);
	EXPECT_EQ(occurrences(w.out(), "Scanned"), 0);
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kBlack; })); // counted as mail
	EXPECT_EQ(x.bells().size(), 1u);

	Window list = x.findClient("boxwarden");
	ASSERT_EQ(x.run("xdotool windowmap " + std::to_string(list)), 0);
	ASSERT_TRUE(w.waitForOutput("Scanned, 0 30 Tue Nov 14 22:13:20 2023\n"));
	EXPECT_TRUE(x.waitUntil([&] {
		ListView view = listView(x, list);
		return view.labelHeight == 30 * 13 + 4 && view.atEnd();
	}));
	EXPECT_EQ(x.wmName(list), "Mail at Tue Nov 14 22:13:20 2023"); // not reworded
	EXPECT_EQ(x.bells().size(), 1u);
}

TEST(Rescan, MapAndUnmapRescansNeverRing)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), messages(2), kT1);
	Watcher w(x, dir.path(), kPolled);
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(w.waitForOutput("MapNotify\nrescanMailbox 0\n"));
	for (int round = 1; round <= 2; ++round) {
		ASSERT_EQ(x.run("xdotool windowminimize " + std::to_string(list)), 0);
		ASSERT_TRUE(w.waitForOutput("UnmapNotify\nrescanMailbox 0\n", round));
		ASSERT_EQ(x.run("xdotool windowmap " + std::to_string(list)), 0);
		ASSERT_TRUE(w.waitForOutput("MapNotify\nrescanMailbox 0\n", round + 1));
	}
	writeMailbox(dir.sub("mbox"), messages(3), kT2);
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 3"));
	// The start and the change, nothing for the maps.
	EXPECT_TRUE(x.waitUntil([&] { return x.bells().size() >= 2; }));
	EXPECT_EQ(x.bells().size(), 2u);
}

TEST(Rescan, PollInterval)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), messages(1), kT1);
	{
		Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-poll", "0"});
		EXPECT_TRUE(w.waitForOutput("rescanMailbox 1\n", 50)); // due at once, again and again
	}
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-poll", "-1"});
	ASSERT_TRUE(w.waitForOutput("MapNotify\n"));
	x.waitUntil([] { return false; }, std::chrono::milliseconds(2500));
	EXPECT_EQ(occurrences(w.out(), "rescanMailbox 1\n"), 1); // no poll after the first
	EXPECT_TRUE(w.running());
}

// A mailbox of 200 MB in messages of 5 MB: a delivery is read alone (the
// last message again, and the new one), and a mail reader's rewrite of the
// file in place, with Status: lines added to all but the newest, is read
// whole.  The piece traces are left out on the way, the rest kept.
TEST(Rescan, LargeMailboxReadsOnlyWhatWasAppended)
{
	constexpr int kMessages = 40;
	string body;
	while (body.size() < 5 * 1024 * 1024)
		body += string(158, 'x') + "\n";
	auto bigMessage = [&](int i, bool read) {
		string m = message("m" + std::to_string(i), "subject " + std::to_string(i), read);
		return m.insert(m.size() - 1, body);
	};
	XSession x;
	TempDir dir;
	const string mbox = dir.sub("mbox");
	{
		std::ofstream out(mbox, std::ios::binary);
		for (int i = 1; i <= kMessages; ++i)
			out << bigMessage(i, false);
	}
	setMtime(mbox, kT1);
	const auto lastStart = std::filesystem::file_size(mbox) - bigMessage(kMessages, false).size();
	Watcher w(x, dir.path(), kPolled, kWithoutPieceTraces);
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(x.waitUntil([&] { return occurrences(w.out(), "Scanned, 1 40 ") == 1; }, std::chrono::minutes(2)));
	EXPECT_EQ(occurrences(w.out(), "Read whole\n"), 1);
	ASSERT_TRUE(x.waitUntil([&] { return listView(x, list).labelHeight == 13 * kMessages + 4; }));
	EXPECT_EQ(x.bells().size(), 1u);

	{
		const HeldStill held = w.hold();
		std::ofstream(mbox, std::ios::binary | std::ios::app) << message("newest", "the newest one");
		setMtime(mbox, kT2);
	}
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 41 Tue Nov 14 22:14:20 2023\n"));
	const string out = w.out();
	EXPECT_EQ(occurrences(out, "Read incremental, from " + std::to_string(lastStart) + "\n"), 1) << out;
	EXPECT_EQ(occurrences(out, "Read whole\n"), 1);
	EXPECT_EQ(occurrences(out, "40: newest '' <<the newest one>>\n"), 1);
	EXPECT_EQ(occurrences(out, "39: m40 '' <<subject 40>>\n"), 2); // the last message, read again
	EXPECT_EQ(occurrences(out, "38: m39 '' <<subject 39>>\n"), 1);
	ASSERT_TRUE(x.waitUntil([&] {
		ListView view = listView(x, list);
		return view.labelHeight == 13 * (kMessages + 1) + 4 && view.atEnd();
	}));
	EXPECT_EQ(x.bells().size(), 2u);

	// Over the same file, which grows; the watcher is held meanwhile, so
	// that no poll sees the file half written.
	{
		const HeldStill held = w.hold();
		{
			std::fstream rewrite(mbox, std::ios::binary | std::ios::in | std::ios::out);
			for (int i = 1; i <= kMessages; ++i)
				rewrite << bigMessage(i, true);
			rewrite << message("newest", "the newest one");
		}
		setMtime(mbox, kT3);
	}
	ASSERT_TRUE(
		x.waitUntil([&] { return occurrences(w.out(), "Scanned, 1 1 Tue Nov 14 22:15:20 2023\n") == 1; },
	                std::chrono::minutes(2)));
	EXPECT_EQ(occurrences(w.out(), "Read whole\n"), 2);
	// The list shows the newest message alone, as it shows a mailbox of it.
	const vector<unsigned long> shown = stableLabelImage(x, list);
	XSession other;
	TempDir alone;
	writeMailbox(alone.sub("mbox"), message("newest", "the newest one"), kT3);
	Watcher reference(other, alone.path(), kPolled);
	const Window referenceList = other.waitForShown("boxwarden");
	ASSERT_TRUE(reference.waitForOutput("Scanned, 1 1 "));
	EXPECT_EQ(shown, stableLabelImage(other, referenceList));
}
