// Random mailboxes for the mbox parser's property tests.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

// About size bytes of lines that start with what the parser looks at (a
// separator, From:, Subject:, Status:, Ctrl-A, continuation lines and
// look-alikes of them) and lines around the length of its pieces; lines
// may start with moreStarts too.
std::string randomMailbox(std::mt19937 &random, std::size_t size, const std::vector<std::string> &moreStarts = {});
