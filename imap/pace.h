// How often the helper may log in, and idle: a server that ends every
// connection or IDLE at once must not get a storm of logins (enough to
// lock an account at many providers) or of EXAMINE and IDLE.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>

using PaceClock = std::chrono::steady_clock;

// After a start that ended within kQuickEnd, the next waits: a second,
// then twice as long after each such end, up to longest; a start that
// lasted resets it.
class Backoff {
public:
	static constexpr std::chrono::seconds kQuickEnd{1};
	static constexpr std::chrono::seconds kFirstWait{1};

	explicit Backoff(std::chrono::seconds longest) : longest_(std::max(longest, kFirstWait)) {}
	// What has started has ended, having lasted that long.
	void ended(PaceClock::time_point now, PaceClock::duration lasted);
	PaceClock::time_point nextStart() const { return nextStart_; }

private:
	std::chrono::seconds longest_;
	std::chrono::seconds wait_{0};
	PaceClock::time_point nextStart_ = PaceClock::time_point::min();
};

// At most kLogins logins in any kWindow, whatever else allows.
class LoginLimit {
public:
	static constexpr int kLogins = 10;
	static constexpr std::chrono::minutes kWindow{1};

	LoginLimit() { times_.fill(PaceClock::time_point::min()); }

	PaceClock::time_point nextLogin() const { return times_[oldest_] + kWindow; }
	void loggedIn(PaceClock::time_point now);

private:
	// The last kLogins logins, the oldest at oldest_.
	std::array<PaceClock::time_point, kLogins> times_{};
	std::size_t oldest_ = 0;
};
