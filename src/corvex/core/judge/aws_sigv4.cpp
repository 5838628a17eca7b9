#include "corvex/core/judge/aws_sigv4.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/http/url_encoding.hpp"
#include "common/text.hpp"

namespace velora::core::aws {
namespace {

constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";

struct UrlParts {
    std::string scheme;
    std::string authority;  // without user information
    std::string path;       // as sent, "/" when empty
    std::string query;      // without '?'
};

UrlParts split_url(std::string_view url) {
    const auto scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos) throw std::invalid_argument("the URL has no scheme");
    UrlParts parts;
    parts.scheme = ascii_lower(url.substr(0, scheme_end));
    if (parts.scheme != "http" && parts.scheme != "https")
        throw std::invalid_argument("the URL is not http(s)");
    std::string_view rest = url.substr(scheme_end + 3);
    if (const auto fragment = rest.find('#'); fragment != std::string_view::npos)
        rest = rest.substr(0, fragment);
    const auto path_start = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, path_start);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (authority.empty()) throw std::invalid_argument("the URL has no host");
    parts.authority = std::string(authority);
    std::string_view tail =
        path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
    const auto question = tail.find('?');
    parts.path = std::string(tail.substr(0, question));
    if (parts.path.empty()) parts.path = "/";
    if (question != std::string_view::npos) parts.query = std::string(tail.substr(question + 1));
    return parts;
}

// Leading and trailing blanks removed, every inner run of blanks made one space.
std::string folded_value(std::string_view value) {
    std::string out;
    bool blank = false;
    for (const char c : value) {
        if (c == ' ' || c == '\t') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string canonical_query(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        const auto end = std::min(query.find('&', start), query.size());
        const std::string_view item = query.substr(start, end - start);
        if (!item.empty()) {
            const auto eq = item.find('=');
            const auto name = percent_decode(item.substr(0, eq));
            const auto value =
                eq == std::string_view::npos ? std::string() : percent_decode(item.substr(eq + 1));
            pairs.emplace_back(uri_encode(name, false), uri_encode(value, false));
        }
        start = end + 1;
    }
    std::sort(pairs.begin(), pairs.end());
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty()) out += '&';
        out += name + "=" + value;
    }
    return out;
}

bool valid_request_time(const std::string& time) {
    if (time.size() != 16 || time[8] != 'T' || time[15] != 'Z') return false;
    for (size_t i = 0; i < 15; ++i) {
        if (i != 8 && !std::isdigit(static_cast<unsigned char>(time[i]))) return false;
    }
    return true;
}

}  // namespace

std::string to_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string sha256_hex(std::string_view data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return to_hex(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string hmac_sha256(std::string_view key, std::string_view data) {
    if (key.size() > static_cast<size_t>(INT_MAX)) throw std::invalid_argument("HMAC key too long");
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 failed in libcrypto");
    }
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string uri_encode(std::string_view text, bool keep_slash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kDigits[b >> 4];
            out += kDigits[b & 0x0F];
        }
    }
    return out;
}

std::string amz_date(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[17];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string host_of(std::string_view url) {
    const UrlParts parts = split_url(url);
    std::string host = ascii_lower(parts.authority);
    const std::string default_port = parts.scheme == "https" ? ":443" : ":80";
    if (host.size() > default_port.size() && host.ends_with(default_port)) {
        host.resize(host.size() - default_port.size());
    }
    return host;
}

Signature sign(HttpRequest& request, const Credentials& credentials, const Scope& scope,
               const std::string& request_time) {
    if (!valid_request_time(request_time))
        throw std::invalid_argument("the request time is not YYYYMMDDTHHMMSSZ");
    const UrlParts url = split_url(request.url);
    request.headers.emplace_back("X-Amz-Date", request_time);
    if (credentials.session_token)
        request.headers.emplace_back("X-Amz-Security-Token", *credentials.session_token);

    std::map<std::string, std::string> headers;  // sorted by lower-case name; repeated names joined by ','
    for (const auto& [name, value] : request.headers) {
        auto& slot = headers[ascii_lower(name)];
        slot += (slot.empty() ? "" : ",") + folded_value(value);
    }
    Signature s;
    std::string canonical_headers;
    for (const auto& [name, value] : headers) {
        canonical_headers += name + ":" + value + "\n";
        s.signed_headers += (s.signed_headers.empty() ? "" : ";") + name;
    }
    const std::string method = method_name(request.method);
    s.canonical_request = method + "\n" + uri_encode(url.path, true) + "\n" + canonical_query(url.query) +
                          "\n" + canonical_headers + "\n" + s.signed_headers + "\n" +
                          sha256_hex(request.body);

    const std::string date = request_time.substr(0, 8);
    const std::string credential_scope = date + "/" + scope.region + "/" + scope.service + "/aws4_request";
    s.string_to_sign = std::string(kAlgorithm) + "\n" + request_time + "\n" + credential_scope + "\n" +
                       sha256_hex(s.canonical_request);
    std::string key = hmac_sha256("AWS4" + credentials.secret_access_key, date);
    key = hmac_sha256(key, scope.region);
    key = hmac_sha256(key, scope.service);
    key = hmac_sha256(key, "aws4_request");
    s.signing_key_hex = to_hex(key);
    s.signature = to_hex(hmac_sha256(key, s.string_to_sign));
    s.authorization = std::string(kAlgorithm) + " Credential=" + credentials.access_key_id + "/" +
                      credential_scope + ", SignedHeaders=" + s.signed_headers + ", Signature=" + s.signature;
    request.headers.emplace_back("Authorization", s.authorization);
    return s;
}

}  // namespace velora::core::aws
