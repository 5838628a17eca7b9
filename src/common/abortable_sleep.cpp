#include "common/abortable_sleep.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace velora::core {

bool abortable_sleep(double seconds, const std::function<bool()>& should_abort) {
    using Clock = std::chrono::steady_clock;
    const auto until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (true) {
        if (should_abort && should_abort()) return false;
        const Clock::duration left = until - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(100)));
    }
}

}  // namespace velora::core
