#include "common/redaction.hpp"

namespace velora::core {

std::string redact(std::string text, const std::vector<std::string>& secrets) {
    for (const auto& secret : secrets) {
        if (secret.size() < 3) continue;
        for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3)) {
            text.replace(pos, secret.size(), "***");
        }
    }
    return text;
}

std::string shorten(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return std::string(text);
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string redacted_excerpt(std::string_view text, const std::vector<std::string>& secrets,
                             std::size_t limit) {
    return shorten(redact(std::string(text), secrets), limit);
}

}  // namespace velora::core
