// The IMAP helper driven from the command line, as the watcher drives it,
// against a real Dovecot.
#include "scanner/scanner.h"
#include "tests/fixture.h"
#include "tests/imap/dovecot.h"
#include "tests/imap/helperprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using std::string;
using std::vector;

namespace {

Answer listOf(int count, const string &summary)
{
	return {"list " + std::to_string(count) + " " + std::to_string(summary.size()) + "\n", summary};
}

string mail(const string &from, const string &subject)
{
	return "From: " + from + "\nSubject: " + subject + "\nTo: alice@localhost\n\nHello.\n";
}

class WithDovecot : public testing::Test {
protected:
	void SetUp() override { passwordFile_ = dovecot_.dir().write("password", string(Dovecot::kPassword) + "\n"); }

	vector<string> args(const string &scheme = "imaps", const string &host = "localhost", int flags = -1,
	                    const string &folder = "INBOX")
	{
		const int port = scheme == "imaps" ? dovecot_.imapsPort() : dovecot_.imapPort();
		return {"-name", "boxwarden", "-flags", std::to_string(flags < 0 ? SCAN_NEW_ONLY | SCAN_MIME : flags),
		        "-passwordCommand", "cat " + passwordFile_, "-caFile", dovecot_.caFile(), "-timeout", "5",
		        scheme + "://" + Dovecot::kUser + "@" + host + ":" + std::to_string(port) + "/" + folder};
	}

	Dovecot dovecot_;
	TempDir dir_;
	string passwordFile_;
};

} // namespace

TEST_F(WithDovecot, DeliveriesReadsAndChangesElsewhere)
{
	HelperProcess h(args(), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""})); // the first poll is a change
	EXPECT_EQ(h.ask("read"), listOf(0, ""));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 0 0\n", ""}));

	dovecot_.deliver(mail("Ann <ann@x>", "first"));
	dovecot_.deliver(mail("Bob <bob@x>", "second"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 2\n", ""}));
	const string flagsBefore = dovecot_.flags();
	EXPECT_EQ(h.ask("read"), listOf(2, "Ann << first >>\nBob << second >>\n"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 0 2\n", ""}));
	EXPECT_EQ(dovecot_.flags(), flagsBefore); // nothing read was marked

	// Read elsewhere: fewer to list, still two messages.
	dovecot_.doveadm("flags add -u alice '\\Seen' mailbox INBOX uid 1");
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 2\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(1, "Bob << second >>\n"));
	// Expunged elsewhere.
	dovecot_.doveadm("expunge -u alice mailbox INBOX uid 2");
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(0, ""));
	EXPECT_EQ(h.err(), "");
}

TEST_F(WithDovecot, EveryMessageWithItsFlags)
{
	dovecot_.deliver(mail("Ann <ann@x>", "one"));
	dovecot_.deliver(mail("Bob <bob@x>", "two"));
	dovecot_.deliver(mail("Cid <cid@x>", "three"));
	dovecot_.doveadm("flags add -u alice '\\Seen \\Answered' mailbox INBOX uid 1");
	dovecot_.doveadm("flags add -u alice '\\Flagged' mailbox INBOX uid 2");
	dovecot_.doveadm("flags add -u alice '\\Deleted \\Seen' mailbox INBOX uid 3");
	HelperProcess h(args("imaps", "localhost", SCAN_MIME), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 3\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(2, "Ann (RS) << one >>\nBob << two >>\n"));
}

TEST_F(WithDovecot, SubjectsInAnyScript)
{
	TempDir mbox;
	produce({"encode_header.py", "mbox", mbox.sub("m"), "Zoë Müller <zoe@example.de>", "Grüße aus München"});
	string message = readFile(mbox.sub("m"));
	message.erase(0, message.find('\n') + 1); // the envelope line
	dovecot_.deliver(message);
	HelperProcess h(args("imaps", "localhost", SCAN_NEW_ONLY | SCAN_MIME | SCAN_UTF8), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(1, "Zoë Müller << Grüße aus München >>\n"));
}

TEST_F(WithDovecot, ThousandsUnseenAndALittleRoom)
{
	std::vector<string> messages;
	for (int i = 0; i < 2000; ++i)
		messages.push_back(mail("P" + std::to_string(i) + " <p@x>", "s"));
	dovecot_.placeInInbox(messages);
	HelperProcess h({"-capacity", "100", "-flags", std::to_string(SCAN_NEW_ONLY), "-passwordCommand",
	                 "cat " + passwordFile_, "-caFile", dovecot_.caFile(),
	                 "imaps://alice@localhost:" + std::to_string(dovecot_.imapsPort()) + "/INBOX"},
	                dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 2000\n", ""}));
	const string lines = "P0 << s >>\nP1 << s >>\nP2 << s >>\nP3 << s >>\nP4 << s >>\nP5 << s >>\nP6 << s >>\n"
	                     "P7 << s >>\nP8 << s >>\n";
	EXPECT_EQ(h.ask("read"), listOf(2000, lines));
}

TEST_F(WithDovecot, AFolderMadeAgainIsAChange)
{
	dovecot_.doveadm("mailbox create -u alice Work");
	dovecot_.deliver(mail("Ann <ann@x>", "one"), "Work");
	HelperProcess h(args("imaps", "localhost", -1, "Work"), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 0 1\n", ""}));
	dovecot_.doveadm("mailbox delete -u alice Work");
	dovecot_.doveadm("mailbox create -u alice Work");
	dovecot_.deliver(mail("Ann <ann@x>", "one"), "Work");
	// The same counts and the same next UID; only UIDVALIDITY differs.
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
}

TEST_F(WithDovecot, StartTlsOnThePlainPort)
{
	dovecot_.deliver(mail("Ann <ann@x>", "one"));
	HelperProcess h(args("imap"), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(1, "Ann << one >>\n"));
	EXPECT_EQ(h.err(), "");
}

TEST_F(WithDovecot, RefusedLoginsAndCertificates)
{
	const string port = std::to_string(dovecot_.imapsPort());
	const string wrong = dovecot_.dir().write("wrong", "battery staple\n");
	const struct {
		const char *what;
		vector<string> args;
		string err;
		bool loginTried;
	} cases[] = {
		{"a wrong password",
		 {"-passwordCommand", "cat " + wrong, "-caFile", dovecot_.caFile(), "imaps://alice@localhost:" + port},
		 "boxwarden-imap: imaps://localhost/INBOX: Login denied\n", true},
		{"a CA that signed nothing of the server's",
		 {"-passwordCommand", "cat " + passwordFile_, "-caFile", dovecot_.otherCaFile(), "imaps://alice@localhost:" + port},
		 "boxwarden-imap: imaps://localhost/INBOX: SSL certificate problem: unable to get local issuer certificate\n",
		 false},
		{"the system's CAs, which know nothing of the test's",
		 {"-passwordCommand", "cat " + passwordFile_, "imaps://alice@localhost:" + port},
		 "boxwarden-imap: imaps://localhost/INBOX: SSL certificate problem: unable to get local issuer certificate\n",
		 false},
		{"a host name the certificate does not name",
		 {"-passwordCommand", "cat " + passwordFile_, "-caFile", dovecot_.caFile(), "imaps://alice@127.0.0.1:" + port},
		 "boxwarden-imap: imaps://127.0.0.1/INBOX: SSL: no alternative certificate subject name matches target host "
		 "name '127.0.0.1'\n",
		 false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const std::size_t logBefore = dovecot_.log().size();
		TempDir dir;
		{
			HelperProcess h(c.args, dir.sub("helper.err"));
			// Told once, however many polls fail.
			for (int i = 0; i < 3; ++i)
				EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
			EXPECT_EQ(h.err(), c.err);
		}
		const string log = dovecot_.settledLog(logBefore);
		// Dovecot logs every connection, and the user of any login tried.
		EXPECT_EQ(log.find("user=<alice>") != string::npos, c.loginTried) << log;
		if (!c.loginTried) {
			EXPECT_NE(log.find("no auth attempts"), string::npos) << log;
		}
	}
}

TEST_F(WithDovecot, AServerGoneAndBack)
{
	HelperProcess h(args(), dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""}));
	dovecot_.stop();
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""})) << h.err();
	EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""})) << h.err();
	dovecot_.start();
	dovecot_.deliver(mail("Ann <ann@x>", "while away"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(1, "Ann << while away >>\n"));
	const string err = h.err();
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
	EXPECT_TRUE(err.ends_with("boxwarden: imaps://localhost/INBOX: can be read again\n")) << err;
}

// Servers that misbehave: the helper says so once, answers "failed", and
// never sends a credential where it could be read (those that speak TLS
// here have a certificate the helper trusts, and are logged in to).
TEST(MisbehavingServers, AreGivenUpOnWithNothingGiven)
{
	TempDir dir;
	makeCertificates(dir);
	const string password = dir.write("password", "tiny secret\n");
	const struct {
		const char *mode;
		const char *scheme;
		string err;
	} cases[] = {
		{"no-starttls", "imap", "STARTTLS not available."},
		{"starttls-refused", "imap", "STARTTLS denied"},
		{"silent", "imaps", "timed out"},
		{"garbage", "imaps", "the server answered a command it was not given"},
		{"huge-literal", "imaps", "the server sent what no IMAP server may"},
		{"close-mid", "imaps", "the server closed the connection"},
		// Each answer in time, the whole never: given up on after three
		// answers' times (here 2 s each); and a flood before it fills memory.
		{"trickle", "imaps", "the server did not answer"},
		{"flood", "imaps", "the server sent more than any answer needs"},
		// Its words are shown, but not the password, nor its escapes.
		{"echo", "imaps", "the server refused STATUS: NO ?[31m?31m?31mLOGIN alice \"...\"\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.mode);
		TinyServer server(c.mode, dir);
		TempDir run;
		{
			HelperProcess h({"-passwordCommand", "cat " + password, "-caFile", dir.sub("ca.pem"), "-timeout", "2",
			                 string(c.scheme) + "://alice@localhost:" + std::to_string(server.port()) + "/INBOX"},
			                run.sub("helper.err"));
			for (int i = 0; i < 2; ++i)
				EXPECT_EQ(h.ask("poll"), (Answer{"failed\n", ""}));
			const string err = h.err();
			EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
			EXPECT_NE(err.find(c.err), string::npos) << err;
		}
		const string heard = server.heard();
		if (string(c.scheme) == "imap") {
			EXPECT_EQ(heard.find("tiny secret"), string::npos) << heard;
			EXPECT_EQ(heard.find("LOGIN"), string::npos) << heard;
			EXPECT_EQ(heard.find("AUTHENTICATE"), string::npos) << heard;
		}
	}
}

TEST_F(WithDovecot, WhereThePasswordComesFrom)
{
	const string port = std::to_string(dovecot_.imapsPort());
	const string url = "imaps://alice@localhost:" + port + "/INBOX";
	TempDir home;
	const string netrc = home.write(".netrc", "machine elsewhere login alice password nothing\n"
	                                          "machine localhost\n  login alice\n  password \"correct horse\"\n");
	const struct {
		const char *what;
		vector<string> args;
		mode_t netrcMode;
		string answer, err;
	} cases[] = {
		{"a command", {"-passwordCommand", "cat " + passwordFile_}, 0600, "status 1 0\n", ""},
		// Its standard input is not the helper's, whose requests it would take.
		{"a command that reads its input", {"-passwordCommand", "cat >/dev/null; cat " + passwordFile_}, 0600,
		 "status 1 0\n", ""},
		{"a command that fails", {"-passwordCommand", "exit 3"}, 0600, "failed\n",
		 "boxwarden-imap: imaps://localhost/INBOX: passwordCommand failed\n"},
		{"a command that prints nothing", {"-passwordCommand", "true"}, 0600, "failed\n",
		 "boxwarden-imap: imaps://localhost/INBOX: passwordCommand printed no password\n"},
		{"~/.netrc", {}, 0600, "status 1 0\n", ""},
		{"~/.netrc that others can read", {}, 0644, "failed\n",
		 "boxwarden-imap: imaps://localhost/INBOX: ~/.netrc can be read by others; it is not used\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		chmod(netrc.c_str(), c.netrcMode);
		vector<string> args = c.args;
		args.insert(args.end(), {"-caFile", dovecot_.caFile(), url});
		TempDir run;
		HelperProcess h(args, run.sub("helper.err"), {"HOME=" + home.path()});
		EXPECT_EQ(h.ask("poll").head, c.answer);
		EXPECT_EQ(h.err(), c.err);
	}
}

// Not ASCII, the password goes by AUTHENTICATE PLAIN, as UTF-8.
TEST_F(WithDovecot, An8BitPasswordLogsIn)
{
	const string password = dovecot_.dir().write("password8", string(Dovecot::kEightBitPassword) + "\n");
	HelperProcess h({"-passwordCommand", "cat " + password, "-caFile", dovecot_.caFile(),
	                 "imaps://" + string(Dovecot::kEightBitUser) + "@localhost:" + std::to_string(dovecot_.imapsPort())},
	                dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""})) << h.err();
	EXPECT_EQ(h.err(), "");
}

TEST_F(WithDovecot, ChangesToldAsTheyHappen)
{
	vector<string> a = args();
	a.insert(a.begin(), "-instant");
	HelperProcess h(a, dir_.sub("helper.err"));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 0\n", ""}));
	dovecot_.deliver(mail("Ann <ann@x>", "now"));
	EXPECT_EQ(h.next(std::chrono::seconds(10)), (Answer{"changed\n", ""}));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.ask("read"), listOf(1, "Ann << now >>\n"));
	dovecot_.doveadm("flags add -u alice '\\Seen' mailbox INBOX uid 1");
	EXPECT_EQ(h.next(std::chrono::seconds(10)), (Answer{"changed\n", ""}));
	EXPECT_EQ(h.ask("poll"), (Answer{"status 1 1\n", ""}));
	EXPECT_EQ(h.err(), "");
}
