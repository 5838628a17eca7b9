#include "common/http/in_flight_limit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <queue>
#include <vector>

namespace velora::core {
namespace {

using Start = InFlightLimit::Start;

// A service with `slots` answering first come, first served, each answer taking `service_time`,
// driven by `limit` on a scripted clock. Returns the window after each answer and each latency.
struct Served {
    std::vector<std::size_t> windows;
    std::vector<double> latencies;
};

Served serve(InFlightLimit& limit, std::size_t slots, double service_time, std::size_t requests) {
    struct Exchange {
        double sent, done;
        Start start;
        bool operator>(const Exchange& other) const { return done > other.done; }
    };
    std::priority_queue<double, std::vector<double>, std::greater<>> free_at;
    for (std::size_t i = 0; i < slots; ++i) free_at.push(0.0);
    std::priority_queue<Exchange, std::vector<Exchange>, std::greater<>> in_flight;
    std::size_t left = requests;
    double now = 0.0;
    Served run;
    while (left > 0 || !in_flight.empty()) {
        while (left > 0 && in_flight.size() < limit.allowed()) {
            const double begins = std::max(now, free_at.top());
            free_at.pop();
            free_at.push(begins + service_time);
            in_flight.push(
                {now, begins + service_time, limit.start(in_flight.size() + left >= limit.allowed())});
            --left;
        }
        const Exchange answered = in_flight.top();
        in_flight.pop();
        now = answered.done;
        limit.on_answer(answered.start, now - answered.sent);
        run.windows.push_back(limit.allowed());
        run.latencies.push_back(now - answered.sent);
    }
    return run;
}

TEST(InFlightLimit, FixedHalvesOncePerGenerationAndGrowsBackByOnePerFullWindow) {
    auto limit = InFlightLimit::fixed(16);
    const Start before = limit.start(true);
    limit.on_congestion(before);
    limit.on_congestion(before);  // started before the decrease: already counted by it
    EXPECT_EQ(limit.allowed(), 8u);
    for (int i = 0; i < 5; ++i) limit.on_congestion(limit.start(true));
    EXPECT_EQ(limit.allowed(), 1u);
    for (int i = 0; i < 3; ++i) limit.on_answer(limit.start(true), 0.1);  // 1 -> 2 -> 2.5 -> 2.9
    EXPECT_EQ(limit.allowed(), 2u);
    for (int i = 0; i < 1000; ++i) limit.on_answer(limit.start(true), 0.1);
    EXPECT_EQ(limit.allowed(), 16u);
}

TEST(InFlightLimit, AWindowNotUsedDoesNotGrow) {
    auto limit = InFlightLimit::adaptive(64);
    for (int i = 0; i < 100; ++i) limit.on_answer(limit.start(false), 0.1);
    EXPECT_EQ(limit.allowed(), InFlightLimit::kAdaptiveStart);
}

TEST(InFlightLimit, AdaptiveQuadruplesEachRoundWhileLatencyHoldsAndNeverPassesItsCeiling) {
    auto limit = InFlightLimit::adaptive(64);
    const Served run = serve(limit, 64, 0.2, 1000);
    EXPECT_EQ(run.windows[7], 32u);  // one round of 8
    EXPECT_EQ(run.windows[8 + 32 - 1], 64u);
    EXPECT_EQ(*std::max_element(run.windows.begin(), run.windows.end()), 64u);
    EXPECT_EQ(InFlightLimit::adaptive(3).allowed(), 3u);
}

// Against a service that answers one at a time, each extra exchange in flight only waits longer.
class AgainstASerialService : public testing::TestWithParam<std::function<InFlightLimit()>> {};

TEST_P(AgainstASerialService, TheWindowNarrowsSoThatAnswersKeepTheirLatency) {
    auto limit = GetParam()();
    const Served run = serve(limit, 1, 0.2, 1000);
    const std::vector<std::size_t> settled(run.windows.begin() + 100, run.windows.end());
    EXPECT_LE(*std::max_element(settled.begin(), settled.end()), 3u);
    EXPECT_LE(*std::max_element(run.latencies.begin() + 100, run.latencies.end()), 3 * 0.2 + 1e-9);
}

INSTANTIATE_TEST_SUITE_P(FixedAndAdaptive, AgainstASerialService,
                         testing::Values([] { return InFlightLimit::fixed(16); },
                                         [] { return InFlightLimit::adaptive(64); }));

TEST(InFlightLimit, JitterWithinTheSlackIsNotQueueing) {
    auto limit = InFlightLimit::adaptive(32);
    for (int i = 0; i < 200; ++i) limit.on_answer(limit.start(true), i % 2 == 0 ? 0.001 : 0.009);
    EXPECT_EQ(limit.allowed(), 32u);
}

TEST(InFlightLimit, ANewBatchLearnsItsOwnPace) {
    auto limit = InFlightLimit::fixed(16);
    for (int i = 0; i < 20; ++i) limit.on_answer(limit.start(true), 0.1);
    limit.new_batch();
    for (int i = 0; i < 20; ++i) limit.on_answer(limit.start(true), 1.0);  // longer answers, not a queue
    EXPECT_EQ(limit.allowed(), 16u);
}

}  // namespace
}  // namespace velora::core
