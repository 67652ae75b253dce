// Telling whether an mbox file only grew since it was last read.
#include "scanner/resume.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <unistd.h>

namespace {

// Where every print starts: drawn once, so that the prints of one process
// cannot be foreseen by whoever writes the bytes.
std::uint64_t printSeed()
{
	static const std::uint64_t seed = [] {
		std::random_device random;
		return (static_cast<std::uint64_t>(random()) << 32 | random()) ^ 0xcbf29ce484222325ull;
	}();
	return seed;
}

// FNV-1a over eight bytes at a time, the word mixed before the next comes:
// a change anywhere changes the print, as far as a print of 64 bits can
// tell.  Never stored: the bytes only ever come back to this process.
struct Print {
	std::uint64_t value = printSeed();
	std::uint64_t pending = 0; // bytes not yet making up a word
	unsigned filled = 0;

	void word(std::uint64_t w)
	{
		value = (value ^ w) * 0x100000001b3ull;
		value ^= value >> 29;
	}
	void add(std::string_view bytes)
	{
		std::size_t i = 0;
		for (; filled != 0 && i < bytes.size(); ++i)
			take(static_cast<unsigned char>(bytes[i]));
		for (; i + 8 <= bytes.size(); i += 8) {
			std::uint64_t w;
			std::memcpy(&w, bytes.data() + i, 8);
			word(w);
		}
		for (; i < bytes.size(); ++i)
			take(static_cast<unsigned char>(bytes[i]));
	}
	void take(unsigned char byte)
	{
		pending |= static_cast<std::uint64_t>(byte) << (8 * filled);
		if (++filled == 8) {
			word(pending);
			pending = 0;
			filled = 0;
		}
	}
	std::uint64_t done()
	{
		word(pending ^ (static_cast<std::uint64_t>(filled) << 56));
		return value;
	}
};

bool sameTime(const timespec &a, const timespec &b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The print of the bytes [from, to) of a file; none when they cannot all be
// read.
std::optional<std::uint64_t> printOf(int fd, off_t from, off_t to)
{
	Print print;
	std::array<char, 16 * 1024> block;
	while (from < to) {
		const auto want = static_cast<std::size_t>(std::min<off_t>(to - from, block.size()));
		const ssize_t n = pread(fd, block.data(), want, from);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return std::nullopt;
		print.add({block.data(), static_cast<std::size_t>(n)});
		from += n;
	}
	return print.done();
}

// The prints of the first size bytes of a file whose last message began at
// last.
std::optional<FilePrints> printsOf(int fd, off_t size, off_t last)
{
	auto head = printOf(fd, 0, std::min(size, kHeadPrintBytes));
	auto lastStart = printOf(fd, last, std::min(size, last + kLastPrintBytes));
	auto tail = printOf(fd, std::max<off_t>(0, size - kTailPrintBytes), size);
	if (!head || !lastStart || !tail)
		return std::nullopt;
	return FilePrints{*head, *lastStart, *tail};
}

} // namespace

std::uint64_t printOf(std::string_view bytes)
{
	Print print;
	print.add(bytes);
	return print.done();
}

bool canGoOn(const MboxResume &resume, int fd, const struct stat &st, const char *summary, int capacity,
             int flags)
{
	return st.st_dev == resume.device && st.st_ino == resume.inode && st.st_size > resume.size &&
	       flags == resume.flags && capacity > 0 && capacity == resume.capacity &&
	       resume.last.length < static_cast<std::size_t>(capacity) && resume.charset == fontCharset &&
	       printOf({summary, resume.last.length}) == resume.summaryPrint &&
	       printsOf(fd, resume.size, resume.last.offset) == resume.prints;
}

std::optional<MboxResume> resumeAfter(int fd, const struct stat &before, off_t size, const MessageStart &last,
                                      const char *summary, int capacity, int flags)
{
	// The change time too, which no one can set back as a mail reader
	// sets back the modification time after writing the file over.
	struct stat after;
	if (capacity <= 0 || fstat(fd, &after) != 0 || after.st_size != before.st_size || after.st_size != size ||
	    !sameTime(after.st_mtim, before.st_mtim) || !sameTime(after.st_ctim, before.st_ctim) ||
	    after.st_ino != before.st_ino)
		return std::nullopt;
	auto prints = printsOf(fd, size, last.offset);
	if (!prints)
		return std::nullopt;
	return MboxResume{after.st_dev, after.st_ino, size, flags, capacity, fontCharset, last,
	                  printOf({summary, last.length}), *prints};
}
