// The mailbox monitor: the polling timer and the rescan cycle, which
// decides whether the mailbox changed and whether to read it, then brings
// the bell, the list, the title and the icon up to date.
#pragma once

#include <X11/Intrinsic.h>

#include <ctime>

extern bool listVisible; // the list window is mapped; the window events keep it
extern int mailCount;    // last examination: the scan's count, 0, 1 when not read, -1 when failed
extern int shownCount;   // mailCount at the last icon switch; > 0 is the mail look
extern bool listCurrent; // the label was set since the mailbox was last found empty or missing
extern bool scanPending; // the mailbox changed but was not read
extern time_t lastMtime; // the mailbox's time when a change was last taken in
extern time_t titleTime; // lastMtime when the title was last set

extern char *summary;    // appResources.bufferSize bytes

void rescanMailbox(bool notify);

// The steps of a rescan, for a mailbox whose answers come later (one on
// an IMAP server): what was seen, what it decides, and the rest.
struct MailboxLook {
	bool missing;
	time_t mtime; // the modification time, or the time of the poll that saw a change
	bool changed; // since the change last taken in
	bool empty;   // of size 0, or a folder on a server without messages
	bool folder;  // read whatever the settings, as MH folders and Maildirs are
};
enum class RescanStep { stop, read, finish };
RescanStep examineMailbox(bool notify, const MailboxLook &look);
void takeInScan(bool notify, int count, time_t mtime); // after a read
void finishRescan(bool notify);                         // bell, list, title, icon

// A local mailbox (change.cpp): what a rescan sees of it; and whether a
// read, changed or not, must be whole, to confirm what reads since the last
// whole one took in.
MailboxLook lookAtMailbox();
void forgetMailbox();          // taken in as missing: whatever is there next is a change
bool confirmationDue();
enum class ListMade { empty, whole, fromLastMessage };
void noteListMade(ListMade how);

// A mailbox on an IMAP server, through the helper.
extern bool remoteMailbox;
void startRemoteMailbox();
void rescanRemoteMailbox(bool notify);
// The list was resized: the label shows as many of the newest lines as it
// now can scroll to.
void refitList();
void pollTimeout(XtPointer clientData, XtIntervalId *id);
void armPollTimer();
// With instant: a change of the mailbox starts a rescan at once.
void startInstantNotice();
