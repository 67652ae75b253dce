#include "scanner/pieces.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

MailFile::MailFile(const char *path) : MailFile(AT_FDCWD, path) {}

MailFile::MailFile(int dirFd, const char *name)
{
	// O_NOATIME keeps the "new mail" mark that shells and mail readers
	// take from the access and modification times; it is refused on
	// files of other owners, which are then opened plainly.  O_NONBLOCK
	// keeps a FIFO from holding up the open; regular files ignore it.
	const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	fd_ = openat(dirFd, name, flags | O_NOATIME);
	if (fd_ < 0 && errno == EPERM)
		fd_ = openat(dirFd, name, flags);
}

MailFile::~MailFile()
{
	if (fd_ >= 0)
		close(fd_);
}

bool MailFile::isRegular() const
{
	struct stat st;
	return fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

bool PieceReader::fill()
{
	if (ended_)
		return false;
	assert(end_ - pos_ < kPieceChars);
	std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
	base_ += static_cast<off_t>(pos_);
	end_ -= pos_;
	pos_ = 0;
	for (;;) {
		ssize_t n = read(fd_, buf_.data() + end_, std::min(buf_.size() - end_, readSize_));
		if (n > 0) {
			end_ += static_cast<std::size_t>(n);
			return true;
		}
		if (n < 0 && errno == EINTR)
			continue;
		ended_ = true;
		return false;
	}
}

bool PieceReader::startAt(off_t offset)
{
	assert(pos_ == 0 && end_ == 0 && fd_ >= 0);
	if (lseek(fd_, offset, SEEK_SET) != offset)
		return false;
	base_ = offset;
	return true;
}

std::span<char> PieceReader::next()
{
	for (;;) {
		char *start = data_ + pos_;
		std::size_t avail = end_ - pos_;
		std::size_t limit = std::min(avail, kPieceChars);
		std::size_t n = 0;
		if (auto *nl = static_cast<char *>(std::memchr(start, '\n', limit)))
			n = static_cast<std::size_t>(nl - start) + 1;
		else if (avail >= kPieceChars || (ended_ && avail > 0))
			n = limit;
		else if (!fill() && end_ == pos_)
			return {};
		if (n > 0) {
			pos_ += n;
			return {start, n};
		}
	}
}
