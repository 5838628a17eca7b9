#include "common/call_gate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velora::core {
namespace {

using std::chrono::milliseconds;

TEST(CallGate, LetsOneThreadInAtATime) {
    CallGate gate;
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int call = 0; call < 50; ++call) {
                const auto pass = gate.enter();
                most = std::max(most.load(), ++inside);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --inside;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(most.load(), 1);
}

TEST(CallGate, RefusesTheThreadAlreadyInsideAndOpensWhenThePassGoes) {
    CallGate gate;
    {
        const auto pass = gate.enter();
        EXPECT_THROW(gate.enter(), CallGateReentered);
        EXPECT_THROW(gate.try_enter_for(milliseconds(0)), CallGateReentered);
        bool other_got_in = true;
        std::thread([&] { other_got_in = gate.try_enter_for(milliseconds(20)).has_value(); }).join();
        EXPECT_FALSE(other_got_in);
    }
    bool other_got_in = false;
    std::thread([&] { other_got_in = gate.try_enter_for(milliseconds(20)).has_value(); }).join();
    EXPECT_TRUE(other_got_in);
    EXPECT_TRUE(gate.try_enter_for(milliseconds(0)).has_value());
}

}  // namespace
}  // namespace velora::core
