// Wire pieces more than one judge provider uses: JSON bodies written the same way, and the reading
// of a content list's text parts.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velora::core::corvex {

// The body as sent: compact, invalid UTF-8 replaced rather than refused.
std::string dumped(const nlohmann::ordered_json& body);

// The "text" members of a content list joined in order; nullopt when no part carries text.
std::optional<std::string> joined_text_parts(const nlohmann::json& content);

}  // namespace velora::core::corvex
