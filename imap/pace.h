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

// At most kStarts starts in any kWindow, whatever else allows; or, for
// what may leave room to others, at most a part of them.
class StartLimit {
public:
	static constexpr int kStarts = 10;
	static constexpr std::chrono::minutes kWindow{1};

	StartLimit() { times_.fill(PaceClock::time_point::min()); }
	// When the next start may be made, leaving room for keep more.
	PaceClock::time_point nextStart(int keep = 0) const
	{
		return times_[(oldest_ + static_cast<std::size_t>(keep)) % times_.size()] + kWindow;
	}
	void started(PaceClock::time_point now);

private:
	// The last kStarts starts, the oldest at oldest_.
	std::array<PaceClock::time_point, kStarts> times_{};
	std::size_t oldest_ = 0;
};
