// Reading a mailbox file in pieces.
//
// The scanner looks at a file the way a 160-byte fgets() buffer would show
// it: a piece is a line of at most kPieceChars characters, newline
// included, and a longer line arrives as several pieces, each examined as a
// line of its own.  The reader fetches large blocks and hands out pieces in
// place, so the parsers can fold them and skip over whole runs of them.
#pragma once

#include <array>
#include <cstddef>
#include <sys/types.h>
#include <span>
#include <string_view>

inline constexpr std::size_t kPieceChars = 159;
inline constexpr char kCtrlA = '\001';

// A file opened for reading only, closed when it goes out of scope.
class MailFile {
public:
	// Opens path read-only, leaving its access time alone where the
	// system allows it; isOpen() tells whether that worked.
	explicit MailFile(const char *path);
	// The same for name in the folder open as dirFd: no path to walk.
	MailFile(int dirFd, const char *name);
	~MailFile();
	MailFile(const MailFile &) = delete;
	MailFile &operator=(const MailFile &) = delete;

	bool isOpen() const { return fd_ >= 0; }
	bool isRegular() const;
	int fd() const { return fd_; }

private:
	int fd_;
};

class PieceReader {
public:
	// Reads of readSize bytes at most: a reader that wants only the start
	// of a file asks for less than a whole block.
	explicit PieceReader(int fd, std::size_t readSize = kReadBlock) : fd_(fd), readSize_(readSize) {}
	// Pieces of bytes already in memory, handed out in place.
	explicit PieceReader(std::span<char> bytes)
		: fd_(-1), readSize_(0), ended_(true), end_(bytes.size()), data_(bytes.data())
	{
	}
	PieceReader(const PieceReader &) = delete;
	PieceReader &operator=(const PieceReader &) = delete;

	// The next piece, or an empty span at the end of the file.  A read
	// error ends the file.
	std::span<char> next();

	// Bytes fetched but not yet taken; consume() takes them.
	std::span<char> buffered() { return {data_ + pos_, end_ - pos_}; }
	void consume(std::size_t n) { pos_ += n; }

	// Fetches more after the buffered bytes, which must be fewer than
	// kPieceChars; false when nothing more comes.
	bool fill();

	// Reads from offset on, which becomes the start of a piece: before the
	// first piece is asked for.  False when the file cannot go there.
	bool startAt(off_t offset);
	// Where in the file a byte handed out lies, and how far the pieces
	// taken so far reach (at the end, what the whole file held).
	off_t offsetOf(const char *byte) const { return base_ + (byte - data_); }
	off_t offset() const { return base_ + static_cast<off_t>(pos_); }

	static constexpr std::size_t kReadBlock = 128 * 1024;
	static_assert(kReadBlock > 2 * kPieceChars);

private:
	int fd_;
	std::size_t readSize_;
	bool ended_ = false;
	std::size_t pos_ = 0;
	std::size_t end_ = 0;
	off_t base_ = 0; // the file offset of data_[0]
	std::array<char, kReadBlock> buf_;
	char *data_ = buf_.data(); // buf_, or the bytes in memory
};

// The text of a piece: a NUL ends it, as it would end the C string.
inline std::string_view pieceText(std::span<const char> piece)
{
	std::string_view bytes(piece.data(), piece.size());
	return bytes.substr(0, bytes.find('\0'));
}
