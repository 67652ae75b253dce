// The watched folder on the server, as the watcher asks about it: whether
// it changed since the last poll, and its summary lines.  Nothing on the
// server is ever changed: the folder is looked at with STATUS, opened with
// EXAMINE (read-only) and its headers fetched with BODY.PEEK.
#pragma once

#include "imap/connection.h"
#include "imap/pace.h"
#include "imap/parse.h"
#include "scanner/summary.h"

#include <functional>
#include <optional>
#include <span>
#include <string>

struct Account {
	MailboxUrl url;
	std::string password; // unless there is a tokenCommand
	std::string caFile;
	std::chrono::seconds timeout;  // for the connection, the login and every answer
	std::chrono::seconds interval; // between the watcher's polls: the longest wait before idling again
	// OAuth 2.0: the command that prints an access token, run for each
	// login, and what is told each token it prints (to mask it).
	std::string tokenCommand;
	std::function<void(const std::string &)> tokenTaken;
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

	// Instant notice: between requests the helper idles in the folder, where
	// the server can, and idleNews says whether it has changed.  Starting
	// takes one answer's time at most, and gives way to a request that
	// comes meanwhile (waiting, when asked, says whether one has).  The
	// helper idles of its own accord, so it does so with care: not again
	// at once with a server that ended the last connection or IDLE as soon
	// as it began, nor with one that could not be reached or read, until
	// the next request; and a server that sends what it may not while
	// idling, or more than any answer needs, is only polled from then on.
	bool idle(const std::function<bool()> &waiting, std::string &why);
	bool idleNews(bool &changed, std::string &why);
	bool idleGivenUp() const { return idleGivenUp_; }
	// Ends idling, to begin again, as RFC 2177 asks every 29 minutes.
	bool stopIdle(std::string &why);
	// The socket to wait on, or -1 while not idling.
	int idleSocket() const { return connection_.idling() ? connection_.socket() : -1; }
	// When idle should next be called: at once (a time past) after an IDLE
	// that the server ended, later while waiting after a quick end, and
	// never (the latest time) while idling needs a request first.
	PaceClock::time_point nextIdle() const;

private:
	bool connect(std::string &why);
	bool logIn(std::string &why);
	bool logInWithToken(std::string &why);
	void countEnds(PaceClock::time_point now);
	void beginRequest(Deadline end);
	bool leaveIdle(std::string &why);
	bool startIdling(const std::function<bool()> &waiting, std::string &why);
	bool run(const std::string &command, const Connection::Untagged &untagged, std::string &why);
	bool search(bool newOnly, std::uint32_t exists, std::vector<std::uint32_t> &uids, std::string &why);
	bool fetchBatch(std::span<const std::uint32_t> uids, int flags, Summary &summary, std::string &why);

	Account account_;
	Connection connection_;
	Deadline requestEnd_{};
	std::optional<FolderStatus> last_;
	std::optional<bool> serverIdles_; // on this connection
	// The pace of logins and of IDLE.
	bool connected_ = false; // a connection was opened, and its end not yet counted
	Backoff loginPace_;
	StartLimit logins_;
	bool idleStarted_ = false; // an IDLE of ours, whose end is not yet counted
	PaceClock::time_point idleStartedAt_;
	Backoff idlePace_;
	StartLimit idleStarts_;
	bool idleWaits_ = false; // for the next request
	bool idleGivenUp_ = false;
};
