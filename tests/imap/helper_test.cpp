// The IMAP helper driven from the command line, as the watcher drives it,
// against a real Dovecot.
#include "scanner/scanner.h"
#include "tests/fixture.h"
#include "tests/imap/dovecot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using std::string;
using std::vector;

namespace {

struct Answer {
	string head, payload;
	bool operator==(const Answer &) const = default;
};

void PrintTo(const Answer &a, std::ostream *out)
{
	*out << testing::PrintToString(a.head) << " + " << testing::PrintToString(a.payload);
}

// boxwarden-imap, asked as the watcher asks it.
class Helper {
public:
	Helper(const vector<string> &args, const TempDir &dir) : err_(dir.sub("helper.err"))
	{
		int in[2], out[2];
		if (pipe(in) != 0 || pipe(out) != 0)
			throw std::runtime_error("pipe");
		pid_ = fork();
		if (pid_ == 0) {
			dup2(in[0], 0);
			dup2(out[1], 1);
			int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
			dup2(err, 2);
			vector<char *> argv{const_cast<char *>(BOXWARDEN_IMAP_HELPER)};
			for (const string &a : args)
				argv.push_back(const_cast<char *>(a.c_str()));
			argv.push_back(nullptr);
			for (int fd = 3; fd < 64; ++fd)
				close(fd);
			execv(argv[0], argv.data());
			_exit(127);
		}
		close(in[0]);
		close(out[1]);
		to_ = in[1];
		from_ = out[0];
	}
	~Helper()
	{
		close(to_);
		close(from_);
		kill(pid_, SIGTERM);
		waitpid(pid_, nullptr, 0);
	}

	Answer ask(const string &request, std::chrono::seconds patience = std::chrono::seconds(60))
	{
		const string line = request + "\n";
		if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
			return {};
		Answer a;
		a.head = readUntil([&] { return buffer_.find('\n') != string::npos; }, patience);
		const auto nl = a.head.find('\n');
		if (nl == string::npos)
			return a;
		buffer_ = a.head.substr(nl + 1);
		a.head.resize(nl + 1);
		long count = 0, bytes = 0;
		if (std::sscanf(a.head.c_str(), "list %ld %ld", &count, &bytes) == 2) {
			const auto n = static_cast<std::size_t>(bytes);
			string all = readUntil([&] { return buffer_.size() >= n; }, patience);
			a.payload = all.substr(0, n);
			buffer_ = all.substr(std::min(n, all.size()));
		}
		return a;
	}

	string err() const { return readFile(err_); }
	pid_t pid() const { return pid_; }

private:
	template <typename Ready>
	string readUntil(Ready ready, std::chrono::seconds patience)
	{
		const auto deadline = std::chrono::steady_clock::now() + patience;
		while (!ready() && std::chrono::steady_clock::now() < deadline) {
			pollfd p{from_, POLLIN, 0};
			if (poll(&p, 1, 100) <= 0)
				continue;
			char buf[65536];
			const ssize_t n = read(from_, buf, sizeof buf);
			if (n <= 0)
				break;
			buffer_.append(buf, static_cast<std::size_t>(n));
		}
		string out = buffer_;
		buffer_.clear();
		return out;
	}

	string err_;
	pid_t pid_ = -1;
	int to_ = -1, from_ = -1;
	string buffer_;
};

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
	Helper h(args(), dir_);
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
