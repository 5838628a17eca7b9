#include "mra/core/console/urls.hpp"

#include <array>
#include <cstdlib>
#include <utility>

#include "common/pytext.hpp"
#include "common/text.hpp"

namespace velora::core {
namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Console host (exactly, or as the parent domain of a regional host) -> token endpoint.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kConsoleDomains{{
    {"varnel.test.velora.cloud", "https://iam.test.velora.cloud/identity/token"},
    {"varnel.velora.cloud", "https://iam.velora.cloud/identity/token"},
}};

}  // namespace

std::string url_host(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    const size_t at = url.rfind('@');
    if (at != std::string_view::npos) url.remove_prefix(at + 1);
    if (!url.empty() && url.front() == '[') {
        url = url.substr(0, url.find(']') + 1);
    } else {
        url = url.substr(0, url.find(':'));
    }
    std::string host = ascii_lower(url);
    while (!host.empty() && host.back() == '.') host.pop_back();
    return host;
}

std::optional<std::string> iam_url_for_console(std::string_view console_url) {
    if (const char* override_url = std::getenv(kIamUrlOverrideVariable);
        override_url != nullptr && *override_url != '\0') {
        return std::string(override_url);
    }
    const std::string host = url_host(console_url);
    for (const auto& [domain, iam_url] : kConsoleDomains) {
        if (host == domain || ends_with(host, "." + std::string(domain))) return std::string(iam_url);
    }
    return std::nullopt;
}

}  // namespace velora::core
