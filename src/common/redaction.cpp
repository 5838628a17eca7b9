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

std::string first_characters(std::string_view text, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool starts_character = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (starts_character && seen++ == characters) return std::string(text.substr(0, i)) + "...";
    }
    return std::string(text);
}

std::string quoted_answer(std::string_view text, const std::vector<std::string>& secrets,
                          std::size_t characters) {
    return first_characters(redact(std::string(text), secrets), characters);
}

}  // namespace velora::core
