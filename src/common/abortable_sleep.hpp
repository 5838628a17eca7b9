// Waiting that gives way: a pause between retries or polls that ends early when the caller gives up
// (Ctrl-C), checked a few times a second.
#pragma once

#include <functional>

namespace velora::core {

// Sleeps `seconds` in short slices; false as soon as `should_abort` (when set) says so, true when
// the whole pause went by.
bool abortable_sleep(double seconds, const std::function<bool()>& should_abort);

}  // namespace velora::core
