// Keeping secrets out of messages. Whatever a service answers may echo the key it was sent, so a
// text bound for an exception or a log line is redacted as a whole first and only then cut to
// length: cutting first could split a key and leave its beginning in the message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

// `text` with every occurrence of each secret (of 3 characters or more) replaced by "***".
std::string redact(std::string text, const std::vector<std::string>& secrets);

// At most `limit` bytes of `text` (cut at a UTF-8 boundary), "..." appended when cut.
std::string shorten(std::string_view text, std::size_t limit);

// The first `characters` characters (UTF-8 code points) of `text`, "..." appended when it was cut.
std::string first_characters(std::string_view text, std::size_t characters);

// redact, then shorten to `limit` bytes: the one order for quoting outside text in a message.
std::string redacted_excerpt(std::string_view text, const std::vector<std::string>& secrets,
                             std::size_t limit);

// `text` with the user information ("user:password@") taken out of every URL in it, wherever the
// URL stands: a whole setting, or a word in a message. Whatever is stored or shown goes through it.
std::string without_url_user_info(std::string_view text);

// The same order, cut at `characters` code points, for messages that promise a count of characters.
std::string quoted_answer(std::string_view text, const std::vector<std::string>& secrets,
                          std::size_t characters = 200);

}  // namespace velora::core
