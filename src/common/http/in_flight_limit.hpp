// How many exchanges with one service may be in flight at once, learnt from its answers.
//
// Fixed: the window starts at the width asked for and never passes it. Adaptive: it starts at
// kAdaptiveStart (or the ceiling, when lower) and grows up to the ceiling: by kStartingStep per
// good answer at first (four times as wide each round trip) until the first sign of congestion,
// then by one per full window of good answers.
//
// Congestion, in both: a 429 or another transient status (5xx but 501), a time-out, or answers
// whose smoothed latency has risen to kShrinkFactor times the quickest seen in this batch (and by
// at least kLatencySlackSeconds): the service is queueing them. The window then halves, at most
// once per "generation": an exchange started before the last decrease was already counted by it.
// Good answers grow the window only while neither their own latency nor the smoothed one has
// risen to kGrowFactor times the quickest, and only those of exchanges started when the batch had
// more to send than the window let out (a window that was not used proves nothing about a wider
// one). A time-out counts only when the request went out: one that never reached the service
// says nothing of its queue (the transport tells them apart).
//
// No clock of its own: the caller measures each latency, so that tests can script them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velora::core {

class InFlightLimit {
  public:
    static constexpr std::size_t kAdaptiveStart = 8;
    static constexpr double kStartingStep = 3.0;
    static constexpr double kGrowFactor = 1.5;
    static constexpr double kShrinkFactor = 2.0;
    static constexpr double kLatencySlackSeconds = 0.01;  // jitter, not queueing
    static constexpr double kSmoothing = 0.25;            // weight of the newest latency

    // What the window was when an exchange started, told back with its outcome.
    struct Start {
        std::uint64_t generation = 0;
        bool demand = false;  // the batch had at least a window's worth to send
    };

    static InFlightLimit fixed(std::size_t width);
    static InFlightLimit adaptive(std::size_t ceiling);

    std::size_t allowed() const noexcept;
    std::size_t ceiling() const noexcept;
    bool is_adaptive() const noexcept { return adaptive_; }
    Start start(bool demand) const noexcept { return {generation_, demand}; }

    // A good answer (status below 400) after `latency_seconds`.
    void on_answer(const Start& start, double latency_seconds) noexcept;
    // A transient status or a time-out.
    void on_congestion(const Start& start) noexcept;
    // A new batch: its prompts may answer at another pace, so its latencies are learnt afresh.
    void new_batch() noexcept;

  private:
    InFlightLimit(double window, double ceiling, bool adaptive);
    void shrink(const Start& start) noexcept;
    void grow() noexcept;

    double window_;
    double ceiling_;
    bool adaptive_;
    bool starting_;  // no congestion seen yet: grow by kStartingStep per answer
    std::uint64_t generation_ = 0;
    std::optional<double> smoothed_;
    std::optional<double> quickest_;
};

}  // namespace velora::core
