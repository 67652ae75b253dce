// notify: new mail told in a desktop notification, through the freedesktop
// notification server on the session bus.
//
// The bus is sd-bus's, its socket one more input of the toolkit's loop and
// its deadlines one more timer, and every call is asynchronous: a server
// that is slow, or takes a call and never answers, delays no poll, bell or
// window.  One Notify is in flight at a time; news that comes meanwhile
// waits, the newest only, so a server that never answers holds one call
// and one notification at most.  Trouble (no bus, no server, a bus that
// went away) is told once, until a notification goes through again; the
// next new mail tries again.
#include "app/boxwarden.h"
#include "decode/charset.h"
#include "decode/decode.h"
#include "decode/utf8.h"
#include "desktop/desktop.h"
#include "desktop/news.h"
#include "monitor/monitor.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>

using std::string;

namespace {

constexpr const char *kServer = "org.freedesktop.Notifications";
constexpr const char *kPath = "/org/freedesktop/Notifications";
constexpr const char *kInterface = kServer;
// The bus's word that the server's name changed hands; of no other name's,
// which would wake the watcher for every program that comes and goes.
constexpr const char *kOwnerChanged = "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                      "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                      "arg0='org.freedesktop.Notifications'";
// A server that has not answered by then is taken as none.
constexpr std::uint64_t kAnswerMicroseconds = 10'000'000;
// sd-bus bounds a call by that only once the bus has answered its Hello;
// a bus that connects and then says nothing is given up a little later.
constexpr unsigned long kBusPatienceMilliseconds = kAnswerMicroseconds / 1000 + 2000;
// Messages taken from the bus before the window gets its turn: a peer
// that floods the bus with signals must not hold the event loop.
constexpr int kStepsAtOnce = 64;
// The picture, as the taskbar's mail look at this size.
constexpr unsigned kImageSide = 48;
// Of a server's or the bus's reason for trouble, at most this much is told.
constexpr std::size_t kReasonBytes = 200;

struct Notifier {
	sd_bus *bus = nullptr;
	XtInputId reading = 0;
	XtInputId writing = 0;
	XtIntervalId timer = 0;
	bool asking = false;  // GetCapabilities sent, not answered yet
	bool known = false;   // what the server can do: asked and answered
	bool actions = false; // it can take "Show"
	bool markup = false;  // it reads markup in the body
	bool sending = false; // a Notify not answered yet
	bool waiting = false; // news to tell once the server can be asked
	News news;
	// The server that answered GetCapabilities, by its unique name: calls
	// go to it alone, and only its signals count.  Another that takes the
	// name is asked anew.
	string server;
	std::uint32_t shown = 0;   // our notification on screen, 0 for none
	XtIntervalId patience = 0; // runs out when GetCapabilities has no answer
	bool told = false;       // of trouble, since the last notification went through
	// The summary a rescan last took in, whose lines are not news.
	string before;
	int countBefore = 0;
};

Notifier n;

void complain(const char *what, std::string_view reason)
{
	if (n.told)
		return;
	n.told = true;
	string shown;
	appendForTerminal(shown, reason.substr(0, kReasonBytes));
	std::fprintf(stderr, "%s: %s (%s); notifications are sent again once it answers\n", invocationName, what,
	             shown.c_str());
}

void refused(const sd_bus_error *error)
{
	n.known = false;
	n.waiting = false;
	const char *reason = !error ? "an answer from no one" : error->message ? error->message
	                                                      : error->name    ? error->name
	                                                                       : "";
	// A bus that went away answers every call so: told once it is dropped.
	if (sd_bus_is_open(n.bus) > 0)
		complain("no notification server answers on the session bus", reason);
}

void sendNews();

// What the server said of itself no longer holds: another may have the
// name now, with other capabilities and ids of its own.
void forgetServer()
{
	n.known = false;
	n.server.clear();
	n.shown = 0;
}

void endPatience()
{
	if (n.patience)
		XtRemoveTimeOut(n.patience);
	n.patience = 0;
}

int onCapabilities(sd_bus_message *m, void *, sd_bus_error *)
{
	n.asking = false;
	endPatience();
	if (const sd_bus_error *error = sd_bus_message_get_error(m)) {
		refused(error);
		return 0;
	}
	const char *sender = sd_bus_message_get_sender(m);
	if (!sender || sender[0] != ':') {
		refused(nullptr);
		return 0;
	}
	if (n.server != sender)
		n.shown = 0;
	n.server = sender;
	n.actions = n.markup = false;
	if (sd_bus_message_enter_container(m, 'a', "s") >= 0) {
		const char *capability = nullptr;
		while (sd_bus_message_read(m, "s", &capability) > 0) {
			n.actions = n.actions || std::strcmp(capability, "actions") == 0;
			n.markup = n.markup || std::strcmp(capability, "body-markup") == 0;
		}
	}
	n.known = true;
	sendNews();
	return 0;
}

int onNotified(sd_bus_message *m, void *, sd_bus_error *)
{
	n.sending = false;
	if (const sd_bus_error *error = sd_bus_message_get_error(m)) {
		refused(error);
		return 0;
	}
	std::uint32_t id = 0;
	if (sd_bus_message_read(m, "u", &id) > 0)
		n.shown = id;
	n.told = false;
	sendNews(); // what came meanwhile
	return 0;
}

// ActionInvoked and NotificationClosed, of ours only, from our server
// only: a signal sent straight to the watcher reaches it whatever the
// match says, so the sender is looked at here.
int onSignal(sd_bus_message *m, void *, sd_bus_error *)
{
	const char *sender = sd_bus_message_get_sender(m);
	if (n.server.empty() || !sender || n.server != sender)
		return 0;
	std::uint32_t id = 0;
	if (sd_bus_message_is_signal(m, kInterface, "ActionInvoked")) {
		const char *key = nullptr;
		if (sd_bus_message_read(m, "us", &id, &key) > 0 && n.shown != 0 && id == n.shown &&
		    std::strcmp(key, "default") == 0)
			bringListForward();
	} else if (sd_bus_message_is_signal(m, kInterface, "NotificationClosed")) {
		std::uint32_t reason = 0;
		if (sd_bus_message_read(m, "uu", &id, &reason) > 0 && id == n.shown)
			n.shown = 0;
	}
	return 0;
}

// The look's mail picture, as (iiibiiay): width, height, row stride,
// alpha, bits a sample, samples a pixel, the RGB bytes.
int appendImage(sd_bus_message *m)
{
	std::vector<std::uint8_t> rgb;
	rgb.reserve(3 * kImageSide * kImageSide);
	for (std::uint32_t pixel : lookImage(true, kImageSide, kImageSide))
		rgb.insert(rgb.end(), {static_cast<std::uint8_t>(pixel >> 16), static_cast<std::uint8_t>(pixel >> 8),
		                       static_cast<std::uint8_t>(pixel)});
	const int side = kImageSide;
	int r = sd_bus_message_open_container(m, 'e', "sv");
	if (r >= 0)
		r = sd_bus_message_append(m, "s", "image-data");
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'v', "(iiibiiay)");
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'r', "iiibiiay");
	if (r >= 0)
		r = sd_bus_message_append(m, "iiibii", side, side, 3 * side, 0, 8, 3);
	if (r >= 0)
		r = sd_bus_message_append_array(m, 'y', rgb.data(), rgb.size());
	for (int i = 0; i < 3 && r >= 0; ++i)
		r = sd_bus_message_close_container(m);
	return r;
}

// Notify(app_name, replaces_id, app_icon, summary, body, actions, hints,
// expire_timeout).
int makeNotify(sd_bus_message **m)
{
	const string headline = newsHeadline(n.news), body = newsBody(n.news, n.markup);
	int r = sd_bus_message_new_method_call(n.bus, m, n.server.c_str(), kPath, kInterface, "Notify");
	if (r >= 0)
		r = sd_bus_message_append(*m, "susss", "Boxwarden", n.shown, "", headline.c_str(), body.c_str());
	if (r >= 0)
		r = n.actions ? sd_bus_message_append(*m, "as", 2, "default", "Show") : sd_bus_message_append(*m, "as", 0);
	if (r >= 0)
		r = sd_bus_message_open_container(*m, 'a', "{sv}");
	if (r >= 0)
		r = sd_bus_message_append(*m, "{sv}{sv}{sv}", "category", "s", "email.arrived", "desktop-entry", "s",
		                          "boxwarden", "urgency", "y", 1);
	if (r >= 0)
		r = appendImage(*m);
	if (r >= 0)
		r = sd_bus_message_close_container(*m);
	if (r >= 0)
		r = sd_bus_message_append(*m, "i", -1); // the server's own expiry
	return r;
}

void sendNews()
{
	if (!n.waiting || !n.known || n.sending || !n.bus)
		return;
	n.waiting = false;
	sd_bus_message *m = nullptr;
	int r = makeNotify(&m);
	if (r >= 0)
		r = sd_bus_call_async(n.bus, nullptr, m, onNotified, nullptr, 0);
	sd_bus_message_unref(m);
	if (r < 0) {
		complain("cannot send a notification", std::strerror(-r));
		return;
	}
	n.sending = true;
	if (appResources.debug)
		std::printf("Notify: %s\n", newsHeadline(n.news).c_str());
}

void dropBus(int error, const char *what);

// The bus took the call and nothing came back in time, not even an error:
// the bus itself is not answering.  The next new mail connects again.
void onNoAnswer(XtPointer, XtIntervalId *)
{
	n.patience = 0;
	if (n.asking && n.bus)
		dropBus(ETIMEDOUT, "the session bus does not answer");
}

void askCapabilities()
{
	if (n.asking || n.known)
		return;
	const int r = sd_bus_call_method_async(n.bus, nullptr, kServer, kPath, kInterface, "GetCapabilities",
	                                       onCapabilities, nullptr, "");
	if (r < 0) {
		complain("cannot ask the notification server", std::strerror(-r));
		return;
	}
	n.asking = true;
	endPatience();
	n.patience = XtAppAddTimeOut(appContext, kBusPatienceMilliseconds, onNoAnswer, nullptr);
}

// The server's name changed hands (or was let go): whoever has it now is
// asked anew before anything is sent.
int onOwnerChanged(sd_bus_message *m, void *, sd_bus_error *)
{
	const char *sender = sd_bus_message_get_sender(m);
	const char *name = nullptr;
	if (sender && std::strcmp(sender, "org.freedesktop.DBus") == 0 && sd_bus_message_read(m, "s", &name) > 0 &&
	    std::strcmp(name, kServer) == 0)
		forgetServer();
	return 0;
}

void pumpBus();

void onBusInput(XtPointer, int *, XtInputId *)
{
	pumpBus();
}

void onBusTimer(XtPointer, XtIntervalId *)
{
	n.timer = 0;
	pumpBus();
}

void setTimer(unsigned long milliseconds)
{
	if (n.timer)
		XtRemoveTimeOut(n.timer);
	n.timer = XtAppAddTimeOut(appContext, milliseconds, onBusTimer, nullptr);
}

// The toolkit watches the socket for what sd-bus waits for (writing only
// while it has something to write) and wakes at its next deadline.
void watchBus(bool more)
{
	const int fd = sd_bus_get_fd(n.bus);
	const int events = sd_bus_get_events(n.bus);
	if (fd < 0 || events < 0)
		return;
	if (!n.reading)
		n.reading = XtAppAddInput(appContext, fd, reinterpret_cast<XtPointer>(XtInputReadMask), onBusInput, nullptr);
	const bool write = events & POLLOUT;
	if (write && !n.writing)
		n.writing = XtAppAddInput(appContext, fd, reinterpret_cast<XtPointer>(XtInputWriteMask), onBusInput, nullptr);
	else if (!write && n.writing) {
		XtRemoveInput(n.writing);
		n.writing = 0;
	}
	std::uint64_t at = 0;
	if (more)
		setTimer(0);
	else if (sd_bus_get_timeout(n.bus, &at) >= 0 && at != UINT64_MAX) {
		timespec now{};
		clock_gettime(CLOCK_MONOTONIC, &now);
		const std::uint64_t usec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
		setTimer(at > usec ? static_cast<unsigned long>((at - usec + 999) / 1000) : 0);
	} else if (n.timer) {
		XtRemoveTimeOut(n.timer);
		n.timer = 0;
	}
}

void dropBus(int error, const char *what)
{
	if (n.reading)
		XtRemoveInput(n.reading);
	if (n.writing)
		XtRemoveInput(n.writing);
	if (n.timer)
		XtRemoveTimeOut(n.timer);
	n.reading = n.writing = 0;
	n.timer = 0;
	endPatience();
	n.bus = sd_bus_close_unref(n.bus);
	n.asking = n.sending = n.waiting = false;
	forgetServer();
	complain(what, std::strerror(error));
}

void pumpBus()
{
	for (int step = 0; step < kStepsAtOnce; ++step) {
		const int r = sd_bus_process(n.bus, nullptr);
		if (r < 0) {
			dropBus(-r, "the session bus went away");
			return;
		}
		if (r == 0) {
			watchBus(false);
			return;
		}
	}
	watchBus(true);
}

bool connectBus()
{
	sd_bus *bus = nullptr;
	int r = sd_bus_open_user(&bus);
	if (r >= 0)
		r = sd_bus_set_method_call_timeout(bus, kAnswerMicroseconds);
	if (r >= 0)
		r = sd_bus_match_signal_async(bus, nullptr, kServer, kPath, kInterface, nullptr, onSignal, nullptr, nullptr);
	if (r >= 0)
		r = sd_bus_add_match_async(bus, nullptr, kOwnerChanged, onOwnerChanged, nullptr, nullptr);
	if (r < 0) {
		sd_bus_close_unref(bus);
		complain("cannot reach the session bus", r == -ENOMEDIUM ? "no address for it" : std::strerror(-r));
		return false;
	}
	n.bus = bus;
	return true;
}

// The charset of the list's bytes: the list font's, or none when they are
// UTF-8 already.
const Charset *listCharset()
{
	if (appResources.utf8)
		return nullptr;
	return findCharset(fontCharset[0] ? fontCharset.data() : "iso-8859-1");
}

void tell(News news)
{
	n.news = std::move(news);
	n.waiting = true;
	if (!n.bus && !connectBus()) {
		n.waiting = false;
		return;
	}
	askCapabilities();
	sendNews();
	watchBus(false);
}

} // namespace

void startNotifications()
{
	if (!connectBus())
		return;
	askCapabilities();
	watchBus(false);
}

void noteSummary(bool ring)
{
	if (mailCount < 0)
		return; // a mailbox that could not be read: what was there still is
	const std::string_view now(summary);
	if (ring) {
		News news = findNews(n.before, n.countBefore, now, mailCount, listCharset());
		if (news.count > 0)
			tell(std::move(news));
	}
	if (now != n.before)
		n.before.assign(now);
	n.countBefore = mailCount;
}
