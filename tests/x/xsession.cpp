#include "tests/x/xsession.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using std::string;
using std::vector;

namespace {

int ignoreXErrors(Display *, XErrorEvent *)
{
	return 0;
}

} // namespace

pid_t spawn(const vector<string> &argv, const vector<string> &env, const string &out, const string &err,
            const string &cwd)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	setpgid(0, 0);
	if (!cwd.empty() && chdir(cwd.c_str()) != 0)
		_exit(126);
	int in = open("/dev/null", O_RDONLY);
	int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	dup2(in, 0);
	dup2(o, 1);
	dup2(e, 2);
	for (const string &assignment : env)
		putenv(strdup(assignment.c_str()));
	vector<char *> args;
	for (const string &arg : argv)
		args.push_back(const_cast<char *>(arg.c_str()));
	args.push_back(nullptr);
	execvp(args[0], args.data());
	_exit(127);
}

void stopProcess(pid_t &pid)
{
	if (pid <= 0)
		return;
	kill(-pid, SIGTERM);
	kill(pid, SIGTERM);
	for (int i = 0; i < 200; ++i) {
		if (waitpid(pid, nullptr, WNOHANG) == pid) {
			pid = -1;
			return;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	kill(-pid, SIGKILL);
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	pid = -1;
}

XSession::XSession(WindowManager manager, int depth)
{
	unsetenv("DISPLAY"); // nothing here may reach a real display
	startServer(depth);
	if (manager != WindowManager::none)
		startWindowManager(manager);
}

XSession::~XSession()
{
	if (display_)
		XCloseDisplay(display_);
	stopProcess(windowManager_);
	stopProcess(server_);
}

void XSession::startServer(int depth)
{
	int fds[2];
	if (pipe(fds) != 0)
		throw std::runtime_error("pipe failed");
	server_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x" + std::to_string(depth),
	                 "-nolisten", "tcp", "-noreset"},
	                {}, dir_.sub("xvfb.log"), dir_.sub("xvfb.log"));
	close(fds[1]);
	string number;
	pollfd p{fds[0], POLLIN, 0};
	while (number.find('\n') == string::npos && poll(&p, 1, 10000) > 0) {
		char buf[16];
		ssize_t n = read(fds[0], buf, sizeof buf);
		if (n <= 0)
			break;
		number.append(buf, static_cast<std::size_t>(n));
	}
	close(fds[0]);
	if (number.find('\n') == string::npos)
		throw std::runtime_error("Xvfb did not start: " + readFile(dir_.sub("xvfb.log")));
	displayName_ = ":" + number.substr(0, number.find('\n'));
	display_ = XOpenDisplay(displayName_.c_str());
	if (!display_)
		throw std::runtime_error("cannot open " + displayName_);
	XSetErrorHandler(ignoreXErrors);

	int opcode, errorBase, major = XkbMajorVersion, minor = XkbMinorVersion;
	if (!XkbQueryExtension(display_, &opcode, &xkbEventBase_, &errorBase, &major, &minor))
		throw std::runtime_error("no XKB on " + displayName_);
	XkbSelectEvents(display_, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask);
	XSync(display_, False);
}

void XSession::startWindowManager(WindowManager manager)
{
	// openbox with its packaged configuration only (HOME is a folder of
	// the test's own); it runs its startup command once it manages
	// windows.  A client mapped before that may never be managed.  The
	// others take their packaged configurations too.
	const string ready = dir_.sub("openbox.ready");
	vector<string> argv;
	switch (manager) {
	case WindowManager::none:
		return;
	case WindowManager::twm:
		argv = {"twm", "-f", BOXWARDEN_TWMRC};
		break;
	case WindowManager::openbox:
		argv = {"openbox", "--startup", "touch " + ready};
		break;
	case WindowManager::fluxbox:
		argv = {"fluxbox"};
		break;
	case WindowManager::fvwm:
		argv = {"fvwm"};
		break;
	case WindowManager::icewm:
		argv = {"icewm"};
		break;
	}
	windowManager_ = spawn(argv, {"DISPLAY=" + displayName_, "LANG=C", "LC_ALL=C", "HOME=" + dir_.path()},
	                       dir_.sub("wm.log"), dir_.sub("wm.log"));
	// A window manager holds the root's substructure redirection.  It is
	// looked for among every client's event masks: selecting it here to
	// see whether that fails would, for a moment, make this process the
	// window manager and turn twm away.
	bool managed = waitUntil([&] {
		return (attributes(DefaultRootWindow(display_)).all_event_masks & SubstructureRedirectMask) &&
		       (manager != WindowManager::openbox || std::filesystem::exists(ready));
	});
	if (!managed)
		throw std::runtime_error(argv[0] + " did not start: " + readFile(dir_.sub("wm.log")));
}

void XSession::killServer()
{
	if (server_ > 0)
		kill(server_, SIGKILL);
	waitpid(server_, nullptr, 0);
	server_ = -1;
	display_ = nullptr; // its connection is gone with it; never closed
}

int XSession::run(const string &command) const
{
	pid_t pid = spawn({"sh", "-c", command}, {"DISPLAY=" + displayName_}, dir_.sub("commands.log"),
	                  dir_.sub("commands.log"));
	int status = 0;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void XSession::pumpEvents()
{
	if (!display_)
		return;
	while (XPending(display_)) {
		XEvent event;
		XNextEvent(display_, &event);
		if (event.type != xkbEventBase_)
			continue;
		auto *xkb = reinterpret_cast<XkbEvent *>(&event);
		if (xkb->any.xkb_type == XkbBellNotify)
			bells_.push_back(xkb->bell.percent);
	}
}

bool XSession::waitUntil(const std::function<bool()> &ready, std::chrono::milliseconds patience)
{
	const auto deadline = Clock::now() + patience;
	for (;;) {
		pumpEvents();
		if (ready())
			return true;
		if (Clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

vector<Window> XSession::children(Window w)
{
	Window root, parent, *kids = nullptr;
	unsigned int count = 0;
	vector<Window> result;
	if (XQueryTree(display_, w, &root, &parent, &kids, &count)) {
		result.assign(kids, kids + count);
		XFree(kids);
	}
	return result;
}

Window XSession::parent(Window w)
{
	Window root = 0, up = 0, *kids = nullptr;
	unsigned int count = 0;
	if (!XQueryTree(display_, w, &root, &up, &kids, &count))
		return 0;
	if (kids)
		XFree(kids);
	return up == root ? 0 : up;
}

vector<unsigned long> XSession::cardinals(Window w, const string &property)
{
	std::ostringstream command;
	command << "xprop -id " << w << " -notype 32c " << property;
	FILE *pipe = popen(("DISPLAY=" + displayName_ + " " + command.str()).c_str(), "r");
	string text;
	char buf[65536];
	for (std::size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
		text.append(buf, n);
	if (pipe)
		pclose(pipe);
	vector<unsigned long> numbers;
	const auto equals = text.find(" = ");
	if (equals == string::npos)
		return numbers;
	std::istringstream in(text.substr(equals + 3));
	for (string word; std::getline(in, word, ',');)
		numbers.push_back(std::stoul(word));
	return numbers;
}

vector<Window> XSession::clients(const string &instance)
{
	vector<Window> found, pending{DefaultRootWindow(display_)};
	while (!pending.empty()) {
		Window w = pending.back();
		pending.pop_back();
		XClassHint hint{};
		if (XGetClassHint(display_, w, &hint)) {
			if (hint.res_name && instance == hint.res_name)
				found.push_back(w);
			XFree(hint.res_name);
			XFree(hint.res_class);
		}
		for (Window child : children(w))
			pending.push_back(child);
	}
	return found;
}

Window XSession::findClient(const string &instance)
{
	const vector<Window> found = clients(instance);
	return found.empty() ? 0 : found.front();
}

Window XSession::waitForShown(const string &instance)
{
	Window w = 0;
	return waitUntil([&] { return (w = findClient(instance)) && isViewable(w); }) ? w : 0;
}

int XSession::wmState(Window w)
{
	Atom wmState = XInternAtom(display_, "WM_STATE", False);
	Atom type;
	int format;
	unsigned long items, after;
	unsigned char *data = nullptr;
	int state = WithdrawnState;
	if (XGetWindowProperty(display_, w, wmState, 0, 2, False, wmState, &type, &format, &items, &after, &data) ==
	            Success &&
	    data && items >= 1)
		state = static_cast<int>(reinterpret_cast<long *>(data)[0]);
	if (data)
		XFree(data);
	return state;
}

XWindowAttributes XSession::attributes(Window w)
{
	XWindowAttributes attributes{};
	XGetWindowAttributes(display_, w, &attributes);
	return attributes;
}

bool XSession::isViewable(Window w)
{
	return w && attributes(w).map_state == IsViewable;
}

string XSession::wmName(Window w)
{
	char *name = nullptr;
	string result;
	if (XFetchName(display_, w, &name) && name) {
		result = name;
		XFree(name);
	}
	return result;
}

XWMHints XSession::wmHints(Window w)
{
	XWMHints result{};
	if (XWMHints *hints = XGetWMHints(display_, w)) {
		result = *hints;
		XFree(hints);
	}
	return result;
}

unsigned long XSession::pixel(Window w, int x, int y)
{
	XImage *image = XGetImage(display_, w, x, y, 1, 1, AllPlanes, ZPixmap);
	if (!image)
		return ~0ul;
	unsigned long value = XGetPixel(image, 0, 0);
	XDestroyImage(image);
	return value;
}

vector<unsigned long> XSession::image(Window w)
{
	XWindowAttributes a = attributes(w);
	vector<unsigned long> pixels;
	XImage *image = XGetImage(display_, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
	                          AllPlanes, ZPixmap);
	if (!image)
		return pixels;
	for (int y = 0; y < a.height; ++y)
		for (int x = 0; x < a.width; ++x)
			pixels.push_back(XGetPixel(image, x, y));
	XDestroyImage(image);
	// Pixels as colours, asked of the colormap once each: at depth 24
	// they are the same, at 16 and 8 they are not.
	if (a.depth != 24) {
		std::map<unsigned long, unsigned long> rgb;
		for (unsigned long p : pixels)
			rgb.emplace(p, 0);
		vector<XColor> colours;
		for (const auto &[p, unused] : rgb)
			colours.push_back(XColor{p, 0, 0, 0, 0, 0});
		XQueryColors(display_, a.colormap, colours.data(), static_cast<int>(colours.size()));
		for (const XColor &c : colours)
			rgb[c.pixel] = static_cast<unsigned long>(c.red >> 8) << 16 | static_cast<unsigned long>(c.green >> 8) << 8 |
			               static_cast<unsigned long>(c.blue >> 8);
		for (unsigned long &p : pixels)
			p = rgb[p];
	}
	return pixels;
}

TrayProcess::TrayProcess(XSession &x, TrayKind kind, bool wait) : x_(x), kind_(kind)
{
	vector<string> argv;
	switch (kind) {
	case TrayKind::trayer:
		argv = {"trayer", "--edge", "top", "--align", "right", "--height", "24", "--widthtype", "request"};
		break;
	case TrayKind::tint2:
		argv = {"tint2"}; // its packaged configuration, which has a tray
		break;
	case TrayKind::wmdocker:
		argv = {"wmdocker"};
		break;
	}
	pid_ = spawn(argv, {"DISPLAY=" + x.displayName(), "HOME=" + dir_.path()}, dir_.sub("tray.log"),
	             dir_.sub("tray.log"));
	if (!wait)
		return;
	// Up once it holds the tray's selection.
	const Atom selection = XInternAtom(x.display(), "_NET_SYSTEM_TRAY_S0", False);
	if (!x.waitUntil([&] { return XGetSelectionOwner(x.display(), selection) != 0; }))
		throw std::runtime_error(argv[0] + " did not start: " + readFile(dir_.sub("tray.log")));
}

TrayProcess::~TrayProcess()
{
	stopProcess(pid_);
}

void TrayProcess::stop()
{
	if (pid_ > 0)
		kill(pid_, SIGKILL);
	stopProcess(pid_);
}

Window TrayProcess::window()
{
	// WM_CLASS "panel", "trayer"; "tint2", "Tint2"; "docker", "Docker"
	switch (kind_) {
	case TrayKind::trayer:
		return x_.findClient("panel");
	case TrayKind::tint2:
		return x_.findClient("tint2");
	case TrayKind::wmdocker:
		break;
	}
	return x_.findClient("docker");
}

Watcher::Watcher(XSession &x, const string &dir, const vector<string> &args, const vector<string> &prefix)
	: x_(x), dir_(dir)
{
	vector<string> argv = prefix;
	argv.push_back(BOXWARDEN_BINARY);
	argv.insert(argv.end(), args.begin(), args.end());
	std::filesystem::remove(dir_ + "/out");
	std::filesystem::remove(dir_ + "/err");
	// Only the display, the installed-to-be application defaults and a
	// fixed time zone: no resources of the developer's own.
	pid_ = spawn(argv,
	             {"DISPLAY=" + x.displayName(), "TZ=UTC", "HOME=" + dir_, "LANG=C", "LC_ALL=C",
	              "XFILESEARCHPATH=" BOXWARDEN_APP_DEFAULTS, "XUSERFILESEARCHPATH=", "XENVIRONMENT=" + dir_ + "/none",
	              "XAPPLRESDIR=" + dir_ + "/none/"},
	             dir_ + "/out", dir_ + "/err", dir_);
}

Watcher::~Watcher()
{
	stopProcess(pid_);
}

string Watcher::out() const
{
	return readFile(dir_ + "/out");
}

string Watcher::err() const
{
	return readFile(dir_ + "/err");
}

bool Watcher::waitForOutput(const string &text, int count)
{
	return x_.waitUntil([&] { return occurrences(out(), text) >= count; });
}

bool Watcher::running()
{
	if (pid_ <= 0)
		return false;
	int status;
	if (waitpid(pid_, &status, WNOHANG) == pid_) {
		status_ = status;
		pid_ = -1;
		return false;
	}
	return true;
}

int Watcher::exitStatus()
{
	if (pid_ > 0) {
		waitpid(pid_, &status_, 0);
		pid_ = -1;
	}
	return status_;
}

void setMtime(const string &path, long mtime)
{
	const timespec times[2] = {{mtime, 0}, {mtime, 0}};
	utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void waitForNextSecond()
{
	const auto now = std::chrono::system_clock::now().time_since_epoch();
	std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1));
}

void writeMailbox(const string &path, const string &bytes, long mtime)
{
	const string aside = path + ".new~";
	std::ofstream(aside, std::ios::binary | std::ios::trunc) << bytes;
	setMtime(aside, mtime);
	std::filesystem::rename(aside, path);
}

namespace {

// Whether every process of the group is stopped (or gone).
bool allStopped(pid_t group)
{
	for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
		const string stat = readFile(entry.path().string() + "/stat");
		const auto end = stat.rfind(')'); // of the command's name, which may hold anything
		if (end == string::npos)
			continue;
		std::istringstream fields(stat.substr(end + 1));
		char state = 0;
		long parent = 0, processGroup = 0;
		if (fields >> state >> parent >> processGroup && processGroup == group && state != 'T' &&
		    state != 't' && state != 'Z' && state != 'X')
			return false;
	}
	return true;
}

} // namespace

HeldStill::HeldStill(pid_t group) : group_(group)
{
	kill(-group_, SIGSTOP);
	// The signal is only sent: a process in a system call ends it first.
	const auto start = Clock::now();
	while (!allStopped(group_)) {
		if (Clock::now() - start > kPatience) {
			kill(-group_, SIGCONT);
			throw std::runtime_error("process group " + std::to_string(group_) + " does not stop");
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
}

HeldStill::~HeldStill()
{
	kill(-group_, SIGCONT);
}

string message(const string &sender, const string &subject, bool read)
{
	return "From " + sender + " Mon Dec  7 10:00:00 2026\nFrom: " + sender + "\nSubject: " + subject + "\n" +
	       (read ? "Status: RO\n" : "") + "\nbody\n\n";
}

int occurrences(const string &text, const string &what)
{
	int n = 0;
	for (auto at = text.find(what); at != string::npos; at = text.find(what, at + what.size()))
		++n;
	return n;
}
