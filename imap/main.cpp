// boxwarden-imap: the watcher's helper for a mailbox on an IMAP server.
//
// The watcher starts it for an imap:// or imaps:// mailbox and talks to it
// over a pipe, so that a stranger's server bytes are parsed here, never in
// the process that holds the X connection, and the watcher never waits on
// the network.  It can be run by hand too:
//
//   boxwarden-imap [-name NAME] [-flags N] [-capacity BYTES] [-charset CHARSET]
//                  [-instant] [-interval SECONDS] [-passwordCommand COMMAND]
//                  [-tokenCommand COMMAND] [-caFile FILE] [-timeout SECONDS] URL
//
// Requests come on standard input, a line each:
//   poll    answered "status CHANGED MESSAGES"
//   read    answered "list COUNT BYTES" and then BYTES of summary lines
// Either is answered "failed" while the folder cannot be read.  Trouble is
// told on standard error once when it starts and once when it is over.
// With -instant the helper idles in the folder between requests, where the
// server can, and writes "changed" as soon as the server tells of a change
// (once until the next request).
//
// With -tokenCommand the helper logs in with OAuth 2.0, with an access
// token that the command prints, fresh for each login; the password is
// then never looked for.
//
// Every request is bounded in time, finding the password or the token
// included, and all the helper holds of what a server sends is bounded in
// bytes.  It holds the password or a token, so it never leaves a core file.
#include "decode/decode.h"
#include "imap/folder.h"
#include "imap/limits.h"
#include "imap/password.h"
#include "imap/trouble.h"
#include "scanner/scanner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

using std::string;

namespace {

constexpr int kDefaultCapacity = 32000;
constexpr std::size_t kLongestRequest = 64;
constexpr int kLongestTimeout = 3600;  // seconds
constexpr int kDefaultInterval = 67;   // the watcher's own default
constexpr int kLongestInterval = 3600; // seconds
// RFC 2177: a client idles no longer than 29 minutes at a time.
constexpr std::chrono::minutes kIdleRenewal{29};

struct Options {
	string name = "boxwarden-imap";
	int flags = SCAN_NEW_ONLY | SCAN_MIME;
	int capacity = kDefaultCapacity;
	string charset; // the list font's, which Q-encoded words must be in to be decoded
	string passwordCommand;
	string tokenCommand;
	string caFile;
	int timeout = static_cast<int>(kAnswerTime.count());
	int interval = kDefaultInterval;
	bool instant = false;
	string url;
};

// "iso-8859-" and a digit, as the watcher derives it from its font.
bool setCharset(const string &charset)
{
	if (charset.size() != 10 || charset.compare(0, 9, "iso-8859-") != 0)
		return false;
	const char digit[] = {charset[9], '\0'};
	setFontCharset("iso8859", digit);
	return fontCharset[0] != '\0';
}

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
		else if (arg == "-charset" && hasValue && setCharset(argv[i + 1]))
			o.charset = argv[++i];
		else if (arg == "-passwordCommand" && hasValue)
			o.passwordCommand = argv[++i];
		else if (arg == "-tokenCommand" && hasValue)
			o.tokenCommand = argv[++i];
		else if (arg == "-caFile" && hasValue)
			o.caFile = argv[++i];
		else if (arg == "-instant")
			o.instant = true;
		else if (arg == "-timeout" && hasValue)
			o.timeout = std::clamp(std::atoi(argv[++i]), 1, kLongestTimeout);
		else if (arg == "-interval" && hasValue)
			o.interval = std::clamp(std::atoi(argv[++i]), 1, kLongestInterval);
		else if (o.url.empty() && arg[0] != '-')
			o.url = arg;
		else
			return false;
	}
	return !o.url.empty();
}

// The helper's memory holds the password: no core file may take it, nor
// anyone attach to read it.
void keepMemoryPrivate()
{
	const rlimit none{0, 0};
	setrlimit(RLIMIT_CORE, &none);
	prctl(PR_SET_DUMPABLE, 0);
}

// Ended (by the watcher, or with it: it asks for SIGTERM when it goes), the
// helper takes a password command that is running with it.
void endedBySignal(int signal)
{
	endPasswordCommand();
	std::signal(signal, SIG_DFL);
	raise(signal);
}

void catchEndingSignals()
{
	// A server that drops the connection must not end the helper: a write
	// to it fails, and the next poll connects again.
	std::signal(SIGPIPE, SIG_IGN);
	for (int s : {SIGTERM, SIGINT, SIGHUP})
		std::signal(s, endedBySignal);
}

void answer(const string &head, const string &payload = "")
{
	std::fwrite(head.data(), 1, head.size(), stdout);
	std::fwrite(payload.data(), 1, payload.size(), stdout);
	std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
	keepMemoryPrivate();
	catchEndingSignals();
	if (!startCurl()) {
		std::fprintf(stderr, "%s: cannot start libcurl\n", argv[0]);
		return 1;
	}
	Options o;
	if (!parseOptions(argc, argv, o)) {
		std::fprintf(stderr, "usage: %s [-name NAME] [-flags N] [-capacity BYTES] [-charset iso-8859-N] "
		                     "[-passwordCommand COMMAND] [-tokenCommand COMMAND] [-caFile FILE] [-timeout SECONDS] [-interval SECONDS] "
		                     "[-instant] imaps://[user@]host[:port][/folder]\n", argv[0]);
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
	const std::chrono::seconds timeout(o.timeout);
	bool toldOfChange = false; // since the last request
	bool toldOfIdling = false;
	auto handle = [&](const string &request) {
		toldOfChange = false;
		const auto end = std::chrono::steady_clock::now() + timeout * kAnswersPerRequest;
		if (!folder && !o.tokenCommand.empty()) {
			auto masked = [&](const string &token) { trouble.keepToken(url->user, url->host, url->port, token); };
			folder.emplace(Account{*url, "", o.caFile, timeout, std::chrono::seconds(o.interval), o.tokenCommand,
			                       masked});
		} else if (!folder) {
			if (auto found = findPassword(*url, o.passwordCommand, end, why)) {
				trouble.keepSecret(url->user, *found);
				folder.emplace(Account{*url, std::move(*found), o.caFile, timeout, std::chrono::seconds(o.interval), "", {}});
			}
		}
		if (folder && request == "poll") {
			if (auto p = folder->poll(end, why)) {
				trouble.over();
				answer("status " + std::to_string(p->changed) + " " + std::to_string(p->messages) + "\n");
				return;
			}
		} else if (folder && request == "read") {
			if (auto l = folder->read(o.flags, o.capacity, end, why)) {
				trouble.over();
				answer("list " + std::to_string(l->count) + " " + std::to_string(l->summary.size()) + "\n",
				       l->summary);
				return;
			}
		} else if (folder) {
			why = "unknown request " + request.substr(0, 20);
		}
		trouble.started(why);
		answer("failed\n");
	};
	// Idling, and the news it brings.  A server that stops idling, or
	// drops the connection, is idled with again at the next chance, and
	// the trouble, if any, is told by the poll that follows; one that
	// misbehaved is polled only, and that is told once.
	auto idleTrouble = [&](const string &idleWhy) {
		if (folder->idleGivenUp() && !toldOfIdling)
			trouble.tell("while idling: " + trouble.shown(idleWhy) + "; the folder is only polled from now on");
		toldOfIdling = toldOfIdling || folder->idleGivenUp();
	};
	auto takeNews = [&] {
		bool changed = false;
		string idleWhy;
		if (!folder->idleNews(changed, idleWhy))
			idleTrouble(idleWhy);
		if (changed && !toldOfChange)
			answer("changed\n");
		toldOfChange = toldOfChange || changed;
	};

	// A request that has come goes ahead of idling.
	auto requestWaiting = [] {
		pollfd p{0, POLLIN, 0};
		return poll(&p, 1, 0) > 0;
	};

	string requests;
	auto renewal = std::chrono::steady_clock::now() + kIdleRenewal;
	for (;;) {
		const auto now = std::chrono::steady_clock::now();
		if (o.instant && folder && folder->idleSocket() < 0 && folder->nextIdle() <= now && !requestWaiting()) {
			string idleWhy;
			if (folder->idle(requestWaiting, idleWhy)) {
				renewal = now + kIdleRenewal;
				if (folder->idleSocket() >= 0)
					takeNews(); // what came with the go-ahead
			} else {
				idleTrouble(idleWhy);
			}
		}
		// Idling, the helper waits for requests, news and the renewal;
		// not idling, for requests, and with -instant for the moment it
		// may idle again.
		const int socket = folder ? folder->idleSocket() : -1;
		auto wakeAt = std::chrono::steady_clock::time_point::max();
		if (socket >= 0)
			wakeAt = renewal;
		else if (o.instant && folder)
			wakeAt = folder->nextIdle();
		int wait = -1;
		if (const auto at = std::chrono::steady_clock::now(); wakeAt <= at) {
			wait = 0;
		} else if (wakeAt != std::chrono::steady_clock::time_point::max()) {
			const auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - at);
			wait = static_cast<int>(std::min<long long>(left.count(), 60 * 60 * 1000));
		}
		pollfd fds[2] = {{0, POLLIN, 0}, {socket, POLLIN, 0}};
		const int ready = poll(fds, socket >= 0 ? 2 : 1, wait);
		if (ready < 0 && errno != EINTR)
			return 1;
		string ignored;
		if (socket >= 0 && fds[1].revents)
			takeNews();
		else if (socket >= 0 && ready == 0 && std::chrono::steady_clock::now() >= renewal)
			folder->stopIdle(ignored); // and idle again
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
