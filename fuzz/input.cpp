#include "fuzz/input.h"

#include <cstdlib>
#include <sys/mman.h>
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
	for (std::size_t done = 0; done < size;) {
		ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
		if (n <= 0)
			std::abort();
		done += static_cast<std::size_t>(n);
	}
}

std::uint8_t takeByte(const std::uint8_t *&data, std::size_t &size)
{
	if (size == 0)
		return 0;
	--size;
	return *data++;
}
