#include "imap/trouble.h"
#include "decode/utf8.h"

#include <algorithm>
#include <cstdio>
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

void Trouble::keepSecret(const string &user, const string &password)
{
	// As it is, as a LOGIN quotes it, and as AUTHENTICATE PLAIN and LOGIN
	// encode it; the longest first, so that each is masked whole.  (A
	// token is masked as it is.)
	string quoted;
	for (char c : password) {
		if (c == '"' || c == '\\')
			quoted += '\\';
		quoted += c;
	}
	for (string &old : secrets_) // a token before this one
		explicit_bzero(old.data(), old.size());
	secrets_ = {base64(string(1, '\0') + user + '\0' + password), base64(password), quoted, password};
	explicit_bzero(quoted.data(), quoted.size());
	std::stable_sort(secrets_.begin(), secrets_.end(),
	                 [](const string &a, const string &b) { return a.size() > b.size(); });
}

// Each secret, wherever it begins, as "...", in one walk from left to
// right: a mask is never looked at again, so that a secret that is part
// of it (".") is masked once.
string Trouble::shown(const string &why) const
{
	std::size_t longest = 0;
	for (const string &secret : secrets_)
		longest = std::max(longest, secret.size());
	const std::string_view text = std::string_view(why).substr(0, kLongestReason + longest);
	string masked;
	for (std::size_t at = 0; at < text.size();) {
		const auto secret = std::find_if(secrets_.begin(), secrets_.end(), [&](const string &s) {
			return !s.empty() && text.substr(at).starts_with(s);
		});
		if (secret == secrets_.end()) {
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
