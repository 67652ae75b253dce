// Maildir mailboxes and instant notice on a real display: the bell, the
// title and the icon as mail is delivered by mblaze and read.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using std::string;
using std::vector;
namespace fs = std::filesystem;

namespace {

constexpr long kT1 = 1700000000; // Tue Nov 14 22:13:20 2023 UTC
constexpr long kT2 = kT1 + 60;
constexpr long kT3 = kT1 + 120;
const string kTime1 = "Tue Nov 14 22:13:20 2023";
const string kTime2 = "Tue Nov 14 22:14:20 2023";
const string kTime3 = "Tue Nov 14 22:15:20 2023";

string makeMaildir(const TempDir &dir)
{
	const string md = dir.sub("Maildir");
	for (const char *sub : {"cur", "new", "tmp"})
		fs::create_directories(md + "/" + sub);
	return md;
}

void setTimes(const string &md, long newTime, long curTime)
{
	setMtime(md + "/new", newTime);
	setMtime(md + "/cur", curTime);
}

string deliver(const string &md, const string &from)
{
	return "printf 'From: " + from + " <x@y>\\nSubject: hi\\n\\nbody\\n' | mdeliver " + md;
}

} // namespace

TEST(MaildirX, DeliveredThenRead)
{
	XSession x;
	TempDir dir;
	const string md = makeMaildir(dir);
	setTimes(md, kT1, kT1);
	Watcher w(x, dir.path(), {"-mailbox", "Maildir", "-debug", "-poll", "1", "-fakeIcon", "-keepIcon"});
	const Window list = x.waitForShown("boxwardenList");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "No mail since " + kTime1; }));
	ASSERT_TRUE(x.waitUntil([&] { return iconBackground(x) == kWhite; }));

	// A delivery changes new: the next poll rings and titles with its time.
	{
		const HeldStill held = w.hold();
		ASSERT_EQ(x.run(deliver(md, "Ann") + " && " + deliver(md, "Bob")), 0);
		setTimes(md, kT2, kT1);
	}
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "Mail at " + kTime2; }));
	EXPECT_TRUE(w.waitForOutput("Scanned, 1 2 " + kTime2));
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kBlack; }));
	EXPECT_EQ(x.bells().size(), 1u);

	// Read: moved to cur and marked seen.
	{
		const HeldStill held = w.hold();
		ASSERT_EQ(x.run("minc " + md + " >/dev/null && mflag -S " + md + "/cur/* >/dev/null"), 0);
		setTimes(md, kT2, kT3);
	}
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list) == "No mail since " + kTime3; }));
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kWhite; }));
	x.waitUntil([] { return false; }, std::chrono::milliseconds(1500));
	EXPECT_EQ(x.bells().size(), 1u);
	EXPECT_EQ(w.err(), "");
}

// A delivery and its reading within one second: the second change, which
// the folders' times in seconds do not show, is seen too.  Hiding and
// showing the list makes the watcher look at once.
TEST(MaildirX, DeliveredAndReadWithinASecond)
{
	XSession x;
	TempDir dir;
	const string md = makeMaildir(dir);
	Watcher w(x, dir.path(), {"-mailbox", "Maildir", "-debug", "-poll", "3600", "-fakeIcon", "-keepIcon"});
	const Window list = x.waitForShown("boxwardenList");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list).starts_with("No mail since "); }));
	waitForNextSecond(); // so that both changes fall within it
	ASSERT_EQ(x.run(deliver(md, "Ann") + " && xdotool windowminimize " + std::to_string(list)), 0);
	ASSERT_TRUE(x.waitUntil([&] { return x.wmName(list).starts_with("Mail at "); })) << w.out();
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kBlack; }));
	ASSERT_EQ(x.run("minc " + md + " >/dev/null && mflag -S " + md + "/cur/* >/dev/null && xdotool windowmap " +
	                std::to_string(list)),
	          0);
	EXPECT_TRUE(x.waitUntil([&] { return x.wmName(list).starts_with("No mail since "); })) << w.out();
	EXPECT_TRUE(x.waitUntil([&] { return iconBackground(x) == kWhite; }));
	EXPECT_EQ(w.err(), "");
}

namespace {

// One kind of mailbox and what a delivery into it is.
struct Box {
	const char *what;
	string mailbox;
	std::function<void(const TempDir &, int)> deliver; // the n-th, at time kT1 + n
};

} // namespace

TEST(MaildirX, InstantNoticeRingsOncePerDelivery)
{
	const Box boxes[] = {
		{"mbox file", "mbox",
		 [](const TempDir &dir, int n) {
			 // Written in three steps, as a delivery agent may.
			 for (const char *part : {"From a Mon Dec  7 10:00:00 2026\n", "From: a\nSubject: s\n", "\nbody\n\n"}) {
				 std::ofstream(dir.sub("mbox"), std::ios::app) << part;
				 std::this_thread::sleep_for(std::chrono::milliseconds(50));
			 }
			 setMtime(dir.sub("mbox"), kT1 + n);
		 }},
		{"MH folder", "folder",
		 [](const TempDir &dir, int n) {
			 dir.write("folder/" + std::to_string(n), "From: a\nSubject: s\n\nbody\n");
			 setMtime(dir.sub("folder"), kT1 + n);
		 }},
		{"Maildir", "Maildir",
		 [](const TempDir &dir, int n) {
			 ASSERT_EQ(std::system(deliver(dir.sub("Maildir"), "a").c_str()), 0);
			 setTimes(dir.sub("Maildir"), kT1 + n, kT1);
		 }},
	};
	for (const Box &b : boxes) {
		SCOPED_TRACE(b.what);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), "", kT1 - 10);
		fs::create_directories(dir.sub("folder"));
		makeMaildir(dir);
		Watcher w(x, dir.path(), {"-mailbox", b.mailbox, "-debug", "-instant", "-poll", "3600"});
		ASSERT_NE(x.waitForShown("boxwarden"), 0u);
		ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n"));
		for (int n = 1; n <= 3; ++n) {
			b.deliver(dir, n);
			const auto start = Clock::now();
			ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == static_cast<std::size_t>(n); }))
				<< "delivery " << n;
			std::printf("%s: delivery %d rang after %lld ms\n", b.what, n,
			            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
			                                           Clock::now() - start).count()));
			// And only once.
			x.waitUntil([] { return false; }, std::chrono::milliseconds(600));
			EXPECT_EQ(x.bells().size(), static_cast<std::size_t>(n));
		}
		EXPECT_EQ(w.err(), "");
	}
}

TEST(MaildirX, AMailboxFileDeletedAndCreatedAgainIsStillWatched)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), message("a", "s"), kT1);
	Watcher w(x, dir.path(), {"-mailbox", "mbox", "-debug", "-instant", "-poll", "3600"});
	ASSERT_NE(x.waitForShown("boxwarden"), 0u);
	ASSERT_TRUE(x.waitUntil([&] { return x.bells().size() == 1; })); // at start
	// The list's mapping is looked at first, so that it is the removal's
	// rescan that finds the file gone.
	ASSERT_TRUE(w.waitForOutput("No change, 0 "));
	fs::remove(dir.sub("mbox"));
	ASSERT_TRUE(w.waitForOutput("No mail file, 1 1\n"));
	writeMailbox(dir.sub("mbox"), message("b", "s"), kT2);
	EXPECT_TRUE(x.waitUntil([&] { return x.bells().size() == 2; }));
	writeMailbox(dir.sub("mbox"), message("c", "s"), kT3); // renamed into place
	EXPECT_TRUE(x.waitUntil([&] { return x.bells().size() == 3; }));
	EXPECT_EQ(w.err(), "");
}
