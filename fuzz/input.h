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
	const std::string &path() const { return path_; }

private:
	int fd_;
	std::string path_;
};

// The first byte of an input, taken off it; 0 when there is none.
std::uint8_t takeByte(const std::uint8_t *&data, std::size_t &size);
