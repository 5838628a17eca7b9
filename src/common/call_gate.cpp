#include "common/call_gate.hpp"

namespace velora::core {

void CallGate::refuse_reentry() const {
    if (holder_.load() == std::this_thread::get_id()) throw CallGateReentered();
}

CallGate::Pass CallGate::entered() {
    holder_.store(std::this_thread::get_id());
    return Pass(*this);
}

std::optional<CallGate::Pass> CallGate::try_enter_for(std::chrono::milliseconds wait) {
    refuse_reentry();
    if (!mutex_.try_lock_for(wait)) return std::nullopt;
    return entered();
}

CallGate::Pass CallGate::enter() {
    refuse_reentry();
    mutex_.lock();
    return entered();
}

void CallGate::leave() noexcept {
    holder_.store(std::thread::id{});
    mutex_.unlock();
}

}  // namespace velora::core
