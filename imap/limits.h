// How long the helper waits on a server, and the watcher on the helper.
// Each answer of the server has a time limit, and a whole request (a poll,
// or a read of many batches) a few times that, so that a server that
// trickles answers can't hold the helper for long.  A request may come
// while the helper is starting to idle, which takes one answer's time at
// most.  The watcher gives a helper that has not answered a request well
// past all that up as hung, and starts another.
#pragma once

#include <chrono>

inline constexpr std::chrono::seconds kAnswerTime{30}; // unless -timeout says otherwise
inline constexpr int kAnswersPerRequest = 3;           // a request's time, in answers' times
inline constexpr std::chrono::seconds kHelperPatience{150};
static_assert(kAnswerTime * (1 + kAnswersPerRequest) < kHelperPatience);
