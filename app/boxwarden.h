// The watcher's settings, scan flags and widgets, shared by start-up, the
// window event handlers and the rescan cycle.  All are process-wide, set
// up once at start-up and kept until the process ends.
#pragma once

#include <X11/Intrinsic.h>

// Filled from the resource table; read-only after start-up, where only an
// out-of-range bellVolume or bufferSize is reset to its default, and utf8
// turned off when there is no UTF-8 locale.
struct AppResources {
	int pollInterval;         // seconds between polls
	String mailbox;           // mailbox file or MH folder, used as given
	Pixel iconForeground;     // icon colours, no-mail look
	Pixel iconBackground;
	Pixel iconMailForeground; // icon colours, mail look
	Pixel iconMailBackground;
	Pixmap mailBitmap;
	Pixmap nomailBitmap;
	Boolean silent;           // never ring the bell
	int bellVolume;           // -100 to 100 percent
	String soundFile;         // shown in the settings dump, nothing else
	int bufferSize;           // summary buffer, bytes
	Boolean newMail;          // list and count only messages without a status
	Boolean fullNames;
	Boolean debug;            // trace lines on standard output
	Boolean setTitle;
	Boolean doMime;
	Boolean fakeIcon;         // the icon is a window of its own with a button
	Boolean keepIcon;         // fake icon: it stays up while the list shows
	Boolean utf8;             // the international list; false when no UTF-8 locale is there
	Boolean instant;          // rescan as soon as the mailbox changes
	String passwordCommand;   // an IMAP mailbox: prints the password
	String tokenCommand;      // an IMAP mailbox: prints an OAuth 2.0 access token
	String caFile;            // an IMAP mailbox: the CA of a private server
	Boolean urgent;           // new mail sets the windows' urgency hint
	Boolean tray;             // the icon lives in the system tray; implies fakeIcon and keepIcon
	Boolean notify;           // new mail is told in a desktop notification too
};

// The toolkit takes writable strings where it never writes them.
constexpr char *xtString(const char *s)
{
	return const_cast<char *>(s);
}

extern AppResources appResources;
extern int scanFlags;
extern const char *invocationName;

extern XtAppContext appContext;
extern Widget toplevel;  // the application shell
extern Widget listShell; // toplevel itself, or "boxwardenList" with a fake icon
extern Widget iconShell; // "boxwardenIcon"
extern Widget viewport;
extern Widget messages;  // the label that shows the summary
extern Widget icon;      // a label, or a command button with a fake icon

// Settings: the option and resource tables and what is done with them.
void openApplication(int *argc, char **argv);
void fetchSettings();
void dumpSettings();
void checkSettings();
int deriveScanFlags();

// Window events.
void iconCallback(Widget w, XtPointer clientData, XtPointer callData);
void listEventHandler(Widget w, XtPointer clientData, XEvent *event, Boolean *continueToDispatch);
void iconEventHandler(Widget w, XtPointer clientData, XEvent *event, Boolean *continueToDispatch);
void viewportEventHandler(Widget w, XtPointer clientData, XEvent *event, Boolean *continueToDispatch);
// The list shown and raised, as asked from outside the windows (a
// notification's action): mapped if it was not, in every mode.
void bringListForward();

// The list font's charset, which gates the decoding of header words.
void readFontCharset();

// The international list: a UTF-8 locale for its text, and a label that
// draws it through a font set.
bool chooseUtf8Locale();
Widget createInternationalLabel(Widget parent);
