#include "fuzz/input.h"
#include "decode/decode.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

MemoryFile::MemoryFile() : fd_(memfd_create("mailbox", 0)), path_("/proc/self/fd/" + std::to_string(fd_))
{
	if (fd_ < 0)
		std::abort();
}

void MemoryFile::fill(const std::uint8_t *data, std::size_t size)
{
	if (ftruncate(fd_, 0) != 0)
		std::abort();
	append(data, size);
}

void MemoryFile::append(const std::uint8_t *data, std::size_t size)
{
	const off_t end = lseek(fd_, 0, SEEK_END);
	if (end < 0)
		std::abort();
	for (std::size_t done = 0; done < size;) {
		ssize_t n = pwrite(fd_, data + done, size - done, end + static_cast<off_t>(done));
		if (n <= 0)
			std::abort();
		done += static_cast<std::size_t>(n);
	}
}

void MemoryFile::change(long offset, std::uint8_t byte)
{
	if (pwrite(fd_, &byte, 1, offset) != 1)
		std::abort();
}

std::uint8_t takeByte(const std::uint8_t *&data, std::size_t &size)
{
	if (size == 0)
		return 0;
	--size;
	return *data++;
}

void discardTraces()
{
	if (!std::freopen("/dev/null", "w", stdout))
		std::abort();
}

int takeScanChoice(const std::uint8_t *&data, std::size_t &size)
{
	const int choice = takeByte(data, size);
	if (choice & 0x20)
		setFontCharset("ISO8859", "1");
	else
		setFontCharset(nullptr, nullptr);
	return choice;
}

int takeCapacity(const std::uint8_t *&data, std::size_t &size)
{
	const int high = takeByte(data, size);
	return 1 + (high << 8 | takeByte(data, size));
}

std::string takeName(const std::uint8_t *&data, std::size_t &size, std::size_t length)
{
	std::string name;
	while (name.size() < length && size > 0) {
		const char c = static_cast<char>(takeByte(data, size));
		name += c == '/' || c == '\0' ? '_' : c;
	}
	if (name.empty() || name == "." || name == "..")
		name += "x";
	return name;
}

void emptyFolder(const std::string &folder)
{
	DIR *d = opendir(folder.c_str());
	if (!d)
		std::abort();
	while (const dirent *e = readdir(d))
		if (e->d_type != DT_DIR)
			unlink((folder + "/" + e->d_name).c_str());
	closedir(d);
}

void makeSocket(const std::string &path)
{
	sockaddr_un addr{};
	if (path.size() >= sizeof addr.sun_path)
		std::abort();
	const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	addr.sun_family = AF_UNIX;
	path.copy(addr.sun_path, sizeof addr.sun_path - 1);
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
		std::abort();
	close(fd); // the socket file stays
}
