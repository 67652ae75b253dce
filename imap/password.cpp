#include "imap/password.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using std::string;

namespace {

constexpr std::size_t kPasswordBytes = 4096;

std::optional<string> fromCommand(const string &command, string &why)
{
	int fds[2];
	if (pipe(fds) != 0) {
		why = "cannot run passwordCommand";
		return std::nullopt;
	}
	const pid_t pid = fork();
	if (pid == 0) {
		// Its input is nothing: the helper's is the watcher's requests.
		const int nothing = open("/dev/null", O_RDONLY);
		if (nothing > 0) {
			dup2(nothing, 0);
			close(nothing);
		}
		dup2(fds[1], 1);
		close(fds[0]);
		close(fds[1]);
		execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(fds[1]);
	string out;
	std::array<char, 512> buf;
	for (ssize_t n; pid > 0 && (n = read(fds[0], buf.data(), buf.size())) != 0;) {
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			break;
		if (out.size() < kPasswordBytes)
			out.append(buf.data(), static_cast<std::size_t>(n));
	}
	close(fds[0]);
	int status = 0;
	if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		why = "passwordCommand failed";
		return std::nullopt;
	}
	out.resize(std::min(out.find('\n'), out.size()));
	if (!out.empty() && out.back() == '\r')
		out.pop_back();
	if (out.empty()) {
		why = "passwordCommand printed no password";
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

std::optional<string> findPassword(const MailboxUrl &url, const string &command, string &why)
{
	return command.empty() ? fromNetrc(url, why) : fromCommand(command, why);
}
