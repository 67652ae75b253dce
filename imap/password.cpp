#include "imap/password.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

using std::string;

namespace {

constexpr std::size_t kPasswordBytes = 4096;
// An access token is often a signed document of a kilobyte or two; a
// command that prints far more is broken.
constexpr std::size_t kTokenBytes = 64 * 1024;
// How often an ended command's shell is looked at, while its output is closed.
constexpr std::chrono::milliseconds kReapStep{10};

// The process group of the command while it runs, for endPasswordCommand.
volatile sig_atomic_t commandGroup = 0;

// The command runs in a process group of its own, so that it ends whole,
// its children too: when it has done, when it takes too long, and when
// the helper is ended meanwhile (the watcher ends it, and asks the system
// to end it when the watcher itself ends).  Its input is nothing (the
// helper's is the watcher's requests), and its shell dies with the helper.
pid_t startCommand(const string &command, int output)
{
	const pid_t pid = fork();
	if (pid != 0)
		return pid;
	setpgid(0, 0);
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	std::signal(SIGPIPE, SIG_DFL); // the helper's own choice, not the command's
	const int nothing = open("/dev/null", O_RDONLY);
	if (nothing > 0) {
		dup2(nothing, 0);
		close(nothing);
	}
	dup2(output, 1);
	execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
	_exit(127);
}

// The command's output until it closes it, up to end, the first limit
// bytes of it kept and all of it counted; with enough, no further than
// past the limit.  False when end came first.
bool readOutput(int fd, std::chrono::steady_clock::time_point end, std::size_t limit, bool enough, string &out,
                std::size_t &total)
{
	std::array<char, 512> buf;
	bool closed = false;
	while (!closed) {
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
		pollfd p{fd, POLLIN, 0};
		if (left.count() <= 0)
			break;
		if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
			continue;
		const ssize_t n = read(fd, buf.data(), buf.size());
		if (n < 0 && errno == EINTR)
			continue;
		closed = n <= 0;
		if (n > 0)
			total += static_cast<std::size_t>(n);
		if (n > 0 && out.size() < limit)
			out.append(buf.data(), static_cast<std::size_t>(n));
		if (enough && total > limit)
			break;
	}
	explicit_bzero(buf.data(), buf.size());
	return closed;
}

// Whether the shell has ended by end; it is left to be reaped.
bool hasEnded(pid_t pid, std::chrono::steady_clock::time_point end)
{
	for (;;) {
		siginfo_t info{};
		if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
			return false;
		if (info.si_pid == pid)
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(kReapStep);
	}
}

// What a command is asked for: its resource's name, what its first line
// is, how much of its output is read, and whether a command that prints
// more is stopped there (a token is never that long) or only not heard.
struct Secret {
	const char *command;
	const char *what;
	std::size_t limit;
	bool stoppedPastLimit;
};
constexpr Secret kPassword{"passwordCommand", "password", kPasswordBytes, false};
constexpr Secret kToken{"tokenCommand", "token", kTokenBytes, true};
// A login command's line holds 64 KiB at most in libcurl, and a token goes
// in it in base64, a third longer, beside the user and the host.
constexpr std::size_t kLongestToken = 47 * 1024;
static_assert(kLongestToken / 3 * 4 + 1024 < 64 * 1024);

// The first line that command prints.
std::optional<string> fromCommand(const string &command, const Secret &secret, std::chrono::steady_clock::time_point end,
                                  string &why)
{
	const string name = secret.command;
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0) {
		why = "cannot run " + name;
		return std::nullopt;
	}
	const pid_t pid = startCommand(command, fds[1]);
	close(fds[1]);
	if (pid < 0) {
		close(fds[0]);
		why = "cannot run " + name;
		return std::nullopt;
	}
	setpgid(pid, pid); // as the child does itself: whichever comes first
	commandGroup = pid;
	// Room for all that is kept, so that no copy of a part of it is left
	// behind in memory by its growing.
	string out;
	out.reserve(secret.limit + 512);
	std::size_t total = 0;
	const bool read = readOutput(fds[0], end, secret.limit, secret.stoppedPastLimit, out, total);
	const bool tooMuch = secret.stoppedPastLimit && total > secret.limit;
	const bool finished = (read && hasEnded(pid, end)) || tooMuch;
	close(fds[0]);
	// Its group ends whole before its shell is reaped, whose number
	// names the group until then.
	endPasswordCommand();
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	// The first line is the password; nothing else is kept.
	const std::size_t lineEnd = std::min(out.find('\n'), out.size());
	explicit_bzero(out.data() + lineEnd, out.size() - lineEnd);
	out.resize(lineEnd);
	const char *failure = nullptr;
	if (tooMuch)
		failure = " printed more than 64 KiB";
	else if (!finished)
		failure = " did not finish in time";
	else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		failure = " failed";
	if (failure) {
		explicit_bzero(out.data(), out.size());
		why = name + failure;
		return std::nullopt;
	}
	if (!out.empty() && out.back() == '\r')
		out.pop_back();
	if (out.empty()) {
		why = name + " printed no " + secret.what;
		return std::nullopt;
	}
	return out;
}

// The words of a .netrc: separated by white space, or quoted ("a b",
// with \" and \\ inside), as curl and others read them.
class NetrcTokens {
public:
	explicit NetrcTokens(string text) : text_(std::move(text)) {}
	bool next(string &word)
	{
		word.clear();
		while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
			++at_;
		if (at_ >= text_.size())
			return false;
		if (text_[at_] != '"') {
			while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_])))
				word += text_[at_++];
			return true;
		}
		for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
			if (text_[at_] == '\\' && at_ + 1 < text_.size())
				++at_;
			word += text_[at_];
		}
		++at_;
		return true;
	}

private:
	string text_;
	std::size_t at_ = 0;
};

std::optional<string> fromNetrc(const MailboxUrl &url, string &why)
{
	const char *home = std::getenv("HOME");
	const string path = string(home ? home : "") + "/.netrc";
	struct stat st;
	if (!home || stat(path.c_str(), &st) != 0) {
		why = "no password: give passwordCommand, or the host in ~/.netrc";
		return std::nullopt;
	}
	if (st.st_mode & (S_IRWXG | S_IRWXO)) {
		why = "~/.netrc can be read by others; it is not used";
		return std::nullopt;
	}
	std::ifstream in(path);
	std::ostringstream all;
	all << in.rdbuf();
	NetrcTokens words(all.str());
	// machine NAME, or default, then login and password in any order.
	string word, machine, login, password;
	bool inEntry = false;
	auto matches = [&] { return inEntry && !password.empty() && (login.empty() || login == url.user); };
	while (words.next(word)) {
		if (word == "machine" || word == "default") {
			if (matches())
				return password;
			machine.clear();
			if (word == "machine")
				words.next(machine);
			inEntry = word == "default" || machine == url.host;
			login.clear();
			password.clear();
		} else if (word == "login") {
			words.next(login);
		} else if (word == "password") {
			words.next(password);
		}
	}
	if (matches())
		return password;
	why = "no password for " + url.host + " in ~/.netrc";
	return std::nullopt;
}

} // namespace

void endPasswordCommand()
{
	const pid_t group = commandGroup;
	if (group > 0)
		kill(-group, SIGKILL);
	commandGroup = 0;
}

std::optional<string> findPassword(const MailboxUrl &url, const string &command,
                                   std::chrono::steady_clock::time_point end, string &why)
{
	auto password = command.empty() ? fromNetrc(url, why) : fromCommand(command, kPassword, end, why);
	// IMAP has no way to send these in a LOGIN, and a server would take
	// what follows a line break as a command of its own.
	if (password && password->find_first_of(string("\r\n\0", 3)) != string::npos) {
		explicit_bzero(password->data(), password->size());
		why = "the password holds a line break or a NUL, which no login can carry; it is not used";
		return std::nullopt;
	}
	return password;
}

namespace {

// RFC 6750's b64token: letters, digits and "-._~+/", then "=" only: nothing
// that could end a SASL message or add to it.
bool isBearerToken(const string &token)
{
	const std::size_t body = token.find_last_not_of('=');
	if (body == string::npos)
		return false;
	constexpr std::string_view kMarks = "-._~+/";
	return std::all_of(token.begin(), token.begin() + static_cast<long>(body) + 1, [&](char c) {
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		       kMarks.find(c) != std::string_view::npos;
	});
}

} // namespace

std::optional<string> findToken(const string &command, std::chrono::steady_clock::time_point end, string &why)
{
	auto token = fromCommand(command, kToken, end, why);
	if (token && !isBearerToken(*token))
		why = "tokenCommand printed a token with characters no OAuth 2.0 token has; it is not used";
	else if (token && token->size() > kLongestToken)
		why = "tokenCommand printed a token longer than a login can carry (47 KiB); it is not used";
	else
		return token;
	explicit_bzero(token->data(), token->size());
	return std::nullopt;
}
