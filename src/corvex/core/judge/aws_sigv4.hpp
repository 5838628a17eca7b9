// Signature Version 4 request signing (HMAC-SHA256 over a canonical form of the request), done
// with libcrypto. Steps, as the signing algorithm defines them:
//   1. canonical request: method, canonical URI, canonical query, canonical headers, the signed
//      header names, the hex SHA-256 of the body, one per line;
//   2. string to sign: "AWS4-HMAC-SHA256", the request time, the scope
//      <date>/<region>/<service>/aws4_request, the hex SHA-256 of the canonical request;
//   3. signing key: HMAC chain "AWS4"+secret -> date -> region -> service -> "aws4_request";
//   4. signature: hex HMAC of the string to sign under the signing key, sent in the Authorization
//      header with the credential scope and the signed header names.
// Every header the request carries when it is signed is signed (names lower-cased, values trimmed
// and inner runs of blanks folded). The canonical URI is the path as it is sent, URI-encoded once
// more: services other than object storage expect each path segment encoded twice, so a path that
// already carries "%3A" is signed as "%253A".
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "common/http/message.hpp"

namespace velora::core::aws {

struct Credentials {
    std::string access_key_id;
    std::string secret_access_key;
    std::optional<std::string> session_token;  // temporary credentials: sent as X-Amz-Security-Token
};

struct Scope {
    std::string region;   // e.g. "us-east-1"
    std::string service;  // e.g. "bedrock"
};

// Hex (lower case) of the SHA-256 digest of `data`.
std::string sha256_hex(std::string_view data);
// Raw 32-byte HMAC-SHA256 of `data` under `key`.
std::string hmac_sha256(std::string_view key, std::string_view data);
std::string to_hex(std::string_view bytes);

// Keeps A-Z a-z 0-9 - . _ ~ (and '/' when `keep_slash`), writes every other byte as %XX (upper case).
std::string uri_encode(std::string_view text, bool keep_slash);

// "YYYYMMDDTHHMMSSZ" of a UTC time.
std::string amz_date(std::time_t when);

// The intermediate values of one signature, kept so that tests can check each step.
struct Signature {
    std::string canonical_request;
    std::string string_to_sign;
    std::string signing_key_hex;
    std::string signature;       // hex
    std::string signed_headers;  // "content-type;host;x-amz-date"
    std::string authorization;   // the Authorization header value
};

// Signs `request` for `scope` at `request_time` ("YYYYMMDDTHHMMSSZ"). The request must already
// carry its Host header (curl would otherwise pick one of its own, unsigned); X-Amz-Date and, with a
// session token, X-Amz-Security-Token are added before signing, Authorization after. Throws
// std::invalid_argument for a URL that is not http(s)://host/path or a malformed request time.
Signature sign(HttpRequest& request, const Credentials& credentials, const Scope& scope,
               const std::string& request_time);

// The host[:port] part of an http(s) URL, the port left out when it is the scheme's default.
std::string host_of(std::string_view url);

}  // namespace velora::core::aws
