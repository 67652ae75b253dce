// Desktop notifications (-notify) on a real display, through a session bus
// of the test's own, to dunst, with dbus-monitor reading every call.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/imap/dovecot.h"
#include "tests/x/sessionbus.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <memory>
#include <optional>
#include <thread>

using std::string;
using std::vector;

namespace {

constexpr long kT1 = 1700000000;

string both(const vector<string> &messages)
{
	string all;
	for (const string &m : messages)
		all += m;
	return all;
}

// A watcher with -notify on a bus with dunst (unless told otherwise), its
// mailbox "mbox" in dir.
struct Notified {
	XSession x;
	SessionBus bus;
	std::optional<Dunst> dunst;
	BusMonitor monitor{bus};
	TempDir dir;
	std::unique_ptr<Watcher> w;
	string mbox;
	long mtime = kT1;

	// markup: whether the server reads markup in a body.
	explicit Notified(bool server = true, bool markup = true)
	{
		if (server)
			dunst.emplace(x, bus, markup);
	}

	// Started on the mailbox, its first poll done.
	bool watch(const string &bytes, const vector<string> &args = {}, const vector<string> &env = {},
	           bool notify = true)
	{
		mbox = bytes;
		writeMailbox(dir.sub("mbox"), mbox, mtime);
		vector<string> all{"-mailbox", "mbox", "-poll", "1", "-debug"};
		if (notify)
			all.push_back("-notify");
		all.insert(all.end(), args.begin(), args.end());
		vector<string> prefix = bus.environment();
		prefix.insert(prefix.end(), env.begin(), env.end());
		w = std::make_unique<Watcher>(x, dir.path(), all, prefix);
		return w->waitForOutput("rescanMailbox 1\n", 2);
	}

	// The mailbox made bytes, at a later time; the poll that read it done.
	bool rewrite(const string &bytes)
	{
		const int polls = occurrences(w->out(), "rescanMailbox 1\n");
		mbox = bytes;
		writeMailbox(dir.sub("mbox"), mbox, ++mtime);
		return w->waitForOutput("rescanMailbox 1\n", polls + 2);
	}
	bool deliver(const string &messages) { return rewrite(mbox + messages); }

	int notified() { return occurrences(w->out(), "Notify: "); }
};

vector<string> lines(const string &prefix, int from, int to)
{
	vector<string> out;
	for (int i = from; i <= to; ++i)
		out.push_back(message(prefix + std::to_string(i), "note " + std::to_string(i)));
	return out;
}

} // namespace

// What one notification says, and that a line already listed is not news.
// The first is sent at start-up, where the bell rings for the message
// already there; each later one replaces the one before.
TEST(Notify, WhatItSays)
{
	const struct {
		const char *what;
		string delivered, summary, body;
		bool markup = true;
	} cases[] = {
		{"one", message("Ann <ann@x>", "lunch?"), "1 new message", "Ann: lunch?"},
		{"three in one poll", both({message("a1", "s1"), message("a2", "s2"), message("a3", "s3")}),
		 "3 new messages", "a1: s1\na2: s2\na3: s3"},
		{"eight: the newest five", both(lines("b", 1, 8)), "8 new messages",
		 "b4: note 4\nb5: note 5\nb6: note 6\nb7: note 7\nb8: note 8\nand 3 more"},
		{"markup is escaped", message("Eve <eve@x>", "<b>x</b> & <a href=\"http://e.x\">y</a>"), "1 new message",
		 "Eve: &lt;b&gt;x&lt;/b&gt; &amp; &lt;a href=\"http://e.x\"&gt;y&lt;/a&gt;"},
		{"to a server that reads no markup", message("Eve <eve@x>", "<b>x</b> & y"), "1 new message",
		 "Eve: <b>x</b> & y", false},
		{"a line like one listed", message("Zed <zed@x>", "already here"), "1 new message", "Zed: already here"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		Notified n(true, c.markup);
		ASSERT_TRUE(n.watch(message("Zed <zed@x>", "already here")));
		ASSERT_TRUE(n.monitor.waitForCalls(1)) << n.w->err();
		ASSERT_TRUE(n.deliver(c.delivered));
		ASSERT_TRUE(n.monitor.waitForCalls(2));
		const vector<NotifyCall> calls = n.monitor.calls();
		ASSERT_EQ(calls.size(), 2u);
		EXPECT_EQ(calls[0].summary, "1 new message");
		EXPECT_EQ(calls[0].body, "Zed: already here");
		EXPECT_EQ(calls[0].replaces, 0u);
		EXPECT_EQ(calls[1].app, "Boxwarden");
		EXPECT_EQ(calls[1].summary, c.summary);
		EXPECT_EQ(calls[1].body, c.body);
		const vector<unsigned long> ids = n.monitor.answers();
		ASSERT_EQ(ids.size(), 2u);
		EXPECT_NE(ids[0], 0u);
		EXPECT_EQ(calls[1].replaces, ids[0]);
		EXPECT_EQ(ids[1], ids[0]);
		EXPECT_EQ(n.x.bells().size(), 2u);
		EXPECT_EQ(n.w->err(), "");
		// dunst shows one: the second in place of the first.
		const string history = n.dunst->history();
		EXPECT_EQ(occurrences(history, "\"appname\""), 1) << history;
		EXPECT_NE(history.find("\"data\" : \"" + c.summary + "\""), string::npos) << history;
	}
}

// A change that brings nothing new sends nothing, though the bell rings
// for the mail still there; lines are counted, so a second copy of a
// message is news; a message read and another come in one poll is one new
// message.
TEST(Notify, OnlyWhatIsNew)
{
	Notified n;
	const string ann = message("Ann <ann@x>", "one"), read = message("Ann <ann@x>", "one", true);
	const string bob = message("Bob <bob@x>", "two");
	ASSERT_TRUE(n.watch(ann + bob));
	ASSERT_TRUE(n.monitor.waitForCalls(1));
	EXPECT_EQ(n.monitor.calls()[0].body, "Ann: one\nBob: two");

	ASSERT_TRUE(n.rewrite(read + bob)); // read elsewhere
	ASSERT_TRUE(n.rewrite(read + bob + bob));
	ASSERT_TRUE(n.monitor.waitForCalls(2));
	EXPECT_EQ(n.monitor.calls()[1].body, "Bob: two");
	ASSERT_TRUE(n.rewrite(read + bob)); // the copy deleted
	EXPECT_EQ(n.x.bells().size(), 4u);
	EXPECT_EQ(n.notified(), 2);

	ASSERT_TRUE(n.rewrite(read + message("Cy <cy@x>", "three")));
	ASSERT_TRUE(n.monitor.waitForCalls(3));
	EXPECT_EQ(n.monitor.calls()[2].summary, "1 new message");
	EXPECT_EQ(n.monitor.calls()[2].body, "Cy: three");
}

// Without -notify the watcher does not touch the bus.
TEST(Notify, OffUnlessAskedFor)
{
	Notified n;
	ASSERT_TRUE(n.watch("", {}, {}, false));
	ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "hello")));
	EXPECT_EQ(n.x.bells().size(), 1u);
	EXPECT_EQ(n.bus.run("dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
	                    "org.freedesktop.DBus.ListNames | grep -c '\":'"),
	          "2\n"); // dunst and dbus-send itself; a monitor holds no name
	EXPECT_EQ(n.monitor.calls().size(), 0u);
}

// Text in UTF-8 always: the international list's own, or the list's bytes
// converted from the font's charset (ISO 8859-1), where a word in another
// charset stays as the list shows it.
TEST(Notify, InternationalText)
{
	const string german = produce({"encode_header.py", "word", "iso-8859-1", "q", "Grüße aus Köln"});
	const string zoe = produce({"encode_header.py", "word", "iso-8859-1", "q", "Zoë Müller"});
	const string japanese = produce({"encode_header.py", "word", "utf-8", "b", "会議の資料"});
	const string taro = produce({"encode_header.py", "word", "utf-8", "b", "山田"});
	const string mail = message(zoe + " <zoe@x>", german) + message(taro + " <taro@x>", japanese);
	const struct {
		const char *what;
		vector<string> args, env;
		string body;
	} cases[] = {
		{"the international list", {"-utf8"}, {"LC_ALL=C.UTF-8"}, "Zoë Müller: Grüße aus Köln\n山田: 会議の資料"},
		{"the font's charset", {}, {}, "Zoë Müller: Grüße aus Köln\n" + taro + ": " + japanese},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		Notified n;
		ASSERT_TRUE(n.watch("", c.args, c.env));
		ASSERT_TRUE(n.deliver(mail));
		ASSERT_TRUE(n.monitor.waitForCalls(1));
		EXPECT_EQ(n.monitor.calls()[0].summary, "2 new messages");
		EXPECT_EQ(n.monitor.calls()[0].body, c.body);
	}
}

// The hints, and the mail look's picture in the look's own colours.
TEST(Notify, HintsAndPicture)
{
	const vector<unsigned long> look = bitmapAsArgb("letters", 0xff0000, 0x0000ff);
	ASSERT_EQ(look.size(), 48 * 48u);
	vector<unsigned char> rgb;
	for (unsigned long pixel : look)
		rgb.insert(rgb.end(), {static_cast<unsigned char>(pixel >> 16), static_cast<unsigned char>(pixel >> 8),
		                       static_cast<unsigned char>(pixel)});
	Notified n;
	ASSERT_TRUE(n.watch("", {"-xrm", "*iconMailForeground: red", "-xrm", "*iconMailBackground: blue"}));
	ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "hello")));
	ASSERT_TRUE(n.monitor.waitForCalls(1));
	NotifyCall call = n.monitor.calls()[0];
	EXPECT_EQ(call.icon, "");
	EXPECT_EQ(call.actions, (vector<string>{"default", "Show"}));
	EXPECT_EQ(call.hints["category"], "email.arrived");
	EXPECT_EQ(call.hints["desktop-entry"], "boxwarden");
	EXPECT_EQ(call.hints["urgency"], "1");
	EXPECT_EQ(call.imageHead, (vector<long>{48, 48, 144, 0, 8, 3}));
	EXPECT_TRUE(call.image == rgb);
	EXPECT_EQ(call.expire, -1);
}

// "Show" brings the list up in every mode, as a click on the icon does;
// another program's action does nothing to it.
TEST(Notify, ShowBringsTheList)
{
	const struct {
		const char *what;
		vector<string> args;
		string list;
		bool tray;
	} cases[] = {
		{"plain, iconified", {}, "boxwarden", false},
		{"fake icon", {"-fakeIcon", "-iconic"}, "boxwardenList", false},
		{"tray", {"-tray"}, "boxwardenList", true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		Notified n;
		std::optional<TrayProcess> tray;
		if (c.tray)
			tray.emplace(n.x);
		ASSERT_TRUE(n.watch("", c.args));
		Window list = 0;
		if (c.args.empty()) {
			list = n.x.waitForShown(c.list);
			ASSERT_NE(list, 0u);
			XIconifyWindow(n.x.display(), list, DefaultScreen(n.x.display()));
			XFlush(n.x.display());
			ASSERT_TRUE(n.x.waitUntil([&] { return n.x.wmState(list) == IconicState; }));
		} else {
			ASSERT_TRUE(n.x.waitUntil([&] { return n.x.findClient(c.list) != 0; }));
			list = n.x.findClient(c.list);
		}
		ASSERT_FALSE(n.x.isViewable(list));
		ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "hello")));
		ASSERT_TRUE(n.monitor.waitForCalls(1));

		// Another program's action, and a stranger's forged signal with
		// our id: neither is ours.
		BusClient another(n.bus);
		ASSERT_NE(another.notifyAsAnother(), 0u);
		n.dunst->invokeAction();
		ASSERT_FALSE(n.monitor.answers().empty());
		another.forgeAction(static_cast<unsigned>(n.monitor.answers()[0]));
		another.forgeActionTo(n.w->pid(), static_cast<unsigned>(n.monitor.answers()[0]));
		std::this_thread::sleep_for(std::chrono::milliseconds(500));
		EXPECT_FALSE(n.x.isViewable(list));

		n.bus.run("dunstctl close"); // the other program's
		n.dunst->invokeAction();     // ours
		EXPECT_TRUE(n.x.waitUntil([&] { return n.x.isViewable(list); })) << n.w->out();
	}
}

// No bus, or no server on it: one line, and the bell and the rest as
// without -notify; once the bus and a server are there, the next new mail
// is told.
TEST(Notify, NoServerThenOne)
{
	const struct {
		const char *what;
		bool bus;
		string line;
	} cases[] = {
		{"no bus", false, "cannot reach the session bus (No such file or directory)"},
		{"no server on the bus", true,
		 "no notification server answers on the session bus (The name org.freedesktop.Notifications was not "
		 "provided by any .service files)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		Notified n(false);
		if (!c.bus)
			n.bus.stop();
		ASSERT_TRUE(n.watch(""));
		ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "one")));
		ASSERT_TRUE(n.deliver(message("Bob <bob@x>", "two")));
		EXPECT_EQ(n.x.bells().size(), 2u);
		const Window list = n.x.findClient("boxwarden");
		EXPECT_TRUE(n.x.wmName(list).starts_with("Mail at "));
		EXPECT_EQ(n.w->err(), string(BOXWARDEN_BINARY) + ": " + c.line +
		                              "; notifications are sent again once it answers\n");

		if (!c.bus)
			n.bus.start();
		Dunst dunst(n.x, n.bus);
		BusMonitor monitor(n.bus);
		ASSERT_TRUE(n.deliver(message("Cy <cy@x>", "three")));
		ASSERT_TRUE(monitor.waitForCalls(1)) << n.w->err();
		EXPECT_EQ(monitor.calls()[0].body, "Cy: three");
		EXPECT_EQ(occurrences(n.w->err(), "\n"), 1);
	}
}

// A bus that goes away is told of once, and reached again when it is back.
TEST(Notify, TheBusGoesAndComesBack)
{
	Notified n;
	ASSERT_TRUE(n.watch(""));
	ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "one")));
	ASSERT_TRUE(n.monitor.waitForCalls(1));
	n.dunst.reset();
	n.bus.stop();
	ASSERT_TRUE(n.deliver(message("Bob <bob@x>", "two")));
	ASSERT_TRUE(n.deliver(message("Cy <cy@x>", "three")));
	EXPECT_EQ(n.x.bells().size(), 3u);
	EXPECT_EQ(occurrences(n.w->err(), "\n"), 1) << n.w->err();
	EXPECT_NE(n.w->err().find("the session bus went away"), string::npos) << n.w->err();

	n.bus.start();
	Dunst dunst(n.x, n.bus);
	BusMonitor monitor(n.bus);
	ASSERT_TRUE(n.deliver(message("Dee <dee@x>", "four")));
	ASSERT_TRUE(monitor.waitForCalls(1));
	EXPECT_EQ(monitor.calls()[0].body, "Dee: four");
	EXPECT_EQ(monitor.calls()[0].replaces, 0u); // a new server knows no id of the old one's
	EXPECT_EQ(occurrences(n.w->err(), "\n"), 1);
}

// Another server that takes the name is asked anew: what it can do (here,
// no markup) and its own ids, not the last one's.
TEST(Notify, AnotherServerTakesTheName)
{
	Notified n;
	ASSERT_TRUE(n.watch(""));
	ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "one")));
	ASSERT_TRUE(n.monitor.waitForCalls(1));
	n.dunst.reset();
	n.dunst.emplace(n.x, n.bus, false);
	BusClient another(n.bus);
	ASSERT_NE(another.notifyAsAnother(), 0u);
	ASSERT_TRUE(n.deliver(message("Eve <eve@x>", "<b>x</b>")));
	ASSERT_TRUE(n.monitor.waitForCalls(3));
	const NotifyCall call = n.monitor.calls()[2];
	EXPECT_EQ(call.replaces, 0u);
	EXPECT_EQ(call.body, "Eve: <b>x</b>");
	EXPECT_EQ(occurrences(n.dunst->history(), "\"appname\""), 2); // the other program's stays
	EXPECT_EQ(n.w->err(), "");
}

// A server that takes every call and never answers delays nothing: each
// poll's bell and title come on time, and after the call's time is up the
// watcher says so once.
TEST(Notify, AServerThatNeverAnswers)
{
	Notified n(false);
	BusClient silent(n.bus);
	ASSERT_TRUE(silent.takeServerName());
	ASSERT_TRUE(n.watch(""));
	const Window list = n.x.findClient("boxwarden");
	for (int i = 1; i <= 3; ++i) {
		const auto start = Clock::now();
		ASSERT_TRUE(n.deliver(message("Ann <ann@x>", "message " + std::to_string(i))));
		EXPECT_EQ(n.x.bells().size(), static_cast<std::size_t>(i));
		EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)); // two polls, a second apart
		EXPECT_TRUE(n.x.wmName(list).starts_with("Mail at "));
	}
	EXPECT_TRUE(n.x.waitUntil([&] { return !n.w->err().empty(); }, std::chrono::seconds(15)));
	EXPECT_EQ(n.w->err(), string(BOXWARDEN_BINARY) +
	                              ": no notification server answers on the session bus (Method call timed out); "
	                              "notifications are sent again once it answers\n");
	EXPECT_EQ(n.notified(), 0);
}

// An IMAP folder: the lines come from the helper, and a delivery is told.
TEST(Notify, AnImapFolder)
{
	Dovecot dovecot;
	Notified n;
	const string password = n.dir.write("password", string(Dovecot::kPassword) + "\n");
	const vector<string> args{"-xrm", "*passwordCommand: cat " + password, "-xrm", "*caFile: " + dovecot.caFile()};
	vector<string> all{"-mailbox", "imaps://alice@localhost:" + std::to_string(dovecot.imapsPort()) + "/INBOX",
	                   "-poll", "1", "-debug", "-notify"};
	all.insert(all.end(), args.begin(), args.end());
	n.w = std::make_unique<Watcher>(n.x, n.dir.path(), all, n.bus.environment());
	ASSERT_TRUE(n.w->waitForOutput("Empty, 1 ")) << n.w->err();
	dovecot.deliver("From: Ann <ann@x>\nSubject: hello from the server\n\nHello.\n");
	ASSERT_TRUE(n.monitor.waitForCalls(1)) << n.w->out();
	EXPECT_EQ(n.monitor.calls()[0].summary, "1 new message");
	EXPECT_EQ(n.monitor.calls()[0].body, "Ann: hello from the server");
	std::this_thread::sleep_for(std::chrono::seconds(2));
	EXPECT_EQ(n.monitor.calls().size(), 1u);
}
