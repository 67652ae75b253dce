#include "tests/imap/helperprocess.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

using std::string;

void PrintTo(const Answer &a, std::ostream *out)
{
	*out << '"' << a.head << "\" + \"" << a.payload << '"';
}

HelperProcess::HelperProcess(const std::vector<string> &args, const string &errFile, const std::vector<string> &env)
	: errFile_(errFile)
{
	int in[2], out[2];
	if (pipe(in) != 0 || pipe(out) != 0)
		throw std::runtime_error("pipe");
	pid_ = fork();
	if (pid_ == 0) {
		dup2(in[0], 0);
		dup2(out[1], 1);
		const int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
		dup2(err, 2);
		std::vector<char *> argv{const_cast<char *>(BOXWARDEN_IMAP_HELPER)};
		for (const string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		for (int fd = 3; fd < 64; ++fd)
			close(fd);
		for (const string &assignment : env)
			putenv(const_cast<char *>(assignment.c_str()));
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(in[0]);
	close(out[1]);
	to_ = in[1];
	from_ = out[0];
}

void HelperProcess::leave()
{
	close(to_);
	to_ = -1;
}

HelperProcess::~HelperProcess()
{
	if (to_ >= 0)
		close(to_);
	close(from_);
	kill(pid_, SIGTERM);
	waitpid(pid_, nullptr, 0);
}

Answer HelperProcess::ask(const string &request, std::chrono::seconds patience, const Meanwhile &meanwhile)
{
	const string line = request + "\n";
	if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
		return {};
	return next(patience, meanwhile);
}

bool HelperProcess::readMore(std::chrono::steady_clock::time_point deadline, const Meanwhile &meanwhile)
{
	while (std::chrono::steady_clock::now() < deadline) {
		pollfd p{from_, POLLIN, 0};
		if (meanwhile)
			meanwhile();
		if (poll(&p, 1, 100) <= 0)
			continue;
		char buf[65536];
		const ssize_t n = read(from_, buf, sizeof buf);
		if (n <= 0)
			return false;
		buffer_.append(buf, static_cast<std::size_t>(n));
		return true;
	}
	return false;
}

Answer HelperProcess::next(std::chrono::seconds patience, const Meanwhile &meanwhile)
{
	const auto deadline = std::chrono::steady_clock::now() + patience;
	while (buffer_.find('\n') == string::npos)
		if (!readMore(deadline, meanwhile)) {
			Answer partial{buffer_, ""};
			buffer_.clear();
			return partial;
		}
	const auto nl = buffer_.find('\n');
	Answer a{buffer_.substr(0, nl + 1), ""};
	buffer_.erase(0, nl + 1);
	long count = 0, bytes = 0;
	if (std::sscanf(a.head.c_str(), "list %ld %ld", &count, &bytes) == 2) {
		const auto n = static_cast<std::size_t>(bytes);
		while (buffer_.size() < n && readMore(deadline, meanwhile)) {
		}
		a.payload = buffer_.substr(0, n);
		buffer_.erase(0, std::min(n, buffer_.size()));
	}
	return a;
}

string HelperProcess::err() const
{
	std::ifstream in(errFile_);
	return string(std::istreambuf_iterator<char>(in), {});
}

double HelperProcess::cpuSeconds() const
{
	std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
	string s(std::istreambuf_iterator<char>(stat), {});
	s.erase(0, s.rfind(')') + 2);
	long utime = 0, stime = 0;
	std::sscanf(s.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
	return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long HelperProcess::rssKilobytes() const
{
	std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
	for (string line; std::getline(status, line);)
		if (line.rfind("VmRSS:", 0) == 0)
			return std::atol(line.c_str() + 6);
	return 0;
}
