#include "app/boxwarden.h"
#include "monitor/monitor.h"

void pollTimeout(XtPointer, XtIntervalId *)
{
	rescanMailbox(true);
	armPollTimer();
}

// The interval runs from the end of one rescan to the start of the next.
// It is worked out wide, so that no poll interval overflows; a negative one
// becomes so long that no further poll comes.
void armPollTimer()
{
	const long long milliseconds = static_cast<long long>(appResources.pollInterval) * 1000;
	XtAppAddTimeOut(appContext, static_cast<unsigned long>(milliseconds), pollTimeout, nullptr);
}
