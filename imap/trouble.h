// Warnings of trouble with the server, on standard error.  A server's
// words are a stranger's: no control character reaches the terminal (it
// would obey it), no more than a line, and never the password in any form
// it was sent in, should a server send it back.
#pragma once

#include <string>
#include <vector>

class Trouble {
public:
	Trouble(std::string name, std::string url) : name_(std::move(name)), url_(std::move(url)) {}

	// The password (or the token of the latest login), and the user it
	// goes with, to be masked from now on.
	void keepSecret(const std::string &user, const std::string &password);
	// An OAuth 2.0 token, as it is and as OAUTHBEARER and XOAUTH2 send it
	// for user at host and port, to be masked from now on, with the token
	// taken before it (a login may take two).
	void keepToken(const std::string &user, const std::string &host, int port, const std::string &token);
	// Trouble is told once when it starts, and once when it is over.
	void started(const std::string &why);
	void over();
	// Tells of something else, once each time it is called.
	void tell(const std::string &what) const;
	// A reason as a warning shows it.
	std::string shown(const std::string &why) const;

private:
	std::string name_, url_;
	void forget(std::size_t keep);

	// The forms of the password, or of the last two tokens, the latest last.
	std::vector<std::string> secrets_;
	bool in_ = false;
};
