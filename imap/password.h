// The password for the account, held only in the helper's memory.
#pragma once

#include "imap/url.h"

#include <optional>
#include <string>

// The first line that command (run by /bin/sh) prints, when there is a
// command; otherwise the password of the URL's host (and user) in
// ~/.netrc, which is not used when others than its owner can read it.
// Nothing, with why, when neither gives one.
std::optional<std::string> findPassword(const MailboxUrl &url, const std::string &command, std::string &why);
