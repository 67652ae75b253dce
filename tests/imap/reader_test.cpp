// The helper's readers of what it is given: mailbox URLs and server bytes.
#include "imap/parse.h"
#include "imap/reader.h"
#include "imap/url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using std::string;

TEST(ImapUrl, PartsAndRefusals)
{
	const struct {
		string url;
		bool ok;
		bool tls;
		string user, host;
		int port;
		string folder, why;
	} cases[] = {
		{"imaps://me@mail.example.org/INBOX", true, true, "me", "mail.example.org", 993, "INBOX", ""},
		{"imap://me@mail.example.org", true, false, "me", "mail.example.org", 143, "INBOX", ""},
		{"imaps://me%40work@h:1993/Sent%20Items", true, true, "me@work", "h", 1993, "Sent Items", ""},
		{"imaps://h/", true, true, "", "h", 993, "INBOX", ""},
		{"imaps://me:secret@h/INBOX", false, false, "", "", 0, "",
		 "the URL holds a password; give it with passwordCommand or ~/.netrc instead"},
		{"imaps://me@h:99999/", false, false, "", "", 0, "", "the port in the URL is not one"},
		{"imaps://me@h:x/", false, false, "", "", 0, "", "the port in the URL is not one"},
		{"imaps://me@/INBOX", false, false, "", "", 0, "", "the URL names no host"},
		{"imaps://me@h/IN%0D%0ABOX", false, false, "", "", 0, "", "the folder in the URL is not one"},
		{"imaps://m%0Ae@h/", false, false, "", "", 0, "", "the user name in the URL is not one"},
		{"imaps://me@h/a%2", false, false, "", "", 0, "", "the folder in the URL is not one"},
		{"pop3://h/", false, false, "", "", 0, "", "not an imap:// or imaps:// URL"},
	};
	for (const auto &c : cases) {
		string why;
		auto url = parseMailboxUrl(c.url, why);
		ASSERT_EQ(url.has_value(), c.ok) << c.url << ": " << why;
		if (!url) {
			EXPECT_EQ(why, c.why) << c.url;
			continue;
		}
		EXPECT_EQ(url->tls, c.tls) << c.url;
		if (!c.user.empty()) {
			EXPECT_EQ(url->user, c.user) << c.url;
		}
		EXPECT_EQ(url->host, c.host) << c.url;
		EXPECT_EQ(url->port, c.port) << c.url;
		EXPECT_EQ(url->folder, c.folder) << c.url;
	}
	EXPECT_TRUE(isImapUrl("imaps://h"));
	EXPECT_FALSE(isImapUrl("/var/mail/imaps://h"));
	EXPECT_FALSE(isImapUrl(".mail"));
}

namespace {

struct Read {
	std::vector<Response> responses;
	bool broken = false;
};

// Feeds bytes in pieces of chunk bytes and reads all that comes.
Read readAll(const string &bytes, std::size_t chunk)
{
	ResponseReader reader;
	Read out;
	for (std::size_t at = 0; at < bytes.size(); at += chunk) {
		reader.feed(std::string_view(bytes).substr(at, chunk));
		for (Response r;;) {
			auto result = reader.next(r);
			if (result == ResponseReader::Result::response)
				out.responses.push_back(r);
			else {
				out.broken = out.broken || result == ResponseReader::Result::broken;
				break;
			}
		}
	}
	return out;
}

} // namespace

TEST(ImapReader, ResponsesWithLiteralsInAnyPieces)
{
	const string bytes = "* OK ready\r\n"
	                     "* 1 FETCH (UID 7 BODY[HEADER.FIELDS (FROM SUBJECT)] {23}\r\nFrom: a\r\nSubject: }\r\n\r\n)\r\n"
	                     "* 2 FETCH (BODY[] {0}\r\n UID 8)\n"
	                     "b1 OK done\r\n";
	for (std::size_t chunk : {1, 2, 7, 64, 4096}) {
		Read r = readAll(bytes, chunk);
		ASSERT_FALSE(r.broken) << chunk;
		ASSERT_EQ(r.responses.size(), 4u) << chunk;
		EXPECT_EQ(r.responses[0].tag, "*");
		EXPECT_EQ(r.responses[0].text, "OK ready");
		EXPECT_EQ(r.responses[1].text, "1 FETCH (UID 7 BODY[HEADER.FIELDS (FROM SUBJECT)] {23})");
		EXPECT_EQ(r.responses[1].literals, std::vector<string>{"From: a\r\nSubject: }\r\n\r\n"});
		EXPECT_EQ(r.responses[2].literals, std::vector<string>{""});
		EXPECT_EQ(r.responses[3].tag, "b1");
		EXPECT_EQ(condition(r.responses[3]), "OK");
	}
}

TEST(ImapReader, WhatNoServerMaySend)
{
	const struct {
		const char *what;
		string bytes;
	} cases[] = {
		{"a literal of absurd size", "* 1 FETCH (BODY[] {99999999999999999999}\r\n"},
		{"a literal past the limit", "* 1 FETCH (BODY[] {" + std::to_string(kMaxLiteralBytes + 1) + "}\r\n"},
		{"a line that never ends", string(kMaxResponseBytes + 10, 'x')},
		{"a line with no tag", " OK\r\n"},
	};
	for (const auto &c : cases)
		EXPECT_TRUE(readAll(c.bytes, 65536).broken) << c.what;
	// And once broken, nothing more is read.
	ResponseReader reader;
	reader.feed(" x\r\n* OK fine\r\n");
	Response r;
	EXPECT_EQ(reader.next(r), ResponseReader::Result::broken);
	EXPECT_EQ(reader.next(r), ResponseReader::Result::broken);
}

TEST(ImapParse, StatusSearchAndFetch)
{
	auto one = [](const string &bytes) {
		Read r = readAll(bytes, 4096);
		EXPECT_EQ(r.responses.size(), 1u) << bytes;
		return r.responses.empty() ? Response{} : r.responses[0];
	};
	EXPECT_EQ(parseStatus(one("* STATUS INBOX (MESSAGES 3 UIDNEXT 9 UIDVALIDITY 77 UNSEEN 1)\r\n")),
	          (FolderStatus{3, 1, 9, 77}));
	EXPECT_EQ(parseStatus(one("* STATUS \"Sent Items\" (MESSAGES 3 UNSEEN 0 UIDNEXT 9 UIDVALIDITY 77)\r\n")),
	          (FolderStatus{3, 0, 9, 77}));
	EXPECT_FALSE(parseStatus(one("* STATUS INBOX (MESSAGES 3 UNSEEN 1)\r\n")));
	EXPECT_FALSE(parseStatus(one("* STATUS INBOX (MESSAGES x UNSEEN 1 UIDNEXT 9 UIDVALIDITY 77)\r\n")));
	EXPECT_FALSE(parseStatus(one("* STATUS INBOX (MESSAGES 99999999999 UNSEEN 1 UIDNEXT 9 UIDVALIDITY 7)\r\n")));

	EXPECT_EQ(parseSearch(one("* SEARCH 4 9 12\r\n")), (std::vector<std::uint32_t>{4, 9, 12}));
	EXPECT_EQ(parseSearch(one("* SEARCH\r\n")), (std::vector<std::uint32_t>{}));
	EXPECT_FALSE(parseSearch(one("* SEARCH 4 x\r\n")));

	auto f = parseFetch(one("* 3 FETCH (UID 12 FLAGS (\\Seen \\Answered \\Flagged $Label) "
	                        "BODY[HEADER.FIELDS (FROM SUBJECT)] {9}\r\nFrom: a\r\n)\r\n"));
	ASSERT_TRUE(f);
	EXPECT_EQ(f->uid, 12u);
	EXPECT_EQ(f->flags, "FRS");
	EXPECT_FALSE(f->deleted);
	EXPECT_EQ(f->header, "From: a\r\n");
	f = parseFetch(one("* 3 FETCH (FLAGS (\\Deleted) BODY[HEADER.FIELDS (\"FROM\")] \"From: q\\\"\" UID 5)\r\n"));
	ASSERT_TRUE(f);
	EXPECT_TRUE(f->deleted);
	EXPECT_EQ(f->header, "From: q\"");
	for (const char *bad : {"* 3 FETCH (UID 12)\r\n", "* 3 FETCH (BODY[] {1}\r\nx)\r\n",
	                        "* 3 FETCH (UID 1 BODY[] {1}\r\nx\r\n", "* x FETCH (UID 1)\r\n",
	                        "* 3 FETCH (UID 1 FLAGS (\\Seen BODY[] NIL)\r\n"})
		EXPECT_FALSE(parseFetch(one(bad))) << bad;
	// Items the helper does not ask for are skipped, lists whole, however
	// deep (a million levels would overflow a recursive walk's stack).
	f = parseFetch(one("* 3 FETCH (X-GM (a \"b)\" {2}\r\n()) UID 4 BODY[] NIL)\r\n"));
	ASSERT_TRUE(f);
	EXPECT_EQ(f->uid, 4u);
	const string deep(1000000, '(');
	EXPECT_FALSE(parseFetch(one("* 3 FETCH (UID 4 X " + deep + "\r\n")));
	EXPECT_TRUE(parseFetch(one("* 3 FETCH (UID 4 X " + deep + string(1000000, ')') + " BODY[] NIL)\r\n")));
	EXPECT_EQ(quoted("a \"b\" \\c"), "\"a \\\"b\\\" \\\\c\"");
}
