#include "imap/pace.h"

void Backoff::ended(PaceClock::time_point now, PaceClock::duration lasted)
{
	if (lasted >= kQuickEnd) {
		wait_ = std::chrono::seconds(0);
		nextStart_ = PaceClock::time_point::min();
		return;
	}
	wait_ = wait_.count() == 0 ? kFirstWait : std::min(wait_ * 2, longest_);
	nextStart_ = now + wait_;
}

void StartLimit::started(PaceClock::time_point now)
{
	times_[oldest_] = now;
	oldest_ = (oldest_ + 1) % times_.size();
}
