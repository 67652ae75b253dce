#include "imap/trouble.h"
#include "decode/utf8.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstring>
#include <string_view>

using std::string;

namespace {

constexpr std::size_t kLongestReason = 200;

string base64(const string &bytes)
{
	static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	string out;
	for (std::size_t i = 0; i < bytes.size(); i += 3) {
		const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
		unsigned bits = 0;
		for (std::size_t k = 0; k < 3; ++k)
			bits = bits << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
		for (std::size_t k = 0; k < 4; ++k)
			out += k <= n ? kDigits[bits >> (18 - 6 * k) & 63] : '=';
	}
	return out;
}

} // namespace

// Forgets all but the last keep secrets, and leaves nothing of them.
void Trouble::forget(std::size_t keep)
{
	const std::size_t gone = secrets_.size() - std::min(keep, secrets_.size());
	for (std::size_t i = 0; i < gone; ++i)
		explicit_bzero(secrets_[i].data(), secrets_[i].size());
	secrets_.erase(secrets_.begin(), secrets_.begin() + static_cast<long>(gone));
}

void Trouble::keepSecret(const string &user, const string &password)
{
	// As it is, as a LOGIN quotes it, and as AUTHENTICATE PLAIN and LOGIN
	// encode it.
	string quoted;
	for (char c : password) {
		if (c == '"' || c == '\\')
			quoted += '\\';
		quoted += c;
	}
	forget(0);
	secrets_ = {base64(string(1, '\0') + user + '\0' + password), base64(password), quoted, password};
	explicit_bzero(quoted.data(), quoted.size());
}

void Trouble::keepToken(const string &user, const string &host, int port, const string &token)
{
	constexpr std::size_t kForms = 3;
	forget(kForms);
	string bearer = "auth=Bearer " + token + "\x01\x01";
	string xoauth2 = "user=" + user + "\x01" + bearer;
	string oauthbearer = "n,a=" + user + ",\x01host=" + host + "\x01" +
	                     (port == 80 ? "" : "port=" + std::to_string(port) + "\x01") + bearer;
	secrets_.insert(secrets_.end(), {token, base64(xoauth2), base64(oauthbearer)});
	for (string *s : {&bearer, &xoauth2, &oauthbearer})
		explicit_bzero(s->data(), s->size());
}

// Each secret, wherever it begins, as "...", in one walk from left to
// right: a mask is never looked at again, so that a secret that is part
// of it (".") is masked once.
string Trouble::shown(const string &why) const
{
	// The longest first, so that each is masked whole.
	std::vector<std::string_view> secrets(secrets_.begin(), secrets_.end());
	std::stable_sort(secrets.begin(), secrets.end(),
	                 [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
	const std::size_t longest = secrets.empty() ? 0 : secrets.front().size();
	const std::string_view text = std::string_view(why).substr(0, kLongestReason + longest);
	string masked;
	for (std::size_t at = 0; at < text.size();) {
		const auto secret = std::find_if(secrets.begin(), secrets.end(), [&](std::string_view s) {
			return !s.empty() && text.substr(at).starts_with(s);
		});
		if (secret == secrets.end()) {
			masked += text[at++];
		} else {
			masked += "...";
			at += secret->size();
		}
	}
	string out;
	appendForTerminal(out, std::string_view(masked).substr(0, kLongestReason));
	return out;
}

void Trouble::started(const string &why)
{
	if (!in_)
		tell(shown(why));
	in_ = true;
}

void Trouble::over()
{
	if (in_)
		tell("can be read again");
	in_ = false;
}

void Trouble::tell(const string &what) const
{
	std::fprintf(stderr, "%s: %s: %s\n", name_.c_str(), url_.c_str(), what.c_str());
}
