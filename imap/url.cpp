#include "imap/url.h"
#include "decode/hex.h"

#include <charconv>
#include <pwd.h>
#include <unistd.h>

using std::string;
using std::string_view;

namespace {

constexpr int kImapsPort = 993;
constexpr int kImapPort = 143;

// %XX escapes decoded; nothing when one is broken or stands for a NUL.
std::optional<string> unescape(string_view s)
{
	string out;
	for (std::size_t i = 0; i < s.size(); ++i) {
		if (s[i] != '%') {
			out += s[i];
			continue;
		}
		if (i + 2 >= s.size())
			return std::nullopt;
		const auto high = hexDigit(s[i + 1]), low = hexDigit(s[i + 2]);
		if (!high || !low || (*high == 0 && *low == 0))
			return std::nullopt;
		out += static_cast<char>(*high << 4 | *low);
		i += 2;
	}
	return out;
}

string loginName()
{
	if (const passwd *pw = getpwuid(getuid()))
		return pw->pw_name;
	return "";
}

// Printable ASCII (and, in a folder's name, blanks): what a host name, a
// user and a folder are made of once escapes are decoded, so that no line
// of IMAP can be forged with them.
bool isPlain(string_view s, bool blanks = false)
{
	for (char c : s) {
		const auto u = static_cast<unsigned char>(c);
		if (u < ' ' || u >= 0x7f || (u == ' ' && !blanks))
			return false;
	}
	return !s.empty();
}

} // namespace

bool isImapUrl(string_view mailbox)
{
	return mailbox.starts_with("imap://") || mailbox.starts_with("imaps://");
}

std::optional<MailboxUrl> parseMailboxUrl(string_view url, string &why)
{
	MailboxUrl out{url.starts_with("imaps://"), "", "", 0, "INBOX"};
	if (!isImapUrl(url)) {
		why = "not an imap:// or imaps:// URL";
		return std::nullopt;
	}
	string_view rest = url.substr(url.find("//") + 2);
	string_view authority = rest.substr(0, rest.find('/'));
	string_view path = rest.substr(authority.size());
	if (auto at = authority.rfind('@'); at != string_view::npos) {
		string_view user = authority.substr(0, at);
		if (user.find(':') != string_view::npos) {
			why = "the URL holds a password; give it with passwordCommand or ~/.netrc instead";
			return std::nullopt;
		}
		auto decoded = unescape(user);
		if (!decoded || !isPlain(*decoded)) {
			why = "the user name in the URL is not one";
			return std::nullopt;
		}
		out.user = *decoded;
		authority.remove_prefix(at + 1);
	} else {
		out.user = loginName();
	}
	out.port = out.tls ? kImapsPort : kImapPort;
	if (auto colon = authority.rfind(':'); colon != string_view::npos && authority.find(']', colon) == string_view::npos) {
		string_view digits = authority.substr(colon + 1);
		int port = 0;
		auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
		if (error != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535) {
			why = "the port in the URL is not one";
			return std::nullopt;
		}
		out.port = port;
		authority = authority.substr(0, colon);
	}
	out.host = string(authority);
	if (!isPlain(out.host) || out.host.find_first_of("/?#%") != string::npos) {
		why = "the URL names no host";
		return std::nullopt;
	}
	if (path.size() > 1) {
		auto folder = unescape(path.substr(1));
		if (!folder || !isPlain(*folder, true)) {
			why = "the folder in the URL is not one";
			return std::nullopt;
		}
		out.folder = *folder;
	}
	return out;
}

string shownUrl(const MailboxUrl &url)
{
	return string(url.tls ? "imaps://" : "imap://") + url.host + "/" + url.folder;
}
