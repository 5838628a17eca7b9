#include "corvex/core/judge/wire_formats.hpp"

namespace velora::core::corvex {

using nlohmann::json;
using nlohmann::ordered_json;

std::string dumped(const ordered_json& body) {
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> joined_text_parts(const json& content) {
    std::string text;
    bool any = false;
    for (const auto& part : content) {
        if (part.is_object() && part.contains("text") && part["text"].is_string()) {
            text += part["text"].get<std::string>();
            any = true;
        }
    }
    if (!any) return std::nullopt;
    return text;
}

}  // namespace velora::core::corvex
