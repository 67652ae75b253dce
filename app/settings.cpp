// The option table, the resource table and the settings record they fill.
#include "app/boxwarden.h"
#include "scanner/scanner.h"

#include <X11/StringDefs.h>
#include <X11/Shell.h>
#include <X11/Xaw/XawInit.h>

#include <cstddef>
#include <cstdio>

AppResources appResources;
int scanFlags;
const char *invocationName = "boxwarden";
XtAppContext appContext;
Widget toplevel;

namespace {

constexpr int kDefaultBellVolume = 0;
constexpr int kDefaultBufferSize = 32000;
constexpr int kMaxBellVolume = 100;

constexpr auto xs = xtString;

XrmOptionDescRec options[] = {
	{xs("-poll"), xs(".pollInterval"), XrmoptionSepArg, nullptr},
	{xs("-mailBox"), xs(".mailbox"), XrmoptionSepArg, nullptr},
	{xs("-mailbox"), xs(".mailbox"), XrmoptionSepArg, nullptr},
	{xs("-iconGeometry"), xs(".boxwardenIcon.geometry"), XrmoptionSepArg, nullptr},
	{xs("-icongeometry"), xs(".boxwardenIcon.geometry"), XrmoptionSepArg, nullptr},
	{xs("-newMail"), xs(".newMail"), XrmoptionNoArg, xs("True")},
	{xs("-newmail"), xs(".newMail"), XrmoptionNoArg, xs("True")},
	{xs("-allMail"), xs(".newMail"), XrmoptionNoArg, xs("False")},
	{xs("-allmail"), xs(".newMail"), XrmoptionNoArg, xs("False")},
	{xs("-silent"), xs(".silent"), XrmoptionNoArg, xs("True")},
	{xs("-soundfile"), xs(".soundFile"), XrmoptionSepArg, nullptr},
	{xs("-soundFile"), xs(".soundFile"), XrmoptionSepArg, nullptr},
	{xs("-debug"), xs(".debug"), XrmoptionNoArg, xs("True")},
	{xs("-doMime"), xs(".doMime"), XrmoptionNoArg, xs("True")},
	{xs("-noMime"), xs(".doMime"), XrmoptionNoArg, xs("False")},
	{xs("-fakeIcon"), xs(".fakeIcon"), XrmoptionNoArg, xs("True")},
	{xs("-realIcon"), xs(".fakeIcon"), XrmoptionNoArg, xs("False")},
	{xs("-keepIcon"), xs(".keepIcon"), XrmoptionNoArg, xs("True")},
	{xs("-utf8"), xs(".utf8"), XrmoptionNoArg, xs("True")},
	{xs("-noUtf8"), xs(".utf8"), XrmoptionNoArg, xs("False")},
	{xs("-instant"), xs(".instant"), XrmoptionNoArg, xs("True")},
	{xs("-noInstant"), xs(".instant"), XrmoptionNoArg, xs("False")},
	{xs("-urgent"), xs(".urgent"), XrmoptionNoArg, xs("True")},
	{xs("-noUrgent"), xs(".urgent"), XrmoptionNoArg, xs("False")},
	{xs("-tray"), xs(".tray"), XrmoptionNoArg, xs("True")},
	{xs("-noTray"), xs(".tray"), XrmoptionNoArg, xs("False")},
	{xs("-notify"), xs(".notify"), XrmoptionNoArg, xs("True")},
	{xs("-noNotify"), xs(".notify"), XrmoptionNoArg, xs("False")},
};

// The mail look defaults to the no-mail look with its colours swapped.
// The toolkit fills the record in table order, so the no-mail colours are
// there when these run.
void defaultMailForeground(Widget, int, XrmValue *value)
{
	value->addr = reinterpret_cast<XPointer>(&appResources.iconBackground);
	value->size = sizeof(Pixel);
}

void defaultMailBackground(Widget, int, XrmValue *value)
{
	value->addr = reinterpret_cast<XPointer>(&appResources.iconForeground);
	value->size = sizeof(Pixel);
}

#define FIELD(name) static_cast<Cardinal>(offsetof(AppResources, name))
#define IMMEDIATE(value) xs(XtRImmediate), reinterpret_cast<XtPointer>(static_cast<long>(value))

XtResource resources[] = {
	{xs("pollInterval"), xs("PollInterval"), xs(XtRInt), sizeof(int), FIELD(pollInterval), IMMEDIATE(67)},
	{xs("mailbox"), xs("Mailbox"), xs(XtRString), sizeof(String), FIELD(mailbox), xs(XtRString), xs(".mail")},
	{xs("iconForeground"), xs(XtCForeground), xs(XtRPixel), sizeof(Pixel), FIELD(iconForeground), xs(XtRString),
	 xs(XtDefaultForeground)},
	{xs("iconBackground"), xs(XtCBackground), xs(XtRPixel), sizeof(Pixel), FIELD(iconBackground), xs(XtRString),
	 xs(XtDefaultBackground)},
	{xs("iconMailForeground"), xs("IconMailForeground"), xs(XtRPixel), sizeof(Pixel), FIELD(iconMailForeground),
	 xs(XtRCallProc), reinterpret_cast<XtPointer>(defaultMailForeground)},
	{xs("iconMailBackground"), xs("IconMailBackground"), xs(XtRPixel), sizeof(Pixel), FIELD(iconMailBackground),
	 xs(XtRCallProc), reinterpret_cast<XtPointer>(defaultMailBackground)},
	{xs("mailBitmap"), xs("MailBitmap"), xs(XtRBitmap), sizeof(Pixmap), FIELD(mailBitmap), xs(XtRString),
	 xs("letters")},
	{xs("nomailBitmap"), xs("NomailBitmap"), xs(XtRBitmap), sizeof(Pixmap), FIELD(nomailBitmap), xs(XtRString),
	 xs("noletters")},
	{xs("silent"), xs("Silent"), xs(XtRBoolean), sizeof(Boolean), FIELD(silent), IMMEDIATE(False)},
	{xs("bellVolume"), xs("BellVolume"), xs(XtRInt), sizeof(int), FIELD(bellVolume), IMMEDIATE(kDefaultBellVolume)},
	{xs("soundFile"), xs("SoundFile"), xs(XtRString), sizeof(String), FIELD(soundFile), IMMEDIATE(0)},
	{xs("bufferSize"), xs("BufferSize"), xs(XtRInt), sizeof(int), FIELD(bufferSize), IMMEDIATE(kDefaultBufferSize)},
	{xs("newMail"), xs("NewMail"), xs(XtRBoolean), sizeof(Boolean), FIELD(newMail), IMMEDIATE(True)},
	{xs("fullNames"), xs("FullNames"), xs(XtRBoolean), sizeof(Boolean), FIELD(fullNames), IMMEDIATE(False)},
	{xs("debug"), xs("Debug"), xs(XtRBoolean), sizeof(Boolean), FIELD(debug), IMMEDIATE(False)},
	{xs("setTitle"), xs("SetTitle"), xs(XtRBoolean), sizeof(Boolean), FIELD(setTitle), IMMEDIATE(True)},
	{xs("doMime"), xs("DoMime"), xs(XtRBoolean), sizeof(Boolean), FIELD(doMime), IMMEDIATE(True)},
	{xs("fakeIcon"), xs("FakeIcon"), xs(XtRBoolean), sizeof(Boolean), FIELD(fakeIcon), IMMEDIATE(False)},
	{xs("keepIcon"), xs("KeepIcon"), xs(XtRBoolean), sizeof(Boolean), FIELD(keepIcon), IMMEDIATE(False)},
	{xs("utf8"), xs("Utf8"), xs(XtRBoolean), sizeof(Boolean), FIELD(utf8), IMMEDIATE(False)},
	{xs("instant"), xs("Instant"), xs(XtRBoolean), sizeof(Boolean), FIELD(instant), IMMEDIATE(False)},
	{xs("passwordCommand"), xs("PasswordCommand"), xs(XtRString), sizeof(String), FIELD(passwordCommand),
	 IMMEDIATE(0)},
	{xs("tokenCommand"), xs("TokenCommand"), xs(XtRString), sizeof(String), FIELD(tokenCommand), IMMEDIATE(0)},
	{xs("caFile"), xs("CaFile"), xs(XtRString), sizeof(String), FIELD(caFile), IMMEDIATE(0)},
	{xs("urgent"), xs("Urgent"), xs(XtRBoolean), sizeof(Boolean), FIELD(urgent), IMMEDIATE(False)},
	{xs("tray"), xs("Tray"), xs(XtRBoolean), sizeof(Boolean), FIELD(tray), IMMEDIATE(False)},
	{xs("notify"), xs("Notify"), xs(XtRBoolean), sizeof(Boolean), FIELD(notify), IMMEDIATE(False)},
};

#undef FIELD
#undef IMMEDIATE

} // namespace

void openApplication(int *argc, char **argv)
{
	if (*argc > 0 && argv[0])
		invocationName = argv[0];
	toplevel = XtOpenApplication(&appContext, "Boxwarden", options, XtNumber(options), argc, argv, nullptr,
	                             sessionShellWidgetClass, nullptr, 0);
}

void fetchSettings()
{
	XtGetApplicationResources(toplevel, &appResources, resources, XtNumber(resources), nullptr, 0);
}

void dumpSettings()
{
	if (!appResources.debug)
		return;
	std::printf("mailbox %s, pollInterval %d\n", appResources.mailbox, appResources.pollInterval);
	std::printf("newMail %d, fullNames %d\n", appResources.newMail ? 1 : 0, appResources.fullNames ? 1 : 0);
	std::printf("bellVolume %d\n", appResources.bellVolume);
	std::printf("soundFile <%s>\n", appResources.soundFile ? appResources.soundFile : "*none*");
	std::printf("fakeIcon: %s\n", appResources.fakeIcon ? "yes" : "no");
	if (appResources.utf8)
		std::printf("utf8: yes\n");
	if (appResources.urgent)
		std::printf("urgent: yes\n");
	if (appResources.tray)
		std::printf("tray: yes\n");
	if (appResources.notify)
		std::printf("notify: yes\n");
}

void checkSettings()
{
	if (appResources.bellVolume < -kMaxBellVolume || appResources.bellVolume > kMaxBellVolume) {
		std::fprintf(stderr, "%s: bogus value %d for bellVolume\n", invocationName, appResources.bellVolume);
		appResources.bellVolume = kDefaultBellVolume;
	}
	// The summary always holds at least its terminator.
	if (appResources.bufferSize < 1) {
		std::fprintf(stderr, "%s: bogus value %d for bufferSize\n", invocationName, appResources.bufferSize);
		appResources.bufferSize = kDefaultBufferSize;
	}
	if (appResources.utf8)
		appResources.utf8 = chooseUtf8Locale();
	// In a tray the icon is a button that stays, and the list a window
	// of its own, as with a fake icon kept up.
	if (appResources.tray)
		appResources.fakeIcon = appResources.keepIcon = True;
}

int deriveScanFlags()
{
	return (appResources.newMail ? SCAN_NEW_ONLY : 0) | (appResources.fullNames ? SCAN_FULL_NAMES : 0) |
	       (appResources.debug ? SCAN_DEBUG : 0) | (appResources.doMime ? SCAN_MIME : 0) |
	       (appResources.utf8 ? SCAN_UTF8 : 0);
}
