// One conversation with the governance console: the transport its requests go through, the sink
// of its log lines, the console URL and the header dictionary its operations use, and the settings
// that apply to all of its requests. A console run keeps one session from sign-in to its last
// write, so that a roll-back also knows every metric object the run created.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/http/transport.hpp"
#include "common/log_sink.hpp"
#include "mra/core/console/json.hpp"
#include "mra/core/console/settings.hpp"

namespace velora::core::console {

// Waits the given seconds between two attempts of a request.
using Pause = std::function<void(double)>;

class ConsoleSession {
  public:
    // ConsoleValueError naming "vn_url" unless it is an http:// or https:// URL.
    ConsoleSession(Transport& transport, LogSink& log, std::string vn_url, ConsoleSettings settings = {},
                   HttpHeaders header = {});

    Transport& transport() const { return *transport_; }
    // Writes go over this one (the main transport unless set): a write must never be sent twice,
    // and libcurl sends a request again, unasked, when a reused connection closes before any
    // answer, so the bindings give writes a transport that opens a connection per request.
    Transport& write_transport() const {
        return write_transport_ != nullptr ? *write_transport_ : *transport_;
    }
    void set_write_transport(Transport& transport) { write_transport_ = &transport; }
    LogSink& log() const { return *log_; }
    const std::string& vn_url() const { return vn_url_; }
    const ConsoleSettings& settings() const { return settings_; }
    const HttpHeaders& header() const { return header_; }
    void set_header(HttpHeaders header) { header_ = std::move(header); }

    // How back-off waits; a plain sleep unless set (the bindings wait without the interpreter
    // lock and give way to Ctrl-C, by throwing an HttpError of kind Aborted).
    void set_pause(Pause pause) { pause_ = std::move(pause); }
    void pause(double seconds) const;

    // Metric objects this session created, for a roll-back that cannot rely on the console's
    // listing alone.
    void record_created(const Json& metric_object_id) { created_.push_back(metric_object_id); }
    const std::vector<Json>& created() const { return created_; }

    // Whether a roll-back already ran for this session's writes.
    bool rolled_back() const { return rolled_back_; }
    void mark_rolled_back() { rolled_back_ = true; }

  private:
    Transport* transport_;
    Transport* write_transport_ = nullptr;
    LogSink* log_;
    std::string vn_url_;
    ConsoleSettings settings_;
    HttpHeaders header_;
    Pause pause_;
    std::vector<Json> created_;
    bool rolled_back_ = false;
};

}  // namespace velora::core::console
