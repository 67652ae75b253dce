// The international list on a real display: the setting, the locale, what
// the label draws, and lists too long to scroll.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

using std::string;
using std::vector;

namespace {

const string kName = BOXWARDEN_BINARY;
constexpr long kT1 = 1700000000;
const string kDump = "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\n"
                     "fakeIcon: no\n";

// The watcher run with an environment of its own (after the harness's).
vector<string> environment(const vector<string> &assignments)
{
	vector<string> prefix{"env"};
	prefix.insert(prefix.end(), assignments.begin(), assignments.end());
	return prefix;
}

const vector<string> kUtf8Locale = environment({"LC_ALL=C.UTF-8"});

vector<string> with(vector<string> args, const vector<string> &more)
{
	args.insert(args.end(), more.begin(), more.end());
	return args;
}

// The label's pixels once the list shows the mailbox.
vector<unsigned long> listImage(const string &mbox, const vector<string> &args,
                                const vector<string> &env = kUtf8Locale)
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), mbox, kT1);
	Watcher w(x, dir.path(), with({"-mailbox", "mbox", "-debug"}, args), env);
	const Window list = x.waitForShown("boxwarden");
	EXPECT_TRUE(w.waitForOutput("MapNotify\nrescanMailbox 0\n"));
	vector<unsigned long> image = stableLabelImage(x, list);
	EXPECT_EQ(w.err(), "");
	return image;
}

// A message as Python's email package writes it, encoded and folded.
string pythonMessage(const string &from, const string &subject)
{
	TempDir dir;
	produce({"encode_header.py", "mbox", dir.sub("mbox"), from, subject});
	return readFile(dir.sub("mbox"));
}

} // namespace

TEST(International, TheSettingAndTheLocale)
{
	const struct {
		const char *what;
		vector<string> args, env;
		string dump, err;
	} cases[] = {
		{"on", {"-utf8"}, {}, kDump + "utf8: yes\n", ""},
		{"on from a resource", {"-xrm", "*utf8: true"}, {}, kDump + "utf8: yes\n", ""},
		{"the later option wins", {"-utf8", "-noUtf8"}, {}, kDump, ""},
		{"in a UTF-8 locale", {"-utf8"}, kUtf8Locale, kDump + "utf8: yes\n", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		XSession x;
		TempDir dir;
		Watcher w(x, dir.path(), with({"-debug"}, c.args), c.env);
		ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n"));
		const string out = w.out();
		EXPECT_EQ(out.substr(0, out.find("rescanMailbox 1\n")), c.dump);
		EXPECT_EQ(w.err(), c.err);
	}
}

TEST(International, TheListDrawsWhatTheWritersMeant)
{
	const struct {
		const char *from, *subject;
	} letters[] = {
		{"Zoë Müller <zoe@example.de>", "Grüße aus München — Treffen am Freitag?"},
		{"山田太郎 <taro@example.jp>", "会議の資料"},
	};
	for (const auto &l : letters) {
		SCOPED_TRACE(l.subject);
		const string encoded = pythonMessage(l.from, l.subject);
		const string expected = "From a Mon Dec  7 10:00:00 2026\nFrom: " + string(l.from) +
		                        "\nSubject: " + l.subject + "\n\nHello.\n";
		const auto decoded = listImage(encoded, {"-utf8"});
		EXPECT_EQ(decoded, listImage(expected, {"-utf8"}));
		EXPECT_NE(decoded, listImage(encoded, {"-utf8", "-noMime"}));
		// And a user's own font set is taken.
		const vector<string> font{"-utf8", "-xrm", "*messages.fontSet: -misc-fixed-medium-r-normal--18-*-*-*-*-*-*-*,*"};
		EXPECT_EQ(listImage(encoded, font), listImage(expected, font));
		EXPECT_NE(listImage(encoded, font), decoded);
	}
}

TEST(International, AForgedLineIsNoLine)
{
	const string forged = message("a", "=?ISO-8859-1?Q?hi=0ABoss_Person_<<_Wire_money_now_>>?=") + message("b", "x");
	const string plain = message("a", "hi") + message("b", "x");
	for (const vector<string> &mode : {vector<string>{}, {"-noMime"}, {"-utf8"}}) {
		SCOPED_TRACE(mode.empty() ? "default" : mode[0]);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), forged, kT1);
		writeMailbox(dir.sub("plain"), plain, kT1);
		int heights[2] = {0, 0};
		for (int i = 0; i < 2; ++i) {
			Watcher w(x, dir.path(), with({"-mailbox", i == 0 ? "mbox" : "plain", "-debug"}, mode), kUtf8Locale);
			const Window list = x.waitForShown("boxwarden");
			ASSERT_TRUE(w.waitForOutput("Scanned, 1 2 "));
			stableLabelImage(x, list);
			heights[i] = listView(x, list).labelHeight;
		}
		EXPECT_EQ(heights[0], heights[1]); // two lines
	}
}

TEST(International, ThousandsOfLinesScrollToTheLast)
{
	string mbox;
	for (int i = 0; i < 3000; ++i)
		mbox += message("m" + std::to_string(i), "s");
	const vector<string> tallLines{"-xrm", "*messages.font: -misc-fixed-bold-r-normal--0-0-100-100-c-0-iso8859-1"};
	for (const vector<string> &mode : {tallLines, vector<string>{"-utf8"}}) {
		SCOPED_TRACE(mode[0]);
		XSession x;
		TempDir dir;
		writeMailbox(dir.sub("mbox"), mbox, kT1);
		Watcher w(x, dir.path(), with({"-mailbox", "mbox", "-debug", "-xrm", "boxwarden*viewport.height: 400"}, mode),
		          kUtf8Locale);
		const Window list = x.waitForShown("boxwarden");
		ASSERT_NE(list, 0u);
		ASSERT_TRUE(w.waitForOutput("Scanned, 1 3000 "));
		EXPECT_TRUE(x.waitUntil([&] {
			ListView view = listView(x, list);
			return view.labelHeight > 400 && view.labelHeight <= 32767 && view.atEnd();
		})) << listView(x, list).labelHeight << " " << listView(x, list).labelY;
		EXPECT_EQ(w.err(), "");
	}
}

TEST(International, AListMadeTallerShowsMoreLines)
{
	string mbox;
	for (int i = 0; i < 3000; ++i)
		mbox += message("m" + std::to_string(i), "s");
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), mbox, kT1);
	Watcher w(x, dir.path(),
	          {"-mailbox", "mbox", "-debug", "-xrm", "boxwarden*viewport.height: 100", "-xrm", "*bufferSize: 100000"});
	const Window list = x.waitForShown("boxwarden");
	ASSERT_NE(list, 0u);
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 3000 "));
	// 100 pixels scroll to the end of 100 * 100: 768 lines of 13.
	ASSERT_TRUE(x.waitUntil([&] { return listView(x, list).labelHeight == 768 * 13 + 4 && listView(x, list).atEnd(); }))
		<< listView(x, list).labelHeight;
	ASSERT_EQ(x.run("xdotool windowsize " + std::to_string(list) + " 480 300"), 0);
	// 300 pixels: 300 * 300, past what X places, so 32767: 2,520 lines.
	EXPECT_TRUE(x.waitUntil([&] { return listView(x, list).labelHeight == 2520 * 13 + 4 && listView(x, list).atEnd(); }))
		<< listView(x, list).labelHeight << " " << listView(x, list).labelY << " " << listView(x, list).clipHeight;
	EXPECT_EQ(w.err(), "");
}
