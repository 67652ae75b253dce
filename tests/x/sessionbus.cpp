#include "tests/x/sessionbus.h"

#include <systemd/sd-bus.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

using std::string;
using std::vector;

namespace {

// A session bus that starts no service of its own: a call to a name that
// no one holds fails at once, as on a desktop with no notification server.
const char *const kConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

bool waitFor(const std::function<bool()> &ready)
{
	const auto end = Clock::now() + kPatience;
	while (!ready()) {
		if (Clock::now() > end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

} // namespace

SessionBus::SessionBus()
{
	string config = kConfig;
	config.replace(config.find("@SOCKET@"), 8, dir_.sub("bus"));
	dir_.write("bus.conf", config);
	address_ = "unix:path=" + dir_.sub("bus");
	start();
}

SessionBus::~SessionBus()
{
	stopProcess(pid_);
}

void SessionBus::start()
{
	std::filesystem::remove(dir_.sub("bus"));
	pid_ = spawn({"dbus-daemon", "--nofork", "--config-file=" + dir_.sub("bus.conf")}, {}, "/dev/null",
	             dir_.sub("bus.log"));
	waitFor([&] { return std::filesystem::exists(dir_.sub("bus")); });
}

void SessionBus::stop()
{
	if (pid_ > 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
		pid_ = -1;
	}
	std::filesystem::remove(dir_.sub("bus")); // no bus at all
}

string SessionBus::run(const string &command) const
{
	const string out = dir_.sub("run.out");
	pid_t pid = spawn({"sh", "-c", command}, {"DBUS_SESSION_BUS_ADDRESS=" + address_}, out);
	int status = 0;
	waitpid(pid, &status, 0);
	string text = readFile(out);
	std::filesystem::remove(out);
	return text;
}

Dunst::Dunst(XSession &x, SessionBus &bus, bool markup) : bus_(bus)
{
	// Its own HOME: no configuration of the developer's; shown until
	// closed, so that a test reads what is on screen at its own pace.
	dir_.write("dunstrc", string("[global]\n    font = Monospace 8\n    markup = ") + (markup ? "full" : "no") +
	                              "\n[urgency_normal]\n    timeout = 0\n");
	pid_ = spawn({"dunst", "-config", dir_.sub("dunstrc")},
	             {"DISPLAY=" + x.displayName(), "DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "HOME=" + dir_.path()},
	             dir_.sub("dunst.out"), dir_.sub("dunst.err"));
	waitFor([&] { return bus_.run("dunstctl is-paused 2>/dev/null") == "false\n"; });
}

Dunst::~Dunst()
{
	stopProcess(pid_);
}

string Dunst::history()
{
	bus_.run("dunstctl close-all");
	return bus_.run("dunstctl history");
}

void Dunst::invokeAction()
{
	bus_.run("dunstctl action 0");
}

BusMonitor::BusMonitor(SessionBus &bus)
{
	pid_ = spawn({"dbus-monitor", "interface='org.freedesktop.Notifications'", "type='method_return'"},
	             {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}, dir_.sub("monitor"), "/dev/null");
	// It tells of its own name first.
	waitFor([&] { return readFile(dir_.sub("monitor")).find("NameAcquired") != string::npos; });
}

BusMonitor::~BusMonitor()
{
	stopProcess(pid_);
}

namespace {

// The messages of a dbus-monitor log: each its header line and its
// arguments, one an item (an item may hold lines of its own).
struct Logged {
	string head;
	vector<string> items;
};

bool isHead(const string &line)
{
	for (const char *kind : {"method call ", "method return ", "signal ", "error "})
		if (line.starts_with(kind))
			return true;
	return false;
}

vector<Logged> loggedMessages(const string &log)
{
	vector<Logged> messages;
	std::istringstream in(log);
	string line;
	while (std::getline(in, line)) {
		if (isHead(line)) {
			messages.push_back({line, {}});
		} else if (!messages.empty()) {
			// An argument starts three blanks in; deeper lines, and the
			// lines of a string that holds line breaks, go on the last.
			auto &items = messages.back().items;
			if (line.size() > 3 && line.compare(0, 3, "   ") == 0 && line[3] != ' ' && line[3] != ']')
				items.push_back(line.substr(3));
			else if (!items.empty())
				items.back() += "\n" + line;
		}
	}
	return messages;
}

string field(const string &head, const string &name)
{
	std::smatch m;
	if (std::regex_search(head, m, std::regex(" " + name + "=([^ ;]*)")))
		return m[1];
	return "";
}

// `string "..."`: what is between the quotes, line breaks and all.
string stringValue(const string &item)
{
	const auto open = item.find('"'), close = item.rfind('"');
	return open == string::npos || close <= open ? "" : item.substr(open + 1, close - open - 1);
}

long numberValue(const string &item)
{
	std::istringstream in(item.substr(item.find(' ') + 1));
	long value = 0;
	in >> value;
	return value;
}

// A call whose arguments are all in the log so far.
bool isWhole(const Logged &m)
{
	return m.items.size() >= 8;
}

// The hints, a word at a time (std::regex recurses once a character, and
// the picture's bytes are thousands): `string "key" variant` and then
// `string "value"`, `byte N`, or image-data's struct of six numbers and
// its array of bytes.
void readHints(const string &hints, NotifyCall &call)
{
	std::istringstream in(hints);
	const auto quoted = [&in] {
		string word;
		in >> std::ws;
		std::getline(in, word, '"');
		std::getline(in, word, '"');
		return word;
	};
	for (string word; in >> word;) {
		if (word != "string")
			continue;
		const string key = quoted();
		string variant, type;
		if (!(in >> variant >> type) || variant != "variant")
			continue;
		if (type == "string") {
			call.hints[key] = quoted();
		} else if (type == "byte") {
			in >> call.hints[key];
		} else if (type == "struct" && key == "image-data") {
			string brace, name;
			in >> brace;
			for (int i = 0; i < 6 && in >> name; ++i) {
				string value;
				in >> value;
				call.imageHead.push_back(name == "boolean" ? value == "true" : std::stol(value));
			}
			in >> word >> word >> word >> brace; // array of bytes [
			for (string byte; in >> byte && byte != "]";)
				call.image.push_back(static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
		}
	}
}

NotifyCall notifyCall(const Logged &m)
{
	NotifyCall call;
	call.app = stringValue(m.items[0]);
	call.replaces = static_cast<unsigned long>(numberValue(m.items[1]));
	call.icon = stringValue(m.items[2]);
	call.summary = stringValue(m.items[3]);
	call.body = stringValue(m.items[4]);
	const std::regex quoted("string \"([^\"]*)\"");
	for (std::sregex_iterator i(m.items[5].begin(), m.items[5].end(), quoted), end; i != end; ++i)
		call.actions.push_back((*i)[1]);
	readHints(m.items[6], call);
	call.expire = numberValue(m.items[7]);
	return call;
}

bool isNotify(const Logged &m)
{
	return m.head.starts_with("method call ") && field(m.head, "member") == "Notify";
}

} // namespace

vector<NotifyCall> BusMonitor::calls() const
{
	vector<NotifyCall> calls;
	for (const Logged &m : loggedMessages(readFile(dir_.sub("monitor"))))
		if (isNotify(m) && isWhole(m))
			calls.push_back(notifyCall(m));
	return calls;
}

bool BusMonitor::waitForCalls(std::size_t count) const
{
	return waitFor([&] { return calls().size() >= count; });
}

vector<unsigned long> BusMonitor::answers() const
{
	const vector<Logged> messages = loggedMessages(readFile(dir_.sub("monitor")));
	vector<unsigned long> ids;
	for (const Logged &call : messages) {
		if (!isNotify(call))
			continue;
		for (const Logged &m : messages)
			if (m.head.starts_with("method return ") && field(m.head, "reply_serial") == field(call.head, "serial") &&
			    field(m.head, "destination") == field(call.head, "sender") && !m.items.empty())
				ids.push_back(static_cast<unsigned long>(numberValue(m.items[0])));
	}
	return ids;
}

BusClient::BusClient(const SessionBus &bus)
{
	if (sd_bus_new(&bus_) < 0)
		return;
	if (sd_bus_set_address(bus_, bus.address().c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
	    sd_bus_start(bus_) < 0)
		bus_ = sd_bus_close_unref(bus_);
}

BusClient::~BusClient()
{
	sd_bus_close_unref(bus_);
}

bool BusClient::takeServerName()
{
	return bus_ && sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0;
}

unsigned BusClient::notifyAsAnother()
{
	if (!bus_)
		return 0;
	sd_bus_message *reply = nullptr;
	sd_bus_error error = SD_BUS_ERROR_NULL;
	unsigned id = 0;
	if (sd_bus_call_method(bus_, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
	                       "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i", "another",
	                       0u, "", "another program", "its own news", 2, "default", "Open", 1, "urgency", "y", 2, -1) >= 0)
		sd_bus_message_read(reply, "u", &id);
	sd_bus_message_unref(reply);
	sd_bus_error_free(&error);
	return id;
}

void BusClient::forgeAction(unsigned id)
{
	if (bus_)
		sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked",
		                   "us", id, "default");
	sd_bus_flush(bus_);
}

void BusClient::forgeActionTo(pid_t pid, unsigned id)
{
	if (!bus_)
		return;
	// The bus name of the process, among all the bus knows.
	sd_bus_message *names = nullptr;
	sd_bus_error error = SD_BUS_ERROR_NULL;
	string target;
	if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
	                       "ListNames", &error, &names, "") >= 0 &&
	    sd_bus_message_enter_container(names, 'a', "s") >= 0) {
		for (const char *name = nullptr; target.empty() && sd_bus_message_read(names, "s", &name) > 0;) {
			sd_bus_message *owner = nullptr;
			std::uint32_t owned = 0;
			if (name[0] == ':' &&
			    sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
			                       "GetConnectionUnixProcessID", nullptr, &owner, "s", name) >= 0 &&
			    sd_bus_message_read(owner, "u", &owned) > 0 && owned == static_cast<std::uint32_t>(pid))
				target = name;
			sd_bus_message_unref(owner);
		}
	}
	sd_bus_message_unref(names);
	sd_bus_error_free(&error);
	sd_bus_message *m = nullptr;
	if (!target.empty() &&
	    sd_bus_message_new_signal(bus_, &m, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
	                              "ActionInvoked") >= 0 &&
	    sd_bus_message_set_destination(m, target.c_str()) >= 0 && sd_bus_message_append(m, "us", id, "default") >= 0)
		sd_bus_send(bus_, m, nullptr);
	sd_bus_message_unref(m);
	sd_bus_flush(bus_);
}
