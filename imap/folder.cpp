#include "imap/folder.h"

#include "scanner/scanner.h"
#include "scanner/summary.h"

#include <algorithm>

using std::string;

namespace {

// UIDs asked for in one FETCH.
constexpr std::size_t kFetchBatch = 200;
// UIDs kept from a SEARCH: as many as the largest answer can name, and no
// more however many answers a server sends.
constexpr std::size_t kMostUids = kMaxResponseBytes / 2;

} // namespace

void RemoteFolder::beginRequest(Deadline end)
{
	connection_.setRequestEnd(end);
}

// Logs in, unless there have been logins enough this minute, or, for
// idling, which the helper starts of its own accord, the server ended the
// last connection as soon as it was made: that is a server's way of
// saying no, and asking again at once would make a storm of logins.  The
// watcher's requests come at its own pace.
bool RemoteFolder::connect(Pace pace, string &why)
{
	if (connection_.isOpen())
		return true;
	const auto now = PaceClock::now();
	if (connected_) {
		connected_ = false;
		loginPace_.ended(now, connection_.lastLifetime());
	}
	if ((pace == Pace::idle && now < loginPace_.nextStart()) || now < logins_.nextLogin()) {
		why = "the server ended the last connection at once; waiting before logging in again";
		return false;
	}
	logins_.loggedIn(now);
	serverIdles_.reset();
	idleStarted_ = false;
	// One that cannot be made at all is tried again at the next request.
	connected_ = connection_.open(account_.url, account_.password, account_.caFile, account_.timeout, why);
	return connected_;
}

PaceClock::time_point RemoteFolder::nextIdle() const
{
	PaceClock::time_point next = idlePace_.nextStart();
	if (!connection_.isOpen())
		next = std::max({next, loginPace_.nextStart(), logins_.nextLogin()});
	return next;
}

bool RemoteFolder::leaveIdle(string &why)
{
	idleStarted_ = false; // ended by us, whenever it began
	if (!connection_.idling())
		return true;
	string ignored;
	if (!connection_.stopIdle(why))
		return false;
	auto none = [](Response &&) {};
	if (!run("UNSELECT", none, ignored) && connection_.isOpen())
		run("CLOSE", none, ignored);
	return true;
}

bool RemoteFolder::stopIdle(string &why)
{
	beginRequest(PaceClock::now() + account_.timeout * kAnswersPerRequest);
	return leaveIdle(why);
}

bool RemoteFolder::idle(string &why)
{
	if (connection_.idling())
		return true;
	const auto now = PaceClock::now();
	if (idleStarted_) { // ended by the server, or with its connection
		idleStarted_ = false;
		idlePace_.ended(now, now - idleStartedAt_);
	}
	if (now < idlePace_.nextStart()) {
		why = "the server ended the last IDLE at once; waiting before idling again";
		return false;
	}
	if (idleGivenUp_)
		return true; // polls only
	beginRequest(now + account_.timeout * kAnswersPerRequest);
	if (!connect(Pace::idle, why))
		return false;
	if (!startIdling(why)) {
		idleGivenUp_ = idleGivenUp_ || connection_.misbehaved();
		return false;
	}
	return true;
}

// CAPABILITY (once a connection), then EXAMINE and IDLE where the server
// can idle.
bool RemoteFolder::startIdling(string &why)
{
	if (!serverIdles_) {
		bool idles = false;
		auto capability = [&](Response &&r) {
			idles = idles || (" " + r.text + " ").find(" IDLE ") != string::npos;
		};
		if (!run("CAPABILITY", capability, why))
			return false;
		serverIdles_ = idles;
	}
	if (!*serverIdles_)
		return true; // polls only
	if (!run("EXAMINE " + quoted(account_.url.folder), [](Response &&) {}, why) || !connection_.startIdle(why))
		return false;
	idleStarted_ = true;
	idleStartedAt_ = PaceClock::now();
	return true;
}

bool RemoteFolder::idleNews(bool &changed, string &why)
{
	if (connection_.takeIdleNews(changed, why))
		return true;
	idleGivenUp_ = idleGivenUp_ || connection_.misbehaved();
	return false;
}

bool RemoteFolder::run(const string &command, const Connection::Untagged &untagged, string &why)
{
	const string c = connection_.command(command, untagged, why);
	if (c != "OK" && !c.empty())
		why = "the server refused " + command.substr(0, command.find(' ')) + ": " + why;
	return c == "OK";
}

std::optional<RemoteFolder::Poll> RemoteFolder::poll(Deadline end, string &why)
{
	beginRequest(end);
	std::optional<FolderStatus> now;
	auto status = [&](Response &&r) {
		if (auto s = parseStatus(r))
			now = s;
	};
	if (!leaveIdle(why) || !connect(Pace::request, why) ||
	    !run("STATUS " + quoted(account_.url.folder) + " (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)", status, why))
		return std::nullopt;
	if (!now) {
		why = "the server gave no STATUS";
		return std::nullopt;
	}
	const bool changed = !last_ || !(*last_ == *now);
	last_ = now;
	return Poll{changed, now->messages};
}

// The lines of the messages of uids (sorted, each once) that the server
// answers for, in that order: an answer for a UID not asked, or for one
// already answered, is no message of the listing.
bool RemoteFolder::fetchBatch(std::span<const std::uint32_t> uids, int flags, Summary &summary, string &why)
{
	string set;
	for (std::uint32_t uid : uids) {
		if (!set.empty())
			set += ',';
		set += std::to_string(uid);
	}
	std::vector<std::optional<string>> lines(uids.size());
	std::vector<bool> answered(uids.size());
	auto fetched = [&](Response &&r) {
		auto f = parseFetch(r);
		if (!f)
			return;
		const auto at = std::lower_bound(uids.begin(), uids.end(), f->uid);
		if (at == uids.end() || *at != f->uid || answered[at - uids.begin()])
			return;
		answered[at - uids.begin()] = true;
		if (f->deleted)
			return;
		const bool seen = f->flags.find('S') != string::npos;
		lines[at - uids.begin()] = headerBlockLine(f->header, seen ? f->flags : "", flags);
	};
	if (!run("UID FETCH " + set + " (UID FLAGS BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])", fetched, why))
		return false;
	for (const auto &line : lines)
		if (line)
			appendLine(summary, {*line});
	return true;
}

std::optional<RemoteFolder::Listing> RemoteFolder::read(int flags, int capacity, Deadline end, string &why)
{
	beginRequest(end);
	auto none = [](Response &&) {};
	if (!leaveIdle(why) || !connect(Pace::request, why) || !run("EXAMINE " + quoted(account_.url.folder), none, why))
		return std::nullopt;
	const bool newOnly = flags & SCAN_NEW_ONLY;
	std::vector<std::uint32_t> uids;
	bool tooMany = false;
	auto found = [&](Response &&r) {
		// A number and a blank at least for each UID it may name.
		tooMany = tooMany || uids.size() + (r.text.size() + 1) / 2 > kMostUids;
		if (!tooMany)
			appendSearch(r, uids);
	};
	if (!run(newOnly ? "UID SEARCH UNSEEN NOT DELETED" : "UID SEARCH NOT DELETED", found, why))
		return std::nullopt;
	if (tooMany) {
		why = "the server sent more than any answer needs";
		connection_.close();
		return std::nullopt;
	}
	std::sort(uids.begin(), uids.end());
	uids.erase(std::unique(uids.begin(), uids.end()), uids.end());

	Listing listing{static_cast<int>(std::min<std::size_t>(uids.size(), INT32_MAX)), string(capacity, '\0')};
	Summary summary = startSummary(listing.summary.data(), capacity);
	for (std::size_t at = 0; at < uids.size() && summary.room > 0; at += kFetchBatch) {
		const std::span<const std::uint32_t> batch(uids.data() + at, std::min(kFetchBatch, uids.size() - at));
		if (!fetchBatch(batch, flags, summary, why))
			return std::nullopt;
	}
	listing.summary.resize(summary.length);
	// Left read-only as it was opened; UNSELECT, or CLOSE, which expunges
	// nothing in a folder opened with EXAMINE.
	string ignored;
	if (!run("UNSELECT", none, ignored) && connection_.isOpen())
		run("CLOSE", none, ignored);
	return listing;
}
