#include "common/http/url_encoding.hpp"

namespace velora::core {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void append_encoded(std::string& out, std::string_view text, bool space_as_plus) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(c)) {
            out += ch;
        } else if (space_as_plus && c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
}

}  // namespace

std::string percent_encode(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    append_encoded(out, text, false);
    return out;
}

std::string percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += (plus_is_space && c == '+') ? ' ' : c;
    }
    return out;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        append_encoded(out, name, true);
        out += '=';
        append_encoded(out, value, true);
    }
    return out;
}

std::string url_without_user_info(std::string_view url) {
    const auto scheme_end = url.find("://");
    const size_t host_start = scheme_end == std::string_view::npos ? 0 : scheme_end + 3;
    // User information ends at the last '@' before the path, query or fragment.
    const auto authority_end = url.find_first_of("/?#", host_start);
    const auto authority =
        url.substr(host_start, authority_end == std::string_view::npos ? std::string_view::npos
                                                                       : authority_end - host_start);
    const auto at = authority.rfind('@');
    if (at == std::string_view::npos) return std::string(url);
    return std::string(url.substr(0, host_start)) + std::string(url.substr(host_start + at + 1));
}

std::string url_for_messages(std::string_view url) {
    const std::string bare = url_without_user_info(url);
    const auto scheme_end = bare.find("://");
    const auto cut = bare.find_first_of("?#", scheme_end == std::string::npos ? 0 : scheme_end + 3);
    return bare.substr(0, cut);
}

}  // namespace velora::core
