// One call at a time on an object whose parts cannot be shared between threads (a libcurl multi
// handle, a cache connection). Callers on other threads wait their turn; a call from the thread
// already inside (a callback of the call calling the object again) is refused, since waiting for
// itself would never end.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velora::core {

// A call made from inside another call of the same object, on the same thread.
class CallGateReentered : public std::logic_error {
  public:
    CallGateReentered() : std::logic_error("the object is already in use by a call on this thread") {}
};

class CallGate {
  public:
    // Held for one call; the gate opens again when it goes.
    class Pass {
      public:
        Pass(Pass&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
        Pass& operator=(Pass&&) = delete;
        ~Pass() {
            if (gate_ != nullptr) gate_->leave();
        }

      private:
        friend class CallGate;
        explicit Pass(CallGate& gate) : gate_(&gate) {}
        CallGate* gate_;
    };

    // Waits up to `wait` for the gate; nothing when another thread still holds it.
    // CallGateReentered when this thread holds it.
    std::optional<Pass> try_enter_for(std::chrono::milliseconds wait);
    // Waits as long as it takes.
    Pass enter();

  private:
    void leave() noexcept;
    void refuse_reentry() const;
    Pass entered();

    std::timed_mutex mutex_;
    std::atomic<std::thread::id> holder_{};
};

}  // namespace velora::core
