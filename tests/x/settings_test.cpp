// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

using std::string;
using std::vector;

namespace {

const string kName = BOXWARDEN_BINARY;

// What the watcher prints up to its first rescan, and on standard error.
struct Started {
	string out, err;
};

Started start(const vector<string> &args)
{
	XSession x;
	TempDir dir;
	Watcher w(x, dir.path(), args);
	w.waitForOutput("rescanMailbox 1\n");
	string out = w.out();
	return {out.substr(0, out.find("rescanMailbox 1\n")), w.err()};
}

} // namespace

TEST(Settings, DumpAndChecks)
{
	const struct {
		const char *what;
		vector<string> args;
		string out, err;
	} cases[] = {
		{"defaults", {"-debug"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: no\n", ""},
		{"options",
		 {"-debug", "-mailBox", "box", "-poll", "5", "-allMail", "-soundfile", "x", "-fakeIcon",
		  "-geometry", "300x200+10+20"},
		 "mailbox box, pollInterval 5\nnewMail 0, fullNames 0\nbellVolume 0\nsoundFile <x>\nfakeIcon: yes\n"
		 "List shell geometry <300x200+10+20>\n",
		 ""},
		{"the later option wins", {"-debug", "-newmail", "-allmail", "-newMail", "-realIcon"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: no\n", ""},
		{"resources", {"-debug", "-xrm", "*fullNames: true", "-xrm", "*mailbox: m", "-xrm", "*bellVolume: -100"},
		 "mailbox m, pollInterval 67\nnewMail 1, fullNames 1\nbellVolume -100\nsoundFile <*none*>\nfakeIcon: no\n", ""},
		{"no geometry", {"-debug", "-fakeIcon"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: yes\n"
		 "List shell geometry <(null)>\n",
		 ""},
		{"bell too loud", {"-debug", "-xrm", "*bellVolume: 101"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 101\nsoundFile <*none*>\nfakeIcon: no\n",
		 kName + ": bogus value 101 for bellVolume\n"},
		{"bell too quiet", {"-xrm", "*bellVolume: -101", "-debug"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume -101\nsoundFile <*none*>\nfakeIcon: no\n",
		 kName + ": bogus value -101 for bellVolume\n"},
		{"no room for the list", {"-xrm", "*bufferSize: 0", "-debug"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: no\n",
		 kName + ": bogus value 0 for bufferSize\n"},
		{"unknown words are ignored", {"-debug", "-bogus", "stray"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: no\n", ""},
		{"a font without a charset", {"-xrm", "*messages.font: cursor", "-debug"},
		 "mailbox .mail, pollInterval 67\nnewMail 1, fullNames 0\nbellVolume 0\nsoundFile <*none*>\nfakeIcon: no\n",
		 kName + ": Couldn't get registry for message font\n" + kName + ": Couldn't get encoding for message font\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		Started s = start(c.args);
		EXPECT_EQ(s.out, c.out);
		EXPECT_EQ(s.err, c.err);
	}
}

TEST(Settings, GeometryGoesToTheFakeIconsList)
{
	XSession x;
	TempDir dir;
	Watcher w(x, dir.path(), {"-fakeIcon", "-geometry", "300x200+10+20"});
	const Window list = x.waitForShown("boxwardenList");
	ASSERT_NE(list, 0u);
	XWindowAttributes a = x.attributes(list);
	EXPECT_EQ(a.width, 300);
	EXPECT_EQ(a.height, 200);
}

namespace {

// The pixels of the list label once the first message shows.
std::vector<unsigned long> labelImage(const string &font, const string &subject, const vector<string> &more = {})
{
	XSession x;
	TempDir dir;
	writeMailbox(dir.sub("mbox"), message("a", subject), 1700000000);
	vector<string> args{"-mailbox", "mbox", "-debug", "-xrm", "*messages.font: " + font};
	args.insert(args.end(), more.begin(), more.end());
	Watcher w(x, dir.path(), args);
	const Window list = x.waitForShown("boxwarden");
	w.waitForOutput("MapNotify\nrescanMailbox 0\n");
	std::vector<unsigned long> image = stableLabelImage(x, list);
	EXPECT_EQ(w.err(), "");
	return image;
}

} // namespace

TEST(Settings, WordsAreDecodedOnlyInTheFontsCharset)
{
	const string latin1 = "-misc-fixed-medium-r-semicondensed--13-120-75-75-c-60-iso8859-1";
	const string unicode = "-misc-fixed-medium-r-semicondensed--13-120-75-75-c-60-iso10646-1";
	const string encoded = "=?iso-8859-1?q?caf=E9_cr=E8me?=";
	const string decoded = "caf\xE9 cr\xE8me";

	EXPECT_EQ(labelImage(latin1, encoded), labelImage(latin1, decoded));
	EXPECT_NE(labelImage(latin1, encoded), labelImage(latin1, encoded, {"-noMime"}));
	EXPECT_EQ(labelImage(unicode, encoded), labelImage(unicode, encoded, {"-noMime"}));
}

TEST(Settings, SummaryThatCannotBeAllocated)
{
	XSession x;
	TempDir dir;
#ifdef __SANITIZE_ADDRESS__
	// The sanitizer's allocator is told to refuse large blocks instead:
	// it needs the whole address space for itself.
	setenv("ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=400", 1);
	const std::vector<string> limit{};
#else
	// An address space of 400 MB has no room for a list of 1 GB.
	const std::vector<string> limit{"prlimit", "--as=400000000"};
#endif
	Watcher w(x, dir.path(), {"-xrm", "*bufferSize: 1000000000"}, limit);
	EXPECT_EQ(WEXITSTATUS(w.exitStatus()), 1);
	string err = w.err();
#ifdef __SANITIZE_ADDRESS__
	err.erase(0, err.find(kName)); // after the sanitizer's own warning
#endif
	EXPECT_EQ(err, kName + ": cannot allocate 1000000000 bytes for the message list\n");
}
