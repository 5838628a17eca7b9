#include "mra/core/report/resources.hpp"

#include <climits>
#include <cstdlib>

#include "common/http/url_encoding.hpp"

namespace velora::core {
namespace {

std::optional<std::string> real_path(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

// The path part of a local file URL: "file:///p", "file://localhost/p" or "file:/p".
std::optional<std::string> file_url_path(std::string_view url) {
    constexpr std::string_view kScheme = "file:";
    if (url.size() < kScheme.size()) return std::nullopt;
    for (size_t i = 0; i < kScheme.size(); ++i) {
        const char c = url[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    url = url.substr(0, url.find_first_of("?#"));
    if (url.substr(0, 2) == "//") {
        url.remove_prefix(2);
        const size_t slash = url.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        const std::string_view host = url.substr(0, slash);
        if (!host.empty() && host != "localhost") return std::nullopt;
        url.remove_prefix(slash);
    }
    if (url.empty() || url.front() != '/') return std::nullopt;
    std::string path = percent_decode(url);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace

std::optional<std::string> report_resource_path(std::string_view url,
                                                const std::vector<std::string>& folders) {
    const auto path = file_url_path(url);
    if (!path) return std::nullopt;
    const auto resolved = real_path(*path);
    if (!resolved) return std::nullopt;
    for (const auto& folder : folders) {
        const auto root = real_path(folder);
        if (root && resolved->size() > root->size() + 1 && resolved->compare(0, root->size(), *root) == 0 &&
            (*resolved)[root->size()] == '/') {
            return resolved;
        }
    }
    return std::nullopt;
}

std::string_view mime_type_of(std::string_view path) {
    const auto ends_with = [&](std::string_view suffix) {
        return path.size() >= suffix.size() && path.substr(path.size() - suffix.size()) == suffix;
    };
    if (ends_with(".svg")) return "image/svg+xml";
    if (ends_with(".css")) return "text/css";
    if (ends_with(".png")) return "image/png";
    if (ends_with(".json")) return "application/json";
    if (ends_with(".html")) return "text/html";
    return "application/octet-stream";
}

std::string base64_encode(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        unsigned chunk = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1) chunk |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2) chunk |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += left > 1 ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += left > 2 ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

std::string data_uri(std::string_view mime_type, std::string_view bytes) {
    return "data:" + std::string(mime_type) + ";base64," + base64_encode(bytes);
}

}  // namespace velora::core
