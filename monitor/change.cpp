// Whether a local mailbox changed: whether what a look sees of it (its
// stamp: scanner/stamp.h) differs from what it saw when the last change was
// taken in.
//
// Two kinds of change no look can tell, a whole read a while later finds:
// a rewrite followed by a delivery before the next look, which a read that
// goes on from the last message takes for the delivery alone; and a
// change that falls within the same tick of the file system's clock as
// the one before it, which a look between the two saw.  After a read that
// may have missed one, the first rescan a minute on that would read a
// change reads the mailbox whole, changed or not.  That is one whole read
// a minute at most while mail comes, and none while none does.
#include "app/boxwarden.h"
#include "monitor/monitor.h"
#include "scanner/stamp.h"

#include <chrono>
#include <optional>

namespace {

using std::chrono::steady_clock;

// How long a list that may have missed a change stands before a whole
// read confirms it.
constexpr std::chrono::seconds kConfirmAfter{60};

std::optional<MailboxStamp> takenIn; // when the last change was taken in; none: anything is a change
bool lookSettled = true;             // the last look's changes were old enough to be all there were
// When the first read since the last whole one that may have missed a
// change was made.
std::optional<steady_clock::time_point> unconfirmedSince;

} // namespace

MailboxLook lookAtMailbox()
{
	MailboxStamp now;
	if (!stampMailbox(appResources.mailbox, now))
		return {true, 0, false, false, false};
	lookSettled = settledBy(now, timeNow());
	const bool changed = takenIn != now;
	if (changed)
		takenIn = now; // every change seen is taken in
	return {false, now.mtime, changed, now.empty, now.folder};
}

void forgetMailbox()
{
	takenIn.reset();
	unconfirmedSince.reset();
}

bool confirmationDue()
{
	return unconfirmedSince && steady_clock::now() - *unconfirmedSince >= kConfirmAfter;
}

void noteListMade(ListMade how)
{
	// An empty file that changes is no longer empty.
	if (how == ListMade::empty || (how == ListMade::whole && lookSettled))
		unconfirmedSince.reset();
	else if (!unconfirmedSince)
		unconfirmedSince = steady_clock::now();
}
