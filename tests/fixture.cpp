#include "tests/fixture.h"

#include "scanner/scanner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempDir::TempDir()
{
	std::string pattern = (std::filesystem::temp_directory_path() / "boxwarden.XXXXXX").string();
	if (!mkdtemp(pattern.data()))
		throw std::runtime_error("mkdtemp failed");
	path_ = pattern;
}

TempDir::~TempDir()
{
	std::error_code ignored;
	std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, std::string_view bytes) const
{
	std::string full = sub(name);
	std::ofstream(full, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
	return full;
}

void PrintTo(const ScanResult &result, std::ostream *out)
{
	*out << "{" << result.count << ", " << testing::PrintToString(result.summary) << "}";
}

ScanResult scan(const std::string &path, int flags, int capacity)
{
	std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, '#');
	int count = parseMailbox(path.c_str(), buffer.data(), capacity, flags);
	// Nothing may be written past the capacity.
	EXPECT_EQ(buffer[static_cast<std::size_t>(capacity)], '#');
	return {count, std::string(buffer.data())};
}

ScanResult scanText(std::string_view bytes, int flags, int capacity)
{
	TempDir dir;
	return scan(dir.write("mbox", bytes), flags, capacity);
}

TracedScan scanTraced(const std::string &path, int flags, int capacity)
{
	std::fflush(stdout);
	testing::internal::CaptureStdout();
	ScanResult result = scan(path, flags, capacity);
	std::fflush(stdout);
	return {result, testing::internal::GetCapturedStdout()};
}

std::string readFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream bytes;
	bytes << in.rdbuf();
	return bytes.str();
}

void makeSocket(const std::string &path)
{
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	path.copy(addr.sun_path, sizeof addr.sun_path - 1);
	ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path;
	close(fd); // the socket file stays
}

FifoWriter::FifoWriter(const std::string &path) : path_(path)
{
	if (mkfifo(path.c_str(), 0600) != 0)
		throw std::runtime_error("mkfifo " + path);
	pid_ = fork();
	if (pid_ == 0)
		_exit(open(path.c_str(), O_WRONLY) >= 0 ? 0 : 1);
}

FifoWriter::~FifoWriter()
{
	const int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
	waitpid(pid_, nullptr, 0);
	close(reader);
}

bool FifoWriter::waiting()
{
	// A writer that has been let go ends at once.
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	return waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::string produce(const std::vector<std::string> &args)
{
	const std::string &script = args.at(0);
	std::vector<std::string> argv{script.ends_with(".py") ? "/usr/bin/python3" : "/usr/bin/perl",
	                              std::string(BOXWARDEN_PRODUCERS) + "/" + script};
	argv.insert(argv.end(), args.begin() + 1, args.end());
	int fds[2];
	if (pipe(fds) != 0)
		throw std::runtime_error("pipe failed");
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fds[1], 1);
		close(fds[0]);
		close(fds[1]);
		std::vector<char *> cargs;
		for (const std::string &a : argv)
			cargs.push_back(const_cast<char *>(a.c_str()));
		cargs.push_back(nullptr);
		execv(cargs[0], cargs.data());
		_exit(127);
	}
	close(fds[1]);
	std::string out;
	char buf[4096];
	for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
		if (n > 0)
			out.append(buf, static_cast<std::size_t>(n));
		else if (errno != EINTR)
			break;
	}
	close(fds[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		throw std::runtime_error(script + " failed");
	return out;
}
