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
// The list was resized: the label shows as many of the newest lines as it
// now can scroll to.
void refitList();
void pollTimeout(XtPointer clientData, XtIntervalId *id);
void armPollTimer();
// With instant: a change of the mailbox starts a rescan at once.
void startInstantNotice();
