// The programs that really write mailboxes, against a running watcher:
// procmail and formail delivering, mutt and neomutt marking, deleting and
// syncing (in a terminal of their own), mailx and mailutils reading and
// saving.  After every step the running watcher must come to show what a
// watcher started afresh on the same file shows: the same list and title.
// GoogleTest goes ahead of Xlib, whose macros (None, Bool) it would trip on.
#include <gtest/gtest.h>

#include "tests/fixture.h"
#include "tests/x/view.h"
#include "tests/x/xsession.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

using std::string;
using std::vector;
namespace fs = std::filesystem;

namespace {

// Tall enough that every line listed shows unscrolled.
const string kGeometry = "600x420";

// The steps' means, in the mailbox's folder.  A delivery is numbered:
// "User N" about "subject N".  A mail reader runs in a terminal of its own
// with its keys pushed, and is waited for until it quits.
const string kWriters = R"(export HOME="$PWD" MAILRC=/dev/null MH="$PWD/.mh_profile" PATH="$PATH:/usr/bin/mh"
deliverWith() {
	printf 'From user%s@example.org Mon Dec  7 10:00:00 2026\nFrom: User %s <user%s@example.org>\n' "$2" "$2" "$2" >"msg$2"
	printf 'Subject: subject %s\n\nbody\n' "$2" >>"msg$2"
	procmail -m "$1" <"msg$2"
}
deliver() { deliverWith locked.rc "$1"; }
reader() {
	tmux -S tmux.sock new-session -d -x 160 -y 48 "$1 -n -F '$PWD/muttrc' -f '$PWD/mbox' -e 'push \"$2\"'" || return 1
	i=0
	while tmux -S tmux.sock has-session 2>/dev/null; do
		i=$((i + 1))
		[ $i -le 600 ] || { tmux -S tmux.sock kill-server; return 1; }
		sleep 0.05
	done
}
)";

const string kMuttrc =
	"set move=no quit=yes delete=yes mark_old=no beep=no wait_key=no sort=mailbox-order auto_tag=yes\n";

struct Step {
	const char *what;
	string command;    // run in the mailbox's folder, after kWriters
	string then;       // if given, run once the watcher has looked after command
	bool held = false; // all of it between two looks of the watcher's
};

const Step kSteps[] = {
	{"procmail delivers, locked", "deliver 61", ""},
	{"procmail delivers, unlocked", "deliverWith unlocked.rc 62", ""},
	{"two procmails at once", "deliver 63 & deliver 64 & wait", ""},
	{"a formail burst, looked at within", "formail -ds sh -c 'procmail -m locked.rc; sleep 0.1' <burst", ""},
	{"two deliveries, a look between", "deliver 73", "deliver 74"},
	{"mutt marks one read and syncs",
	 "reader mutt '<tag-pattern>~s subject.61<enter><clear-flag>N<sync-mailbox><quit>'", ""},
	{"neomutt deletes two and syncs",
	 "reader neomutt '<tag-pattern>~s subject.6[23]<enter><delete-message><sync-mailbox><quit>'", ""},
	{"a delivery, the time set back to its second", "t=$(stat -c %Y mbox) && deliver 75 && touch -d @$t mbox", "",
	 true},
	{"mailx reads the last and quits", "printf 'p $\\nq\\n' | bsd-mailx -f mbox >/dev/null", ""},
	{"mailutils reads one and saves another", "printf 'p 1\\ns 2 saved\\nq\\n' | mail.mailutils -f mbox >/dev/null",
	 ""},
	{"procmail delivers after them", "deliver 77", ""},
};

// An MH folder, which procmail delivers into and nmh keeps.
const Step kFolderSteps[] = {
	{"procmail delivers into it", "deliverWith mh.rc 1", ""},
	{"two deliveries, a look between", "deliverWith mh.rc 2", "deliverWith mh.rc 3"},
	{"nmh refiles one to another folder", "refile -src +inbox 1 +other", ""},
	{"nmh removes one", "rmm -unlink +inbox 2", ""},
	{"procmail delivers after them", "deliverWith mh.rc 4", ""},
};

// Both messages well inside the file, away from where a rescan looks: it
// keeps its size, and then grows by a delivery.
const Step kHiddenRewrite{
	"mutt marks 20 read and 40 new, then a delivery",
	"size=$(stat -c %s mbox) && reader mutt '<tag-pattern>~s subject.20<enter><clear-flag>N"
	"<untag-pattern>~A<enter><tag-pattern>~s subject.40<enter><set-flag>N<sync-mailbox><quit>' && "
	"test $(stat -c %s mbox) = $size && deliver 76",
	"", true};

// A list as it shows: the label's pixels and the title.
struct Shown {
	vector<unsigned long> label;
	string title;
	bool operator==(const Shown &) const = default;
};

Shown shownBy(XSession &x, Window list)
{
	return {labelImage(x, list), x.wmName(list)};
}

bool inked(const vector<unsigned long> &image)
{
	return std::adjacent_find(image.begin(), image.end(), std::not_equal_to<>()) != image.end();
}

// What a watcher started afresh on the mailbox shows, once it has read it.
Shown freshlyShown(const string &mbox)
{
	XSession x;
	TempDir dir;
	Watcher w(x, dir.path(), {"-mailbox", mbox, "-debug", "-poll", "3600", "-geometry", kGeometry},
	          kWithoutPieceTraces);
	const Window list = x.waitForShown("boxwarden");
	EXPECT_TRUE(w.waitForOutput("Scanned, ")) << w.out();
	const string out = w.out();
	const auto at = out.rfind("Scanned, ");
	const int count = at == string::npos ? 0 : std::stoi(out.substr(out.find(' ', at + 9) + 1));
	Shown shown;
	EXPECT_TRUE(x.waitUntil([&] {
		const Shown before = shown;
		shown = shownBy(x, list);
		return !shown.label.empty() && shown == before && (count == 0 || inked(shown.label));
	})) << out;
	return shown;
}

void setUp(const TempDir &dir)
{
	produce({"encode_header.py", "spread", dir.sub("mbox"), "64", "15", "24"});
	std::ofstream(dir.sub("writers.sh")) << kWriters;
	// Its own folder as the readers' folder, which they would otherwise
	// ask to make.
	std::ofstream(dir.sub("muttrc")) << kMuttrc << "set folder=\"" << dir.path() << "\"\n";
	std::ofstream(dir.sub("locked.rc")) << ":0:\n" << dir.sub("mbox") << "\n";
	std::ofstream(dir.sub("unlocked.rc")) << ":0\n" << dir.sub("mbox") << "\n";
	fs::create_directory(dir.sub("inbox"));
	std::ofstream(dir.sub("mh.rc")) << ":0\n" << dir.sub("inbox") << "/.\n";
	std::ofstream(dir.sub(".mh_profile")) << "Path: " << dir.path() << "\n";
	std::ofstream burst(dir.sub("burst"));
	for (int n = 65; n <= 72; ++n)
		burst << "From user" << n << "@example.org Mon Dec  7 10:00:00 2026\nFrom: User " << n
		      << " <user" << n << "@example.org>\nSubject: subject " << n << "\n\nbody\n\n";
}

// A watcher on a mailbox, the file of 64 messages, 10 of them new, or the
// MH folder "inbox", empty; and the means to change them.
class Writers {
public:
	explicit Writers(const vector<string> &mode, const string &mailbox = "mbox") : mailbox_(mailbox)
	{
		setUp(dir_);
		vector<string> args{"-mailbox", mailbox, "-debug", "-geometry", kGeometry};
		args.insert(args.end(), mode.begin(), mode.end());
		watcher_.emplace(x_, dir_.path(), args, kWithoutPieceTraces);
		list_ = x_.waitForShown("boxwarden");
	}
	Watcher &watcher() { return *watcher_; }
	XSession &x() { return x_; }

	// Takes the step, and waits until the watcher shows what a fresh one
	// does on the mailbox as it now is.
	bool take(const Step &step, std::chrono::seconds patience = kPatience)
	{
		const int reads = occurrences(watcher_->out(), "Scanned, ");
		{
			std::optional<HeldStill> held;
			if (step.held)
				held.emplace(watcher_->pid());
			EXPECT_EQ(run(step.command), 0) << readFile(x_.home() + "/commands.log");
		}
		if (!step.then.empty()) {
			EXPECT_TRUE(watcher_->waitForOutput("Scanned, ", reads + 1));
			EXPECT_EQ(run(step.then), 0);
		}
		const Shown fresh = freshlyShown(dir_.sub(mailbox_));
		return x_.waitUntil([&] { return shownBy(x_, list_) == fresh; }, patience);
	}

private:
	int run(const string &command) { return x_.run("cd '" + dir_.path() + "' && . ./writers.sh && " + command); }

	string mailbox_;
	XSession x_;
	TempDir dir_;
	std::optional<Watcher> watcher_;
	Window list_ = 0;
};

template <std::size_t N>
void takeEveryStep(const Step (&steps)[N], const vector<string> &mode, const string &mailbox = "mbox")
{
	Writers writers(mode, mailbox);
	Watcher &w = writers.watcher();
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 "));
	for (const Step &step : steps) {
		SCOPED_TRACE(step.what);
		EXPECT_TRUE(writers.take(step)) << w.out();
	}
	EXPECT_EQ(w.err(), "");
}

} // namespace

TEST(Writers, PolledEverySecond)
{
	takeEveryStep(kSteps, {"-poll", "1"});
}

TEST(Writers, Instant)
{
	takeEveryStep(kSteps, {"-instant", "-poll", "3600"});
}

TEST(Writers, AnMHFolder)
{
	takeEveryStep(kFolderSteps, {"-poll", "1"}, "inbox");
	takeEveryStep(kFolderSteps, {"-instant", "-poll", "3600"}, "inbox");
}

// A rewrite that keeps the size, then a delivery, between two looks: the
// delivery is read alone, and the rewrite found a minute on by the whole
// read that confirms that read, as a change (the bell rings).  Then the
// watcher is quiet again.
TEST(Writers, ARewriteHiddenBehindADelivery)
{
	Writers writers({"-poll", "1"});
	Watcher &w = writers.watcher();
	ASSERT_TRUE(w.waitForOutput("Scanned, 1 10 "));
	ASSERT_TRUE(w.waitForOutput("Read whole\n"));
	EXPECT_TRUE(writers.take(kHiddenRewrite, std::chrono::seconds(100))) << w.out();
	EXPECT_EQ(occurrences(w.out(), "Read incremental, from "), 1) << w.out();
	EXPECT_EQ(occurrences(w.out(), "Confirming by a whole read\n"), 1) << w.out();
	EXPECT_EQ(writers.x().bells().size(), 3u);
	const int polls = occurrences(w.out(), "rescanMailbox 1\n");
	ASSERT_TRUE(w.waitForOutput("rescanMailbox 1\n", polls + 3));
	EXPECT_EQ(occurrences(w.out(), "Confirming by a whole read\n"), 1);
	EXPECT_EQ(occurrences(w.out(), "Read whole\n"), 2);
	EXPECT_EQ(w.err(), "");
}
