// A session bus of the test's own (dbus-daemon), a notification server on
// it (dunst, on the test's display), and dbus-monitor to read the exact
// arguments of every Notify call; each stopped at the end.
#pragma once

#include "tests/fixture.h"
#include "tests/x/xsession.h"

#include <map>
#include <string>
#include <vector>

class SessionBus {
public:
	SessionBus(); // started, at a socket of its own
	~SessionBus();
	SessionBus(const SessionBus &) = delete;
	SessionBus &operator=(const SessionBus &) = delete;

	// "unix:path=...": the same for a bus started again.
	const std::string &address() const { return address_; }
	// Stopped as a crash would, and started again at the same address.
	void stop();
	void start();
	// The watcher's environment, for Watcher's prefix.
	std::vector<std::string> environment() const { return {"env", "DBUS_SESSION_BUS_ADDRESS=" + address_}; }
	// A command run through sh with the bus in its environment; its output.
	std::string run(const std::string &command) const;

private:
	TempDir dir_;
	std::string address_;
	pid_t pid_ = -1;
};

// dunst on the session's display, serving the bus.
class Dunst {
public:
	// markup: whether it reads markup in a body (and says so), as it does
	// unless configured otherwise.
	Dunst(XSession &x, SessionBus &bus, bool markup = true);
	~Dunst();
	Dunst(const Dunst &) = delete;
	Dunst &operator=(const Dunst &) = delete;
	// `dunstctl history` once everything shown is closed: what dunst showed,
	// as JSON.
	std::string history();
	// Invokes the default action of the first notification shown.
	void invokeAction();

private:
	SessionBus &bus_;
	TempDir dir_;
	pid_t pid_ = -1;
};

// A client of the test's own on the bus, through sd-bus.
struct sd_bus;
class BusClient {
public:
	explicit BusClient(const SessionBus &bus);
	~BusClient();
	BusClient(const BusClient &) = delete;
	BusClient &operator=(const BusClient &) = delete;
	// Takes the notification server's name and never answers a call made
	// to it: this client reads nothing from the bus from then on.
	bool takeServerName();
	// A notification of another program's, with a default action, critical
	// (so that dunst shows it first); its id, 0 if the call failed.
	unsigned notifyAsAnother();
	// ActionInvoked(id, "default") sent to all, as a server would send it,
	// or straight to the bus name of the process pid.
	void forgeAction(unsigned id);
	void forgeActionTo(pid_t pid, unsigned id);

private:
	sd_bus *bus_ = nullptr;
};

// A Notify call as dbus-monitor printed it.
struct NotifyCall {
	std::string app;
	unsigned long replaces = 0;
	std::string icon, summary, body;
	std::vector<std::string> actions;
	std::map<std::string, std::string> hints; // strings and bytes, as printed
	// image-data: width, height, row stride, alpha, bits, channels, bytes.
	std::vector<long> imageHead;
	std::vector<unsigned char> image;
	long expire = 0;
};

// The Notify calls, and their answers, on the bus while this lives.
class BusMonitor {
public:
	explicit BusMonitor(SessionBus &bus);
	~BusMonitor();
	BusMonitor(const BusMonitor &) = delete;
	BusMonitor &operator=(const BusMonitor &) = delete;
	std::vector<NotifyCall> calls() const;
	// Waits until there are count calls at least; false if there never are.
	bool waitForCalls(std::size_t count) const;
	// The ids the server answered with, in order.
	std::vector<unsigned long> answers() const;

private:
	TempDir dir_;
	pid_t pid_ = -1;
};
