// A mailbox given as an IMAP URL: imaps://[user@]host[:port][/folder], TLS
// from the start, or imap://…, where STARTTLS is required.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct MailboxUrl {
	bool tls;           // imaps: TLS from the start; imap: STARTTLS
	std::string user;   // the login name when the URL names none
	std::string host;
	int port;           // 993 or 143 when the URL names none
	std::string folder; // INBOX when the URL names none
};

// Whether a mailbox setting is an IMAP URL at all (and so no path).
bool isImapUrl(std::string_view mailbox);

// The URL's parts, or nothing with why set: a URL that holds a password is
// refused, so that no password is ever on a command line or in resources.
std::optional<MailboxUrl> parseMailboxUrl(std::string_view url, std::string &why);

// The URL as warnings show it: scheme, host and folder, never a user's secret.
std::string shownUrl(const MailboxUrl &url);
