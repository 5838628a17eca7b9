// Where the core's diagnostic lines go. The core never talks to a logger itself: the binding
// hands it a sink that forwards to the module's MetricLogger.
#pragma once

#include <string>

namespace velora::core {

class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void debug(const std::string& message) = 0;
    virtual void warning(const std::string& message) = 0;
};

// Swallows everything; for core callers that have nobody to tell.
class NullLogSink final : public LogSink {
  public:
    void debug(const std::string&) override {}
    void warning(const std::string&) override {}
};

}  // namespace velora::core
