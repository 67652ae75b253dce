#include "imap/folder.h"
#include "imap/password.h"

#include "scanner/scanner.h"
#include "scanner/summary.h"

#include <algorithm>
#include <charconv>
#include <cstring>

using std::string;

namespace {

// UIDs asked for in one FETCH.
constexpr std::size_t kFetchBatch = 200;
// Messages searched in one SEARCH, by their numbers: its answer, of ten
// digits and a blank for each at most, stays well within a response.
constexpr std::uint32_t kSearchBatch = 500000;
static_assert(kSearchBatch * 11 < kMaxResponseBytes);
// UIDs kept from the SEARCHes of one read, however many a server names.
constexpr std::size_t kMostUids = 4 * 1000 * 1000;
// Logins a minute that idling leaves to the watcher's requests.
constexpr int kLoginsForRequests = StartLimit::kStarts / 2;

} // namespace

void RemoteFolder::beginRequest(Deadline end)
{
	requestEnd_ = end;
	connection_.setRequestEnd(end);
}

// The ends, not yet counted, of the last connection and the last IDLE:
// one that came as soon as it began makes idling wait before it begins
// again.
void RemoteFolder::countEnds(PaceClock::time_point now)
{
	if (connected_ && !connection_.isOpen()) {
		connected_ = false;
		loginPace_.ended(now, connection_.lastLifetime());
	}
	if (idleStarted_ && !connection_.idling()) {
		idleStarted_ = false;
		idlePace_.ended(now, now - idleStartedAt_);
	}
}

// Logs in, unless there have been logins enough this minute.  A login that
// fails waits for the next request before idling tries again.
bool RemoteFolder::connect(string &why)
{
	if (connection_.isOpen())
		return true;
	const auto now = PaceClock::now();
	countEnds(now);
	if (now < logins_.nextStart()) {
		why = "ten logins in the last minute; waiting before logging in again";
		return false;
	}
	serverIdles_.reset();
	connected_ = logIn(why);
	idleWaits_ = idleWaits_ || !connected_;
	return connected_;
}

bool RemoteFolder::logIn(string &why)
{
	if (!account_.tokenCommand.empty())
		return logInWithToken(why);
	logins_.started(PaceClock::now());
	return connection_.open(account_.url, account_.password, false, account_.caFile, account_.timeout, why);
}

// A fresh token for each login, as tokens live about an hour; one the
// server refuses may have just run out, so a second is asked for and
// tried, but no more: the next poll tries again.
bool RemoteFolder::logInWithToken(string &why)
{
	for (int attempt = 0; attempt < 2; ++attempt) {
		auto token = findToken(account_.tokenCommand, requestEnd_, why);
		if (!token)
			return false;
		if (account_.tokenTaken)
			account_.tokenTaken(*token);
		logins_.started(PaceClock::now());
		const bool in = connection_.open(account_.url, *token, true, account_.caFile, account_.timeout, why);
		explicit_bzero(token->data(), token->size());
		if (in || !connection_.tokenRefused())
			return in;
	}
	return false;
}

// Idling, which the helper does of its own accord, waits after a server
// ended the last connection or IDLE as soon as it began (a server's way of
// saying no: asking again at once would make a storm of logins), and
// leaves most logins of a minute to the watcher's requests.
PaceClock::time_point RemoteFolder::nextIdle() const
{
	if (idleGivenUp_ || idleWaits_ || (serverIdles_ && !*serverIdles_) || connection_.idling())
		return PaceClock::time_point::max();
	if ((idleStarted_ && !connection_.idling()) || (connected_ && !connection_.isOpen()))
		return PaceClock::time_point::min(); // an end to count first
	PaceClock::time_point next = std::max(idlePace_.nextStart(), idleStarts_.nextStart());
	if (!connection_.isOpen())
		next = std::max({next, loginPace_.nextStart(), logins_.nextStart(kLoginsForRequests)});
	return next;
}

bool RemoteFolder::leaveIdle(string &why)
{
	idleStarted_ = false; // ended by us, whenever it began
	if (!connection_.idling())
		return true;
	string ignored;
	if (!connection_.stopIdle(why)) {
		idleGivenUp_ = idleGivenUp_ || connection_.misbehaved();
		return false;
	}
	auto none = [](Response &&) {};
	if (!run("UNSELECT", none, ignored) && connection_.isOpen())
		run("CLOSE", none, ignored);
	return true;
}

bool RemoteFolder::stopIdle(string &why)
{
	beginRequest(PaceClock::now() + account_.timeout);
	return leaveIdle(why);
}

bool RemoteFolder::idle(const std::function<bool()> &waiting, string &why)
{
	if (connection_.idling())
		return true;
	const auto now = PaceClock::now();
	countEnds(now);
	const auto next = nextIdle();
	if (next == PaceClock::time_point::max())
		return true; // polls only, for now or for good
	if (now < next) {
		why = "the server ended the last IDLE or connection at once; waiting before idling again";
		return false;
	}
	// One answer's time in all: a request may be waiting behind it.
	beginRequest(now + account_.timeout);
	if (!connect(why) || !startIdling(waiting, why)) {
		idleGivenUp_ = idleGivenUp_ || connection_.misbehaved();
		idleWaits_ = true;
		return false;
	}
	return true;
}

// CAPABILITY (once a connection), then EXAMINE and IDLE where the server
// can idle, unless a request has come meanwhile.
bool RemoteFolder::startIdling(const std::function<bool()> &waiting, string &why)
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
	if (!*serverIdles_ || waiting())
		return true; // polls only, or the request first
	if (!run("EXAMINE " + quoted(account_.url.folder), [](Response &&) {}, why))
		return false;
	idleStarts_.started(PaceClock::now());
	if (!connection_.startIdle(why))
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
	idleWaits_ = false;
	std::optional<FolderStatus> now;
	auto status = [&](Response &&r) {
		if (auto s = parseStatus(r))
			now = s;
	};
	// An idling connection that has died meanwhile is made again.
	leaveIdle(why);
	if (!connect(why) ||
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

// The UIDs of the messages to list, a batch of message numbers at a time
// (the last one open-ended, for what came since EXAMINE), so that no
// answer need be large however large the folder.
bool RemoteFolder::search(bool newOnly, std::uint32_t exists, std::vector<std::uint32_t> &uids, string &why)
{
	uids.reserve(std::min<std::size_t>(exists, kMostUids));
	bool tooMany = false;
	auto found = [&](Response &&r) {
		// Counted before they are kept: a server may name any number.
		const auto named = static_cast<std::size_t>(std::count(r.text.begin(), r.text.end(), ' '));
		tooMany = tooMany || uids.size() + named > kMostUids;
		if (tooMany)
			return;
		uids.reserve(uids.size() + named);
		appendSearch(r, uids);
	};
	const string which = newOnly ? "UNSEEN NOT DELETED" : "NOT DELETED";
	for (std::uint32_t first = 1;; first += kSearchBatch) {
		const bool last = exists < kSearchBatch || first > exists - kSearchBatch;
		// An empty folder has no message numbers to name.
		const string set = exists == 0 ? ""
		                   : std::to_string(first) + ":" + (last ? "*" : std::to_string(first + kSearchBatch - 1)) + " ";
		if (!run("UID SEARCH " + set + which, found, why))
			return false;
		if (tooMany) {
			why = "the server sent more than any answer needs";
			connection_.close();
			return false;
		}
		if (last)
			return true;
	}
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

namespace {

// "n EXISTS": the folder's number of messages.
std::optional<std::uint32_t> exists(const Response &r)
{
	const auto space = r.text.find(' ');
	if (r.tag != "*" || space == string::npos || r.text.compare(space, string::npos, " EXISTS") != 0)
		return std::nullopt;
	std::uint32_t n = 0;
	auto [end, error] = std::from_chars(r.text.data(), r.text.data() + space, n);
	if (error != std::errc() || end != r.text.data() + space)
		return std::nullopt;
	return n;
}

} // namespace

std::optional<RemoteFolder::Listing> RemoteFolder::read(int flags, int capacity, Deadline end, string &why)
{
	beginRequest(end);
	idleWaits_ = false;
	std::uint32_t messages = 0;
	auto examined = [&](Response &&r) {
		if (auto n = exists(r))
			messages = *n;
	};
	leaveIdle(why); // and made again, if it died meanwhile
	if (!connect(why) || !run("EXAMINE " + quoted(account_.url.folder), examined, why))
		return std::nullopt;
	std::vector<std::uint32_t> uids;
	if (!search(flags & SCAN_NEW_ONLY, messages, uids, why))
		return std::nullopt;
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
	auto none = [](Response &&) {};
	if (!run("UNSELECT", none, ignored) && connection_.isOpen())
		run("CLOSE", none, ignored);
	return listing;
}
