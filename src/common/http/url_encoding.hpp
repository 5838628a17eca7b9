// Percent-encoding for URLs and form bodies, and the safe text of an URL for messages.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velora::core {

// Keeps the unreserved characters of RFC 3986 (ALPHA DIGIT - . _ ~) and writes every other byte
// as %XX with upper-case hex digits. A blank becomes %20 and '+' becomes %2B, so a server that
// decodes the query (either way of reading '+') gets the text back byte for byte.
std::string percent_encode(std::string_view text);

// Inverse of percent_encode; also reads '+' as a blank when `plus_is_space` (form bodies).
// A '%' not followed by two hex digits is kept as it is.
std::string percent_decode(std::string_view text, bool plus_is_space = false);

// An application/x-www-form-urlencoded body: name=value pairs in the given order joined by '&',
// each side encoded like percent_encode except that a blank becomes '+'.
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields);

// The URL without its user information ("user:password@"), the rest as it is: a link that may
// be shown to a person.
std::string url_without_user_info(std::string_view url);

// The URL as it may appear in a message or a log line: without user information
// ("user:password@") and without the query string and fragment, which may carry credentials.
std::string url_for_messages(std::string_view url);

}  // namespace velora::core
