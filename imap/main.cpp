// boxwarden-imap: the watcher's helper for a mailbox on an IMAP server.
//
// The watcher starts it for an imap:// or imaps:// mailbox and talks to it
// over a pipe, so that a stranger's server bytes are parsed here, never in
// the process that holds the X connection, and the watcher never waits on
// the network.  It can be run by hand too:
//
//   boxwarden-imap [-name NAME] [-flags N] [-capacity BYTES]
//                  [-passwordCommand COMMAND] [-caFile FILE] [-timeout SECONDS] URL
//
// Requests come on standard input, a line each:
//   poll    answered "status CHANGED MESSAGES"
//   read    answered "list COUNT BYTES" and then BYTES of summary lines
// Either is answered "failed" while the folder cannot be read.  Trouble is
// told on standard error once when it starts and once when it is over.
#include "imap/folder.h"
#include "imap/password.h"
#include "scanner/scanner.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

using std::string;

namespace {

constexpr int kDefaultCapacity = 32000;

struct Options {
	string name = "boxwarden-imap";
	int flags = SCAN_NEW_ONLY | SCAN_MIME;
	int capacity = kDefaultCapacity;
	string passwordCommand;
	string caFile;
	int timeout = 30;
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
		else if (arg == "-timeout" && hasValue)
			o.timeout = std::max(1, std::atoi(argv[++i]));
		else if (o.url.empty() && arg[0] != '-')
			o.url = arg;
		else
			return false;
	}
	return !o.url.empty();
}

// Tells of trouble once, and once of its end.
class Trouble {
public:
	Trouble(string name, string url) : name_(std::move(name)), url_(std::move(url)) {}
	void started(const string &why)
	{
		if (!in_)
			std::fprintf(stderr, "%s: %s: %s\n", name_.c_str(), url_.c_str(), why.c_str());
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
		                     "[-caFile FILE] [-timeout SECONDS] imaps://[user@]host[:port][/folder]\n", argv[0]);
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
	for (string request; std::getline(std::cin, request);) {
		if (!folder) {
			if (auto password = findPassword(*url, o.passwordCommand, why))
				folder.emplace(Account{*url, *password, o.caFile, std::chrono::seconds(o.timeout)});
		}
		if (folder && request == "poll") {
			if (auto p = folder->poll(why)) {
				trouble.over();
				answer("status " + std::to_string(p->changed) + " " + std::to_string(p->messages) + "\n");
				continue;
			}
		} else if (folder && request == "read") {
			if (auto l = folder->read(o.flags, o.capacity, why)) {
				trouble.over();
				answer("list " + std::to_string(l->count) + " " + std::to_string(l->summary.size()) + "\n", l->summary);
				continue;
			}
		} else if (folder) {
			why = "unknown request " + request.substr(0, 20);
		}
		trouble.started(why);
		answer("failed\n");
	}
	return 0;
}
