// The helper's OAuth 2.0 logins (tokenCommand) against a real Dovecot whose
// oauth2 passdb asks an introspection server of the test's own about each
// token.
#include "tests/fixture.h"
#include "tests/imap/dovecot.h"
#include "tests/imap/helperprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

using std::string;
using std::vector;

namespace {

constexpr const char *kMechanisms = "oauthbearer xoauth2";

string mail(const string &from, const string &subject)
{
	return "From: " + from + "\nSubject: " + subject + "\nTo: alice@localhost\n\nHello.\n";
}

int lines(const string &text)
{
	return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A token tool: it prints what the file "token" holds and counts its runs.
struct TokenTool {
	TempDir dir;
	TokenTool(const string &token = "tok-1") { give(token); }
	void give(const string &token) const { dir.write("token", token + "\n"); }
	string command() const { return "echo run >>" + dir.sub("runs") + "; cat " + dir.sub("token"); }
	int runs() const { return lines(readFile(dir.sub("runs"))); }
};

vector<string> helperArgs(const Dovecot &dovecot, const string &tokenCommand, const vector<string> &more = {})
{
	vector<string> args{"-name", "boxwarden", "-tokenCommand", tokenCommand, "-caFile", dovecot.caFile(),
	                    "-timeout", "5"};
	args.insert(args.end(), more.begin(), more.end());
	args.push_back("imaps://" + string(Dovecot::kUser) + "@localhost:" + std::to_string(dovecot.imapsPort()) +
	               "/INBOX");
	return args;
}

Answer listOf(int count, const string &summary)
{
	return {"list " + std::to_string(count) + " " + std::to_string(summary.size()) + "\n", summary};
}

} // namespace

// OAUTHBEARER where the server offers it, else XOAUTH2; one run of the
// command for each login, and a login for each poll that connects.
TEST(OAuth, LogsInByTheServersMechanism)
{
	const struct {
		const char *mechanisms, *used;
	} cases[] = {
		{kMechanisms, "method=OAUTHBEARER"},
		{"xoauth2", "method=XOAUTH2"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.mechanisms);
		Dovecot dovecot(c.mechanisms);
		dovecot.setTokens({"tok-1"});
		TokenTool tool;
		TempDir dir;
		HelperProcess h(helperArgs(dovecot, tool.command()), dir.sub("err"));
		EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""})) << h.err() << dovecot.log();
		dovecot.deliver(mail("Ann <ann@x>", "by token"));
		EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
		EXPECT_EQ(h.ask("read"), listOf(1, "Ann << by token >>\n"));
		EXPECT_EQ(tool.runs(), 1);
		EXPECT_EQ(dovecot.tokensAsked(), "tok-1\n");
		EXPECT_NE(dovecot.log().find(c.used), string::npos) << dovecot.log();
		EXPECT_EQ(h.err(), "");
	}
}

// A server that takes passwords only: one warning, and nothing tried in
// the token's place; passwordCommand is not run.
TEST(OAuth, AServerThatTakesNoToken)
{
	Dovecot dovecot;
	TokenTool tool;
	TempDir dir;
	const string passwordCommand = "echo run >>" + dir.sub("password-runs") + "; echo '" + Dovecot::kPassword + "'";
	HelperProcess h(helperArgs(dovecot, tool.command(), {"-passwordCommand", passwordCommand}), dir.sub("err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
	EXPECT_TRUE(h.err().ends_with(": the server offers neither OAUTHBEARER nor XOAUTH2, the ways an OAuth 2.0 "
	                              "token can go; nothing was sent\n"))
	        << h.err();
	EXPECT_EQ(lines(h.err()), 1);
	const string log = dovecot.settledLog(0);
	EXPECT_EQ(log.find("method=PLAIN"), string::npos) << log;
	EXPECT_EQ(log.find("method=LOGIN"), string::npos) << log;
	EXPECT_NE(log.find("no auth attempts"), string::npos) << log;
	EXPECT_FALSE(std::ifstream(dir.sub("password-runs")).good());
}

// A token the server refuses may have just run out: the command runs once
// more and the login is tried once more, then one warning, and the next
// poll tries again.
TEST(OAuth, ARefusedToken)
{
	Dovecot dovecot(kMechanisms);
	TokenTool tool("tok-stale");
	TempDir dir;
	// Dovecot makes each login from an address that has just failed wait
	// longer; a restart forgets, as another server would not make them
	// wait at all.
	auto forgetFailures = [&] {
		dovecot.stop();
		dovecot.start();
	};
	HelperProcess h(helperArgs(dovecot, tool.command(), {"-timeout", "10"}), dir.sub("err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
	EXPECT_EQ(tool.runs(), 2);
	EXPECT_EQ(dovecot.tokensAsked(), "tok-stale\ntok-stale\n");
	EXPECT_TRUE(h.err().ends_with(": the server refused the OAuth 2.0 token\n")) << h.err();
	forgetFailures();
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
	EXPECT_EQ(tool.runs(), 4) << h.err();
	EXPECT_EQ(lines(h.err()), 1);

	forgetFailures();
	dovecot.setTokens({"tok-2"});
	tool.give("tok-2");
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""}));
	EXPECT_EQ(tool.runs(), 5);
	EXPECT_TRUE(h.err().ends_with(": can be read again\n")) << h.err();
}

// A command that gives no token that can be used: one warning naming why,
// and no login at all.
TEST(OAuth, CommandsThatGiveNoToken)
{
	const struct {
		const char *what;
		string command, why;
	} cases[] = {
		{"fails", "echo tok-1; exit 3", "tokenCommand failed"},
		{"prints nothing", "true", "tokenCommand printed no token"},
		{"a quote inside", "echo 'tok\"1'", "tokenCommand printed a token with characters no OAuth 2.0 token has; it is not used"},
		{"a carriage return inside", "printf 'tok\\r1\\n'", "tokenCommand printed a token with characters no OAuth 2.0 token has; it is not used"},
		{"a blank inside", "echo 'tok 1'", "tokenCommand printed a token with characters no OAuth 2.0 token has; it is not used"},
		{"more than 64 KiB", "echo tok-1; head -c 70000 /dev/zero | tr '\\0' a", "tokenCommand printed more than 64 KiB"},
		{"without end", "yes tok-1", "tokenCommand printed more than 64 KiB"},
		{"too long for a login", "head -c 50000 /dev/zero | tr '\\0' a; echo",
		 "tokenCommand printed a token longer than a login can carry (47 KiB); it is not used"},
		{"hangs", "sleep 100", "tokenCommand did not finish in time"},
	};
	Dovecot dovecot(kMechanisms);
	dovecot.setTokens({"tok-1"});
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		TempDir dir;
		HelperProcess h(helperArgs(dovecot, c.command, {"-timeout", "1"}), dir.sub("err"));
		EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
		EXPECT_TRUE(h.err().ends_with(": " + c.why + "\n")) << h.err();
		EXPECT_EQ(lines(h.err()), 1);
	}
	EXPECT_EQ(dovecot.tokensAsked(), "");
}

// Only the first line is the token: what follows can carry nothing.
TEST(OAuth, TheFirstLineOnly)
{
	Dovecot dovecot(kMechanisms);
	dovecot.setTokens({"tok-1"});
	TempDir dir;
	HelperProcess h(helperArgs(dovecot, "printf 'tok-1\\r\\nb1 LOGOUT\\r\\n'"), dir.sub("err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""})) << h.err();
	EXPECT_EQ(dovecot.tokensAsked(), "tok-1\n");
}

// The token is in none of the helper's arguments, its environment, its
// answers or its warnings, accepted or refused.
TEST(OAuth, TheTokenStaysInTheHelper)
{
	const string unique = "tok-Zq81xVw0-unique";
	Dovecot dovecot(kMechanisms);
	for (const bool accepted : {true, false}) {
		SCOPED_TRACE(accepted ? "accepted" : "refused");
		dovecot.setTokens(accepted ? vector<string>{unique} : vector<string>{});
		TokenTool tool(unique);
		TempDir dir;
		HelperProcess h(helperArgs(dovecot, tool.command()), dir.sub("err"));
		const Answer a = h.ask("poll");
		EXPECT_EQ(a.head, accepted ? "status 1 0\n" : "failed\n");
		const string proc = "/proc/" + std::to_string(h.pid());
		for (const char *file : {"/cmdline", "/environ"})
			EXPECT_EQ(readFile(proc + file).find(unique), string::npos) << file;
		EXPECT_EQ(h.err().find(unique), string::npos) << h.err();
		EXPECT_EQ(a.head.find(unique), string::npos);
	}
}

// With instant, the idling connection that the server ends when its token
// has run out (here: the old token refused from now on, and the user's
// connections ended) is opened again with a fresh token, quietly.
TEST(OAuth, IdlingGoesOnWithAFreshToken)
{
	Dovecot dovecot(kMechanisms);
	dovecot.setTokens({"tok-1"});
	TokenTool tool("tok-1");
	TempDir dir;
	HelperProcess h(helperArgs(dovecot, tool.command(), {"-instant", "-interval", "1"}), dir.sub("err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""}));
	dovecot.deliver(mail("Ann <ann@x>", "first"));
	EXPECT_EQ(h.next(std::chrono::seconds(10)), (Answer{"changed\n", ""}));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""})); // told once until asked

	dovecot.setTokens({"tok-2"});
	tool.give("tok-2");
	dovecot.doveadm("kick alice");
	std::this_thread::sleep_for(std::chrono::seconds(3)); // idling again meanwhile
	dovecot.deliver(mail("Bob <bob@x>", "second"));
	EXPECT_EQ(h.next(std::chrono::seconds(15)), (Answer{"changed\n", ""})) << h.err() << dovecot.tokensAsked();
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 2\n", ""}));
	EXPECT_EQ(h.err(), "");
	EXPECT_NE(dovecot.tokensAsked().find("tok-2\n"), string::npos);
}
