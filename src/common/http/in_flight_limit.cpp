#include "common/http/in_flight_limit.hpp"

#include <algorithm>

namespace velora::core {

InFlightLimit::InFlightLimit(double window, double ceiling, bool adaptive)
    : window_(window), ceiling_(ceiling), adaptive_(adaptive), starting_(adaptive) {}

InFlightLimit InFlightLimit::fixed(std::size_t width) {
    const auto top = static_cast<double>(std::max<std::size_t>(width, 1));
    return {top, top, false};
}

InFlightLimit InFlightLimit::adaptive(std::size_t ceiling) {
    const auto top = static_cast<double>(std::max<std::size_t>(ceiling, 1));
    return {std::min(top, static_cast<double>(kAdaptiveStart)), top, true};
}

std::size_t InFlightLimit::allowed() const noexcept {
    return std::max<std::size_t>(1, static_cast<std::size_t>(window_));
}

std::size_t InFlightLimit::ceiling() const noexcept { return static_cast<std::size_t>(ceiling_); }

void InFlightLimit::on_answer(const Start& start, double latency_seconds) noexcept {
    smoothed_ = smoothed_ ? *smoothed_ + kSmoothing * (latency_seconds - *smoothed_) : latency_seconds;
    quickest_ = std::min(quickest_.value_or(*smoothed_), *smoothed_);
    const auto risen = [&](double latency, double factor) {
        return latency >= factor * *quickest_ && latency - *quickest_ >= kLatencySlackSeconds;
    };
    if (risen(*smoothed_, kShrinkFactor)) {
        shrink(start);
    } else if (start.demand && !risen(*smoothed_, kGrowFactor) && !risen(latency_seconds, kGrowFactor)) {
        grow();
    }
}

void InFlightLimit::on_congestion(const Start& start) noexcept { shrink(start); }

void InFlightLimit::new_batch() noexcept {
    smoothed_.reset();
    quickest_.reset();
}

void InFlightLimit::shrink(const Start& start) noexcept {
    if (start.generation != generation_) return;
    window_ = std::max(1.0, window_ / 2.0);
    starting_ = false;
    ++generation_;
}

void InFlightLimit::grow() noexcept {
    window_ = std::min(ceiling_, window_ + (starting_ ? kStartingStep : 1.0 / window_));
}

}  // namespace velora::core
