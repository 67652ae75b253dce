// Warnings show no token in any form it was sent in: as it is, and the
// base64 of the OAUTHBEARER and XOAUTH2 messages that carry it, for the
// last two tokens taken (a login takes a second when the first is
// refused).  A server may echo what it was sent.
#include "imap/trouble.h"

#include <gtest/gtest.h>

#include <string>

using std::string;

TEST(Trouble, TokensAreMaskedInEveryForm)
{
	Trouble t("boxwarden", "imaps://localhost/INBOX");
	t.keepToken("me", "localhost", 993, "tok-old");
	t.keepToken("me", "localhost", 993, "tok-A1");
	t.keepToken("me", "localhost", 993, "tok-B2");
	// The base64 forms as Python's base64 module writes them, of
	// "user=me\x01auth=Bearer TOKEN\x01\x01" (XOAUTH2) and
	// "n,a=me,\x01host=localhost\x01port=993\x01auth=Bearer TOKEN\x01\x01"
	// (OAUTHBEARER).
	const struct {
		const char *what;
		string echoed, shown;
	} cases[] = {
		{"as it is", "NO bad token tok-B2 here", "NO bad token ... here"},
		{"XOAUTH2", "NO dXNlcj1tZQFhdXRoPUJlYXJlciB0b2stQjIBAQ==", "NO ..."},
		{"OAUTHBEARER", "NO bixhPW1lLAFob3N0PWxvY2FsaG9zdAFwb3J0PTk5MwFhdXRoPUJlYXJlciB0b2stQjIBAQ==", "NO ..."},
		{"the token before", "NO tok-A1 and dXNlcj1tZQFhdXRoPUJlYXJlciB0b2stQTEBAQ==", "NO ... and ..."},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(t.shown(c.echoed), c.shown);
	}
}
