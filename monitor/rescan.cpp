// One rescan: look at the mailbox, decide from what was seen before whether
// it changed and whether to read it, then ring the bell, refresh the list,
// set the title and switch the icon, in that order.
#include "app/boxwarden.h"
#include "desktop/desktop.h"
#include "monitor/monitor.h"
#include "scanner/scanner.h"

#include <X11/StringDefs.h>
#include <X11/Shell.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

bool listVisible = false;
int mailCount = 0;
int shownCount = 0;
bool listCurrent = false;
bool scanPending = false;
time_t lastMtime = 0;
time_t titleTime = 0;
char *summary;

namespace {

// Where in the summary the label's text starts, while the label shows the
// summary as it is; null once the summary has been written again.
const char *labelStart = nullptr;

// A change was taken in since the title was last set; the title is made
// again, since its time in seconds may be the same and its words not.
bool retitle = false;

// What the last scan of a mailbox file left, so that a rescan after a
// delivery reads only from the last message on.
ScanMemory scanMemory;

// ctime() text, newline included.  A time the C library can't render (a
// file dated past the year 2^31, which some file systems allow) gets a
// text of its own.
const char *timeText(time_t t)
{
	const char *text = std::ctime(&t);
	return text ? text : "(a time out of range)\n";
}

// A missing or empty mailbox: nothing to list.
void takeInNoMail(time_t mtime)
{
	summary[0] = '\0';
	labelStart = nullptr;
	mailCount = 0;
	lastMtime = mtime;
	listCurrent = false;
	noteListMade(ListMade::empty);
}

// Nothing to take in: the mailbox is as it was when a change was last
// taken in, and no read waits for the list to show.
bool unchanged(const MailboxLook &look)
{
	return !look.changed && !(scanPending && listVisible);
}

// Whether a change is read at once, or only when the list next shows.  A
// notification names what came, so with notify every change is read.
bool readsEveryChange(const MailboxLook &look)
{
	return listVisible || appResources.newMail || look.folder || appResources.notify;
}

// Drives the viewport's scrollbar as a drag to its bottom would, so that
// the newest lines show.
void scrollToEnd()
{
	Widget bar = XtNameToWidget(viewport, "vertical");
	if (!bar)
		return; // the label fits
	Dimension width = 0, height = 0;
	XtVaGetValues(bar, XtNwidth, &width, XtNheight, &height, nullptr);
	// A button press at the bottom of the bar, zero but for where it is;
	// the scrollbar ignores a thumb move that does not come from its own
	// screen, so it says so, as every real press does.
	XEvent event;
	std::memset(&event, 0, sizeof event);
	event.xbutton.type = ButtonPress;
	event.xbutton.x = width / 2;
	event.xbutton.y = height - 1;
	event.xbutton.same_screen = True;
	String continuous[] = {xtString("Continuous")};
	XtCallActionProc(bar, "StartScroll", &event, continuous, 1);
	XtCallActionProc(bar, "MoveThumb", &event, nullptr, 0);
	XtCallActionProc(bar, "NotifyThumb", &event, nullptr, 0);
	XtCallActionProc(bar, "EndScroll", &event, nullptr, 0);
}

// The height of a line of the label, as it spaces them: by its font's
// largest character, or in the international list by its font set's.
long labelLineHeight()
{
	if (appResources.utf8) {
		XFontSet fontSet = nullptr;
		XtVaGetValues(messages, XtNfontSet, &fontSet, nullptr);
		return fontSet ? XExtentsOfFontSet(fontSet)->max_ink_extent.height : 0;
	}
	XFontStruct *font = nullptr;
	XtVaGetValues(messages, XtNfont, &font, nullptr);
	return font ? font->max_bounds.ascent + font->max_bounds.descent : 0;
}

Dimension heightOf(Widget w, Dimension otherwise)
{
	Dimension height = otherwise;
	if (w)
		XtVaGetValues(w, XtNheight, &height, nullptr);
	return height;
}

// The newest lines of the summary, as many as the list can scroll to the
// end of.  A drag to the bottom of a scrollbar of length L moves the label
// up by (L - 1) / L of its own height, which brings its last line into
// view only while the label is at most L times the view's height; and X
// places no window further than 32767 pixels from its parent.  Past those,
// a flood of tiny messages would leave the newest lines, or the whole
// list, out of sight.  Before the label first overflows there is no
// scrollbar yet; the one that comes is as long as the viewport is high.
const char *newestLinesThatFit()
{
	constexpr long kMaxWindowOffset = 32767;
	Dimension margin = 0;
	XtVaGetValues(messages, XtNinternalHeight, &margin, nullptr);
	const Dimension height = heightOf(viewport, 0);
	const long view = heightOf(XtNameToWidget(viewport, "clip"), height);
	const long length = heightOf(XtNameToWidget(viewport, "vertical"), height);
	const long lineHeight = labelLineHeight();
	if (lineHeight <= 0)
		return summary;
	const long tallest = std::min(kMaxWindowOffset, view * length);
	const long fit = std::max(1L, (tallest - 2L * margin) / lineHeight);
	const char *start = summary + std::strlen(summary);
	for (long lines = 0; start > summary; --start)
		if (start[-1] == '\n' && ++lines > fit)
			break;
	return start;
}

void refreshList()
{
	if (!listVisible || (mailCount == 0 && shownCount == 0 && listCurrent))
		return;
	listCurrent = true;
	labelStart = newestLinesThatFit();
	XtVaSetValues(messages, XtNlabel, labelStart, nullptr);
	scrollToEnd();
}

void updateTitle()
{
	if (!appResources.setTitle || (lastMtime == titleTime && !retitle))
		return;
	retitle = false;
	std::array<char, 64> title;
	if (lastMtime == 0)
		std::snprintf(title.data(), title.size(), "No mail");
	else {
		std::snprintf(title.data(), title.size(), mailCount != 0 ? "Mail at %s" : "No mail since %s",
		              timeText(lastMtime));
		title[std::strlen(title.data()) - 1] = '\0'; // the newline
		if (appResources.debug)
			std::printf("Title -> <%s>\n", title.data());
	}
	XtVaSetValues(listShell, XtNtitle, title.data(), nullptr);
	// A fake icon is a window of its own in window lists and taskbars:
	// it goes by the same name.
	if (appResources.fakeIcon)
		XtVaSetValues(iconShell, XtNtitle, title.data(), nullptr);
	titleTime = lastMtime;
}

void switchIcon()
{
	const bool toMail = mailCount > 0 && shownCount <= 0;
	if (!toMail && !(mailCount <= 0 && shownCount > 0))
		return;
	// The taskbar's picture and the tray's first, so that the icon
	// window, cleared by the switch, is redrawn as soon as it ever was.
	showLook(toMail);
	if (toMail)
		XtVaSetValues(icon, XtNforeground, appResources.iconMailForeground, XtNbackground,
		              appResources.iconMailBackground, XtNbitmap, appResources.mailBitmap, nullptr);
	else
		XtVaSetValues(icon, XtNforeground, appResources.iconForeground, XtNbackground,
		              appResources.iconBackground, XtNbitmap, appResources.nomailBitmap, nullptr);
	shownCount = mailCount;
}

// The scan, which goes on from the last message of a mailbox file when only
// mail was appended since the last, unless what such reads took in is due
// to be confirmed; the trace says which it did.  Folders are listed anew
// each time.
int readMailbox(const MailboxLook &look)
{
	if (confirmationDue()) {
		if (appResources.debug)
			std::printf("Confirming by a whole read\n");
		scanMemory.mbox.reset();
	}
	const int count = parseMailbox(appResources.mailbox, summary, appResources.bufferSize, scanFlags, scanMemory);
	noteListMade(!look.folder && scanMemory.incremental ? ListMade::fromLastMessage : ListMade::whole);
	if (appResources.debug && !look.folder && count >= 0) {
		if (scanMemory.incremental)
			std::printf("Read incremental, from %lld\n", static_cast<long long>(scanMemory.readFrom));
		else
			std::printf("Read whole\n");
	}
	return count;
}

// Nothing changed that a look shows, but a read since the last whole one
// may have missed a change: the mailbox is read whole, and what differs
// from the list is taken in as a change.
void confirmMailbox(bool notify, const MailboxLook &look)
{
	const std::string listed = summary;
	const int listedCount = mailCount;
	const int count = readMailbox(look);
	if (count == listedCount && listed == summary) {
		if (examineMailbox(notify, look) == RescanStep::finish)
			finishRescan(notify);
		return;
	}
	retitle = true;
	takeInScan(notify, count, look.mtime);
	finishRescan(notify);
}

} // namespace

void refitList()
{
	if (!listVisible || !labelStart)
		return;
	const char *start = newestLinesThatFit();
	if (start == labelStart)
		return;
	labelStart = start;
	XtVaSetValues(messages, XtNlabel, labelStart, nullptr);
	scrollToEnd();
}

RescanStep examineMailbox(bool notify, const MailboxLook &look)
{
	const bool debug = appResources.debug;
	if (look.missing) {
		if (debug)
			std::printf("No mail file, %d %d\n", notify, shownCount);
		if (notify && shownCount == 0)
			return RescanStep::stop;
		takeInNoMail(0);
		forgetMailbox();
		return RescanStep::finish;
	}
	if (unchanged(look)) {
		if (debug)
			std::printf("No change, %d %s", notify, timeText(lastMtime));
		return notify ? RescanStep::stop : RescanStep::finish;
	}
	if (look.changed)
		retitle = true;
	if (look.empty) {
		if (debug)
			std::printf("Empty, %d %s", notify, timeText(look.mtime));
		takeInNoMail(look.mtime);
		return RescanStep::finish;
	}
	if (readsEveryChange(look))
		return RescanStep::read;
	if (debug)
		std::printf("Changed but not scanned, %d %x %x %d %s", notify, static_cast<unsigned>(lastMtime),
		            static_cast<unsigned>(look.mtime), 0, timeText(look.mtime));
	mailCount = 1;
	lastMtime = look.mtime;
	scanPending = true;
	return RescanStep::finish;
}

void takeInScan(bool notify, int count, time_t mtime)
{
	mailCount = count;
	labelStart = nullptr;
	scanPending = false;
	lastMtime = mtime;
	if (appResources.debug)
		std::printf("Scanned, %d %d %s", notify, mailCount, timeText(lastMtime));
}

void finishRescan(bool notify)
{
	if (notify && mailCount != 0) {
		if (!appResources.silent)
			XBell(XtDisplay(toplevel), appResources.bellVolume);
		askForAttention();
	} else if (mailCount == 0) {
		attentionGiven();
	}
	if (appResources.notify)
		noteSummary(notify && mailCount != 0);
	refreshList();
	updateTitle();
	switchIcon();
}

void rescanMailbox(bool notify)
{
	if (appResources.debug)
		std::printf("rescanMailbox %d\n", notify);
	if (remoteMailbox) {
		rescanRemoteMailbox(notify); // finished when the helper answers
		return;
	}
	const MailboxLook look = lookAtMailbox();
	if (!look.missing && unchanged(look) && readsEveryChange(look) && confirmationDue()) {
		confirmMailbox(notify, look);
		return;
	}
	switch (examineMailbox(notify, look)) {
	case RescanStep::stop:
		return;
	case RescanStep::read:
		takeInScan(notify, readMailbox(look), look.mtime);
		break;
	case RescanStep::finish:
		break;
	}
	finishRescan(notify);
}
