#include "common/redaction.hpp"

namespace velora::core {
namespace {

bool starts_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

// The whole text is redacted before any cut, so no cut can split a secret and let its start through.
template <class Cut>
std::string redact_then_cut(std::string_view text, const std::vector<std::string>& secrets, Cut cut) {
    return cut(redact(std::string(text), secrets));
}

bool is_scheme_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Where the authority of a URL starting at `from` ends: at its path, query or fragment, or at
// whatever cannot be part of a URL written in running text.
std::size_t authority_end(std::string_view text, std::size_t from) {
    const auto end = text.find_first_of("/?#\"'<> \t\r\n", from);
    return end == std::string_view::npos ? text.size() : end;
}

}  // namespace

std::string without_url_user_info(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    for (auto mark = text.find("://"); mark != std::string_view::npos; mark = text.find("://", mark + 3)) {
        std::size_t scheme = mark;
        while (scheme > 0 && is_scheme_character(text[scheme - 1])) --scheme;
        while (scheme < mark && !is_letter(text[scheme])) ++scheme;  // a scheme starts with a letter
        if (scheme == mark) continue;
        const std::size_t host = mark + 3, end = authority_end(text, host);
        const auto at = text.substr(host, end - host).rfind('@');
        if (at == std::string_view::npos) continue;
        out.append(text.substr(copied, host - copied));
        copied = host + at + 1;
    }
    out.append(text.substr(copied));
    return out;
}

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
    while (cut > 0 && !starts_character(text[cut])) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string first_characters(std::string_view text, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (starts_character(text[i]) && seen++ == characters) return std::string(text.substr(0, i)) + "...";
    }
    return std::string(text);
}

std::string redacted_excerpt(std::string_view text, const std::vector<std::string>& secrets,
                             std::size_t limit) {
    return redact_then_cut(text, secrets,
                           [limit](const std::string& whole) { return shorten(whole, limit); });
}

std::string quoted_answer(std::string_view text, const std::vector<std::string>& secrets,
                          std::size_t characters) {
    return redact_then_cut(text, secrets, [characters](const std::string& whole) {
        return first_characters(whole, characters);
    });
}

}  // namespace velora::core
