// A Dovecot of the test's own: on 127.0.0.1 with free ports, its own
// configuration, certificates from a CA made for the test, a users file
// with one user and her Maildir, all in a temporary folder; stopped and
// removed at the end.
#pragma once

#include "tests/fixture.h"

#include <string>
#include <vector>
#include <sys/types.h>

class Dovecot {
public:
	static constexpr const char *kUser = "alice";
	static constexpr const char *kPassword = "correct horse";
	// A user whose password is not ASCII.
	static constexpr const char *kEightBitUser = "zoe";
	static constexpr const char *kEightBitPassword = "grüße aus köln";

	// mechanisms, when given, makes it a server that takes OAuth 2.0
	// tokens ("oauthbearer xoauth2", or one of them) by its oauth2 passdb,
	// which asks an introspection server of the test's own about each
	// token; "plain login" there makes one that takes passwords only.
	explicit Dovecot(const std::string &mechanisms = "");
	~Dovecot();
	Dovecot(const Dovecot &) = delete;
	Dovecot &operator=(const Dovecot &) = delete;

	int imapsPort() const { return imapsPort_; }
	int imapPort() const { return imapPort_; }
	const std::string &caFile() const { return caFile_; }
	// A CA that signed nothing of this server's.
	const std::string &otherCaFile() const { return otherCaFile_; }
	std::string log() const { return readFile(dir_.sub("dovecot.log")); }
	// The log past its first `from` bytes, once it holds the end of a
	// connection and has been still for a moment: Dovecot logs a
	// connection when it ends, which may be well after its client has gone.
	std::string settledLog(std::size_t from) const;
	const TempDir &dir() const { return dir_; }

	void start();
	void stop();

	// doveadm with the instance's configuration; its standard output.
	std::string doveadm(const std::string &args, const std::string &input = "") const;
	void deliver(const std::string &message, const std::string &folder = "INBOX") const;
	// Many messages at once, written straight into the INBOX's Maildir
	// (new/), which Dovecot reads at the next look: doveadm would take a
	// second for each hundred.
	void placeInInbox(const std::vector<std::string> &messages) const;
	// "uid flags" of every message, as doveadm fetch prints them.
	std::string flags(const std::string &folder = "INBOX") const;

	// With OAuth 2.0: the tokens that are active from now on, for alice;
	// every token asked about so far, a line each.
	void setTokens(const std::vector<std::string> &tokens) const;
	std::string tokensAsked() const { return readFile(dir_.sub("asked")); }

private:
	TempDir dir_;
	std::string caFile_, otherCaFile_;
	int imapsPort_ = 0, imapPort_ = 0;
	pid_t pid_ = -1;
	pid_t introspection_ = -1;
};

// In dir: a CA (ca.pem), another that signs nothing (other.pem), and a
// server certificate and key (server.pem, server.key) that the first signs
// for localhost, not for 127.0.0.1, so that a host name that does not match
// can be tried.
void makeCertificates(const TempDir &dir);

// A small IMAP server of the tests' own that misbehaves as mode says
// (see tests/imap/tinyserver.py), with a certificate from dir's CA.
class TinyServer {
public:
	TinyServer(const std::string &mode, const TempDir &dir);
	~TinyServer();
	TinyServer(const TinyServer &) = delete;
	TinyServer &operator=(const TinyServer &) = delete;
	int port() const { return port_; }
	std::string heard() const; // every line a client sent

private:
	TinyServer(const std::string &mode, const TempDir &dir, const std::string &name);

	std::string log_;
	int port_ = 0;
	pid_t pid_ = -1;
};

// A port on 127.0.0.1 that nothing listens on just now.
int freePort();
// Whether something listens on 127.0.0.1 at port.
bool listening(int port);
