#include "common/log_format.hpp"

#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>

#include "common/redaction.hpp"
#include "common/text.hpp"

namespace velora::core {

std::optional<int> parse_log_level(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, int>, 7> kNames{{{"CRITICAL", 50},
                                                                             {"FATAL", 50},
                                                                             {"ERROR", 40},
                                                                             {"WARNING", 30},
                                                                             {"WARN", 30},
                                                                             {"INFO", 20},
                                                                             {"DEBUG", 10}}};
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const auto& [name, level] : kNames) {
        if (upper == name) return level;
    }
    int number = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec == std::errc() && ptr == text.data() + text.size() && number >= 0) return number;
    return std::nullopt;
}

std::string printable_text(std::string_view text) {
    return escape_control_characters(without_url_user_info(text));
}

std::string json_log_line(std::string_view time, std::string_view level, std::string_view logger,
                          std::string_view message) {
    nlohmann::ordered_json line;
    line["time"] = time;
    line["level"] = level;
    line["logger"] = logger;
    line["message"] = printable_text(message);
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velora::core
