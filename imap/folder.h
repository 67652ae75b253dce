// The watched folder on the server, as the watcher asks about it: whether
// it changed since the last poll, and its summary lines.  Nothing on the
// server is ever changed: the folder is looked at with STATUS, opened with
// EXAMINE (read-only) and its headers fetched with BODY.PEEK.
#pragma once

#include "imap/connection.h"
#include "imap/pace.h"
#include "imap/parse.h"
#include "scanner/summary.h"

#include <optional>
#include <span>
#include <string>

struct Account {
	MailboxUrl url;
	std::string password;
	std::string caFile;
	std::chrono::seconds timeout;  // for the connection, the login and every answer
	std::chrono::seconds interval; // between the watcher's polls: the longest wait before a login
};

class RemoteFolder {
public:
	using Deadline = std::chrono::steady_clock::time_point;

	explicit RemoteFolder(Account account)
		: account_(std::move(account)), loginPace_(account_.interval), idlePace_(account_.interval)
	{
	}

	// STATUS: whether MESSAGES, UNSEEN, UIDNEXT or UIDVALIDITY differ from
	// the last poll (the first poll is a change), and the folder's number
	// of messages.  Nothing, with why, when the folder cannot be read now;
	// the next poll connects again.  Nothing waits past end.
	struct Poll {
		bool changed;
		std::uint32_t messages;
	};
	std::optional<Poll> poll(Deadline end, std::string &why);

	// The messages to list (unseen ones, or with allMail all but deleted
	// ones), as the scanner would list them with flags, in UID order,
	// fetched as long as the summary of capacity bytes has room.
	struct Listing {
		int count;
		std::string summary;
	};
	std::optional<Listing> read(int flags, int capacity, Deadline end, std::string &why);

	// Instant notice: between requests the helper idles in the folder (when
	// the server can), and idleNews says whether it has changed.  The
	// socket to wait on, or -1 while not idling.  A server that sends what
	// it may not while idling, or more than any answer needs, is idled
	// with no more: it is polled only, from then on.
	bool idle(std::string &why);
	bool idleNews(bool &changed, std::string &why);
	bool idleGivenUp() const { return idleGivenUp_; }
	// Ends idling (to begin again, as RFC 2177 asks every 29 minutes).
	bool stopIdle(std::string &why);
	int idleSocket() const { return connection_.idling() ? connection_.socket() : -1; }
	// When idle may next try, after a server that ended the last IDLE or
	// connection at once; a time past when it may now.
	PaceClock::time_point nextIdle() const;

private:
	void beginRequest(Deadline end);
	enum class Pace { request, idle };
	bool connect(Pace pace, std::string &why);
	bool leaveIdle(std::string &why);
	bool startIdling(std::string &why);
	bool run(const std::string &command, const Connection::Untagged &untagged, std::string &why);
	bool fetchBatch(std::span<const std::uint32_t> uids, int flags, Summary &summary, std::string &why);

	Account account_;
	Connection connection_;
	std::optional<FolderStatus> last_;
	std::optional<bool> serverIdles_; // on this connection
	// A server that ends connections or IDLE at once is not idled with
	// again at once.
	bool connected_ = false; // a connection was opened, and its end not yet counted
	Backoff loginPace_;
	LoginLimit logins_;
	bool idleStarted_ = false; // an IDLE of ours, whose end is not yet counted
	PaceClock::time_point idleStartedAt_;
	Backoff idlePace_;
	bool idleGivenUp_ = false;
};
