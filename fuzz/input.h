// Helpers for the fuzz targets: inputs as files the scanner can open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An in-memory file holding the given bytes, reachable by path().
class MemoryFile {
public:
	MemoryFile();
	void fill(const std::uint8_t *data, std::size_t size);
	// The bytes after what is there, as a delivery writes them.
	void append(const std::uint8_t *data, std::size_t size);
	// The byte at offset, written over.
	void change(long offset, std::uint8_t byte);
	const std::string &path() const { return path_; }

private:
	int fd_;
	std::string path_;
};

// The first byte of an input, taken off it; 0 when there is none.
std::uint8_t takeByte(const std::uint8_t *&data, std::size_t &size);

// Standard output, where a scan's traces go, thrown away.
void discardTraces();

// A byte taken off an input that chooses how to scan: its low five bits
// are the scan flags, and 0x20 sets the font charset to ISO 8859-1 (else
// none), which is done here.  The byte is returned whole, for the rest.
inline constexpr int kScanFlagBits = 0x1f;
int takeScanChoice(const std::uint8_t *&data, std::size_t &size);

// A summary's capacity, 1 to 65536, from two bytes taken off an input.
int takeCapacity(const std::uint8_t *&data, std::size_t &size);

// A file name of up to length bytes taken off an input: any bytes but "/"
// and NUL (which become "_"), never "", "." or "..".
std::string takeName(const std::uint8_t *&data, std::size_t &size, std::size_t length);

// What is in folder, removed (not its subfolders).
void emptyFolder(const std::string &folder);

// At path, an entry that cannot be opened: a socket.
void makeSocket(const std::string &path);
