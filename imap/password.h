// The password or the access token for the account, held only in the
// helper's memory.
#pragma once

#include "imap/url.h"

#include <chrono>
#include <optional>
#include <string>

// The first line that command (run by /bin/sh) prints, when there is a
// command; otherwise the password of the URL's host (and user) in
// ~/.netrc, which is not used when others than its owner can read it.
// Nothing, with why, when neither gives one, or the command has not
// finished by end.  A password that could carry a command of its own (a
// line break or a NUL in it) is never given.
std::optional<std::string> findPassword(const MailboxUrl &url, const std::string &command,
                                        std::chrono::steady_clock::time_point end, std::string &why);

// The access token for an OAuth 2.0 login: the first line that command
// (run as a password command is) prints.  Nothing, with why, when the
// command fails, has not finished by end, prints nothing or more than
// 64 KiB, or prints a token with characters outside RFC 6750's token set,
// which could carry something into the login of its own.
std::optional<std::string> findToken(const std::string &command, std::chrono::steady_clock::time_point end,
                                     std::string &why);

// Ends the command's process group, should one be running: for a helper
// that is being ended.  Safe in a signal handler.
void endPasswordCommand();
