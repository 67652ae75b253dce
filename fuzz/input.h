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

// A file name of up to length bytes taken off an input: any bytes but "/"
// and NUL (which become "_"), never "", "." or "..".
std::string takeName(const std::uint8_t *&data, std::size_t &size, std::size_t length);

// What is in folder, removed (not its subfolders).
void emptyFolder(const std::string &folder);

// At path, an entry that cannot be opened: a socket.
void makeSocket(const std::string &path);
