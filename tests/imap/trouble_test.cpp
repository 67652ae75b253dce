// Warnings show no token in any form it was sent in: as it is, and the
// base64 of the OAUTHBEARER and XOAUTH2 messages that carry it, for the
// last two tokens taken (a login takes a second when the first is
// refused).  A server may echo what it was sent.
#include "imap/trouble.h"

#include <gtest/gtest.h>

#include <string>

using std::string;

namespace {

string base64Of(const string &bytes)
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

TEST(Trouble, TokensAreMaskedInEveryForm)
{
	Trouble t("boxwarden", "imaps://localhost/INBOX");
	t.keepToken("me", "localhost", 993, "tok-old");
	t.keepToken("me", "localhost", 993, "tok-A1");
	t.keepToken("me", "localhost", 993, "tok-B2");
	const struct {
		const char *what;
		string echoed, shown;
	} cases[] = {
		{"as it is", "NO bad token tok-B2 here", "NO bad token ... here"},
		{"XOAUTH2", "NO " + base64Of("user=me\x01" "auth=Bearer tok-B2\x01\x01"), "NO ..."},
		{"OAUTHBEARER", "NO " + base64Of("n,a=me,\x01host=localhost\x01port=993\x01" "auth=Bearer tok-B2\x01\x01"),
		 "NO ..."},
		{"the token before", "NO tok-A1 and " + base64Of("user=me\x01" "auth=Bearer tok-A1\x01\x01"), "NO ... and ..."},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(t.shown(c.echoed), c.shown);
	}
}
