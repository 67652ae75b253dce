// One connection to an IMAP server: libcurl connects, speaks TLS (verified,
// always: the chain against the system's CAs or caFile, and the host name),
// insists on STARTTLS for imap://, and logs in; the helper then speaks
// IMAP itself on that connection, one command at a time.
#pragma once

#include "imap/limits.h"
#include "imap/reader.h"
#include "imap/url.h"

#include <array>
#include <chrono>
#include <functional>
#include <string>

using CurlHandle = void;

// Before any connection: libcurl set up to wipe the memory it gives back.
bool startCurl();

class Connection {
public:
	Connection() = default;
	~Connection();
	Connection(const Connection &) = delete;
	Connection &operator=(const Connection &) = delete;

	// Connects and logs in with a password, or with an OAuth 2.0 access
	// token when token holds (by OAUTHBEARER where the server offers it,
	// else XOAUTH2, and never a password in its place), taking no longer
	// than timeout for that, nor later for any answer; false, with why,
	// when that cannot be done.
	bool open(const MailboxUrl &url, const std::string &secret, bool token, const std::string &caFile,
	          std::chrono::seconds timeout, std::string &why);
	// Whether the last open failed because the server refused the token.
	bool tokenRefused() const { return tokenRefused_; }
	bool isOpen() const { return curl_ != nullptr; }
	void close();
	// Whether the last connection was closed for what the server sent:
	// more than any answer needs, or what no server may.
	bool misbehaved() const { return misbehaved_; }
	// How long the last connection lasted, from its login to its end.
	std::chrono::steady_clock::duration lastLifetime() const { return lastLifetime_; }

	// No wait, from connecting to the last answer, goes past end: a
	// request as a whole is bounded, not only each of its answers.
	void setRequestEnd(std::chrono::steady_clock::time_point end) { requestEnd_ = end; }

	// Sends a command under a tag of its own and reads up to its tagged
	// response, whose condition ("OK", "NO", "BAD") it returns; each
	// untagged response on the way is handed to untagged as it comes, to
	// keep what it needs of it.  Empty, with why and the connection
	// closed, when the server does not answer in time, sends what no
	// server may, or more than any answer needs.
	using Untagged = std::function<void(Response &&)>;
	std::string command(const std::string &text, const Untagged &untagged, std::string &why);

	// IDLE (RFC 2177): the server tells of changes as they happen, until
	// DONE.  startIdle waits for the server's go-ahead; takeIdleNews reads
	// what has come without waiting, and says whether the folder changed;
	// stopIdle ends it and reads the command's end.  False, with why and
	// the connection closed, on trouble.
	bool startIdle(std::string &why);
	bool takeIdleNews(bool &changed, std::string &why);
	bool stopIdle(std::string &why);
	bool idling() const { return !idleTag_.empty(); }
	// The socket, to wait on while idling; -1 when there is none.
	int socket() const;

private:
	std::string nextTag();
	std::chrono::steady_clock::time_point deadline() const;
	bool waitFor(short events, std::chrono::steady_clock::time_point deadline) const;
	bool send(const std::string &bytes, std::string &why);
	bool receive(Response &out, std::string &why);
	enum class Read { some, nothing, closed };
	Read readSome(std::string &why);
	bool count(const Response &r, std::size_t &held, std::string &why);
	void drop(const char *why, std::string &reason);

	CurlHandle *curl_ = nullptr;
	ResponseReader reader_;
	unsigned tag_ = 0;
	std::string idleTag_;
	std::size_t idleHeld_ = 0; // what the server has sent in this IDLE
	bool misbehaved_ = false;
	bool tokenRefused_ = false;
	std::chrono::steady_clock::time_point openedAt_;
	std::chrono::steady_clock::duration lastLifetime_{};
	std::chrono::seconds timeout_{kAnswerTime};
	std::chrono::steady_clock::time_point requestEnd_ = std::chrono::steady_clock::time_point::max();
	// libcurl writes its error texts here for as long as the handle lives.
	std::array<char, 256> error_{};
};
