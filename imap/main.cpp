// boxwarden-imap: the watcher's helper for a mailbox on an IMAP server.
//
// The watcher starts it for an imap:// or imaps:// mailbox and talks to it
// over a pipe, so that a stranger's server bytes are parsed here, never in
// the process that holds the X connection, and the watcher never waits on
// the network.  It can be run by hand too:
//
//   boxwarden-imap [-name NAME] [-flags N] [-capacity BYTES] [-instant]
//                  [-passwordCommand COMMAND] [-caFile FILE] [-timeout SECONDS] URL
//
// Requests come on standard input, a line each:
//   poll    answered "status CHANGED MESSAGES"
//   read    answered "list COUNT BYTES" and then BYTES of summary lines
// Either is answered "failed" while the folder cannot be read.  Trouble is
// told on standard error once when it starts and once when it is over.
// With -instant the helper idles in the folder between requests, where the
// server can, and writes "changed" as soon as the server tells of a change.
#include "imap/folder.h"
#include "imap/limits.h"
#include "imap/password.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>
#include <string>

using std::string;

namespace {

constexpr int kDefaultCapacity = 32000;
constexpr std::size_t kLongestRequest = 64;
constexpr int kLongestTimeout = 3600; // seconds
// RFC 2177: a client idles no longer than 29 minutes at a time.
constexpr std::chrono::minutes kIdleRenewal{29};

struct Options {
	string name = "boxwarden-imap";
	int flags = SCAN_NEW_ONLY | SCAN_MIME;
	int capacity = kDefaultCapacity;
	string passwordCommand;
	string caFile;
	int timeout = static_cast<int>(kAnswerTime.count());
	bool instant = false;
	string url;
};

bool parseOptions(int argc, char **argv, Options &o)
{
	for (int i = 1; i < argc; ++i) {
		const string arg = argv[i];
		const bool hasValue = i + 1 < argc;
		if (arg == "-name" && hasValue)
			o.name = argv[++i];
		else if (arg == "-flags" && hasValue)
			o.flags = std::atoi(argv[++i]);
		else if (arg == "-capacity" && hasValue)
			o.capacity = std::max(1, std::atoi(argv[++i]));
		else if (arg == "-passwordCommand" && hasValue)
			o.passwordCommand = argv[++i];
		else if (arg == "-caFile" && hasValue)
			o.caFile = argv[++i];
		else if (arg == "-instant")
			o.instant = true;
		else if (arg == "-timeout" && hasValue)
			o.timeout = std::clamp(std::atoi(argv[++i]), 1, kLongestTimeout);
		else if (o.url.empty() && arg[0] != '-')
			o.url = arg;
		else
			return false;
	}
	return !o.url.empty();
}

// A reason as a warning may show it: a server's words are a stranger's,
// so no control character (a terminal would obey it), no more than a line,
// and never the password, should a server send it back.
string shown(string why, const string &password)
{
	constexpr std::size_t kLongestReason = 200;
	if (!password.empty())
		for (auto at = why.find(password); at != string::npos; at = why.find(password))
			why.replace(at, password.size(), "...");
	if (why.size() > kLongestReason)
		why.resize(kLongestReason);
	for (char &c : why)
		if (static_cast<unsigned char>(c) < ' ' || c == 0x7f)
			c = '?';
	return why;
}

// Tells of trouble once, and once of its end.
class Trouble {
public:
	Trouble(string name, string url) : name_(std::move(name)), url_(std::move(url)) {}
	void started(const string &why, const string &password)
	{
		if (!in_)
			std::fprintf(stderr, "%s: %s: %s\n", name_.c_str(), url_.c_str(), shown(why, password).c_str());
		in_ = true;
	}
	void over()
	{
		if (in_)
			std::fprintf(stderr, "%s: %s: can be read again\n", name_.c_str(), url_.c_str());
		in_ = false;
	}

private:
	string name_, url_;
	bool in_ = false;
};

void answer(const string &head, const string &payload = "")
{
	std::fwrite(head.data(), 1, head.size(), stdout);
	std::fwrite(payload.data(), 1, payload.size(), stdout);
	std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
	// A server that drops the connection must not end the helper: a write
	// to it fails, and the next poll connects again.
	std::signal(SIGPIPE, SIG_IGN);
	Options o;
	if (!parseOptions(argc, argv, o)) {
		std::fprintf(stderr, "usage: %s [-name NAME] [-flags N] [-capacity BYTES] [-passwordCommand COMMAND] "
		                     "[-caFile FILE] [-timeout SECONDS] [-instant] imaps://[user@]host[:port][/folder]\n", argv[0]);
		return 2;
	}
	string why;
	auto url = parseMailboxUrl(o.url, why);
	if (!url) {
		std::fprintf(stderr, "%s: %s\n", o.name.c_str(), why.c_str());
		return 2;
	}
	Trouble trouble(o.name, shownUrl(*url));
	std::optional<RemoteFolder> folder;
	string password;
	auto handle = [&](const string &request) {
		if (!folder) {
			if (auto found = findPassword(*url, o.passwordCommand, why)) {
				password = *found;
				folder.emplace(Account{*url, *found, o.caFile, std::chrono::seconds(o.timeout)});
			}
		}
		if (folder && request == "poll") {
			if (auto p = folder->poll(why)) {
				trouble.over();
				answer("status " + std::to_string(p->changed) + " " + std::to_string(p->messages) + "\n");
				return;
			}
		} else if (folder && request == "read") {
			if (auto l = folder->read(o.flags, o.capacity, why)) {
				trouble.over();
				answer("list " + std::to_string(l->count) + " " + std::to_string(l->summary.size()) + "\n",
				       l->summary);
				return;
			}
		} else if (folder) {
			why = "unknown request " + request.substr(0, 20);
		}
		trouble.started(why, password);
		answer("failed\n");
	};

	string requests;
	auto renewal = std::chrono::steady_clock::now() + kIdleRenewal;
	for (;;) {
		// Idling waits for the next request; trouble with it is told
		// by the poll that follows.
		string ignored;
		if (o.instant && folder && folder->idleSocket() < 0 && folder->idle(ignored)) {
			renewal = std::chrono::steady_clock::now() + kIdleRenewal;
			bool changed = false;
			if (folder->idleNews(changed, ignored) && changed)
				answer("changed\n");
		}
		const int socket = folder ? folder->idleSocket() : -1;
		pollfd fds[2] = {{0, POLLIN, 0}, {socket, POLLIN, 0}};
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(renewal - std::chrono::steady_clock::now());
		const int ready = poll(fds, socket >= 0 ? 2 : 1, socket >= 0 ? static_cast<int>(std::max<long long>(0, left.count())) : -1);
		if (ready < 0 && errno != EINTR)
			return 1;
		if (socket >= 0 && fds[1].revents) {
			bool changed = false;
			if (folder->idleNews(changed, ignored) && changed)
				answer("changed\n");
		} else if (socket >= 0 && ready == 0) {
			folder->stopIdle(ignored); // and idle again
		}
		if (fds[0].revents) {
			char buf[4096];
			const ssize_t n = read(0, buf, sizeof buf);
			if (n <= 0 && !(n < 0 && errno == EINTR))
				return 0; // the watcher has gone
			requests.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
			for (auto nl = requests.find('\n'); nl != string::npos; nl = requests.find('\n')) {
				handle(requests.substr(0, nl));
				requests.erase(0, nl + 1);
			}
			if (requests.size() > kLongestRequest)
				requests.clear();
		}
	}
	return 0;
}
