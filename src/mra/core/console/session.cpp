#include "mra/core/console/session.hpp"

#include <chrono>
#include <thread>

namespace velora::core::console {

ConsoleSession::ConsoleSession(Transport& transport, LogSink& log, std::string vn_url,
                               ConsoleSettings settings, HttpHeaders header)
    : transport_(&transport),
      log_(&log),
      vn_url_(std::move(vn_url)),
      settings_(std::move(settings)),
      header_(std::move(header)) {
    // An empty console URL is still a console run: it ends where no IAM URL can be found for it.
    if (!vn_url_.empty()) require_web_url(vn_url_, "vn_url");
}

void ConsoleSession::pause(double seconds) const {
    if (pause_) {
        pause_(seconds);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

}  // namespace velora::core::console
