#include "imap/folder.h"

#include "scanner/scanner.h"
#include "scanner/summary.h"

#include <algorithm>

using std::string;

namespace {

// UIDs asked for in one FETCH.
constexpr std::size_t kFetchBatch = 200;

} // namespace

void RemoteFolder::beginRequest()
{
	connection_.setRequestEnd(std::chrono::steady_clock::now() + account_.timeout * kAnswersPerRequest);
}

bool RemoteFolder::connect(string &why)
{
	if (connection_.isOpen())
		return true;
	serverIdles_.reset();
	return connection_.open(account_.url, account_.password, account_.caFile, account_.timeout, why);
}

bool RemoteFolder::leaveIdle(string &why)
{
	if (!connection_.idling())
		return true;
	std::vector<Response> untagged;
	string ignored;
	if (!connection_.stopIdle(why))
		return false;
	if (!run("UNSELECT", untagged, ignored) && connection_.isOpen())
		run("CLOSE", untagged, ignored);
	return true;
}

bool RemoteFolder::idle(string &why)
{
	if (connection_.idling())
		return true;
	beginRequest();
	std::vector<Response> untagged;
	if (!connect(why))
		return false;
	if (!serverIdles_) {
		if (!run("CAPABILITY", untagged, why))
			return false;
		bool idles = false;
		for (const Response &r : untagged)
			idles = idles || (" " + r.text + " ").find(" IDLE ") != string::npos;
		serverIdles_ = idles;
		untagged.clear();
	}
	if (!*serverIdles_)
		return true; // polls only
	return run("EXAMINE " + quoted(account_.url.folder), untagged, why) && connection_.startIdle(why);
}

bool RemoteFolder::idleNews(bool &changed, string &why)
{
	return connection_.takeIdleNews(changed, why);
}

bool RemoteFolder::run(const string &command, std::vector<Response> &untagged, string &why)
{
	const string c = connection_.command(command, untagged, why);
	if (c != "OK" && !c.empty())
		why = "the server refused " + command.substr(0, command.find(' ')) + ": " + why;
	return c == "OK";
}

std::optional<RemoteFolder::Poll> RemoteFolder::poll(string &why)
{
	beginRequest();
	std::vector<Response> untagged;
	if (!leaveIdle(why) || !connect(why) ||
	    !run("STATUS " + quoted(account_.url.folder) + " (MESSAGES UNSEEN UIDNEXT UIDVALIDITY)", untagged, why))
		return std::nullopt;
	std::optional<FolderStatus> now;
	for (const Response &r : untagged)
		if (auto s = parseStatus(r))
			now = s;
	if (!now) {
		why = "the server gave no STATUS";
		return std::nullopt;
	}
	const bool changed = !last_ || !(*last_ == *now);
	last_ = now;
	return Poll{changed, now->messages};
}

std::optional<RemoteFolder::Listing> RemoteFolder::read(int flags, int capacity, string &why)
{
	beginRequest();
	std::vector<Response> untagged;
	if (!leaveIdle(why) || !connect(why) || !run("EXAMINE " + quoted(account_.url.folder), untagged, why))
		return std::nullopt;
	untagged.clear();
	const bool newOnly = flags & SCAN_NEW_ONLY;
	if (!run(newOnly ? "UID SEARCH UNSEEN NOT DELETED" : "UID SEARCH NOT DELETED", untagged, why))
		return std::nullopt;
	std::vector<std::uint32_t> uids;
	for (const Response &r : untagged)
		if (auto found = parseSearch(r))
			uids.insert(uids.end(), found->begin(), found->end());
	std::sort(uids.begin(), uids.end());
	uids.erase(std::unique(uids.begin(), uids.end()), uids.end());

	Listing listing{static_cast<int>(std::min<std::size_t>(uids.size(), INT32_MAX)), string(capacity, '\0')};
	Summary summary = startSummary(listing.summary.data(), capacity);
	for (std::size_t at = 0; at < uids.size() && summary.room > 0; at += kFetchBatch) {
		string set;
		for (std::size_t i = at; i < std::min(uids.size(), at + kFetchBatch); ++i) {
			if (!set.empty())
				set += ',';
			set += std::to_string(uids[i]);
		}
		untagged.clear();
		if (!run("UID FETCH " + set + " (UID FLAGS BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])", untagged, why))
			return std::nullopt;
		std::vector<Fetched> batch;
		for (const Response &r : untagged)
			if (auto f = parseFetch(r); f && !f->deleted)
				batch.push_back(std::move(*f));
		std::sort(batch.begin(), batch.end(), [](const Fetched &a, const Fetched &b) { return a.uid < b.uid; });
		for (Fetched &f : batch) {
			const bool seen = f.flags.find('S') != string::npos;
			appendLine(summary, {headerBlockLine(f.header, seen ? f.flags : "", flags)});
		}
	}
	listing.summary.resize(summary.length);
	// Left read-only as it was opened; UNSELECT, or CLOSE, which expunges
	// nothing in a folder opened with EXAMINE.
	untagged.clear();
	string ignored;
	if (!run("UNSELECT", untagged, ignored) && connection_.isOpen())
		run("CLOSE", untagged, ignored);
	return listing;
}
