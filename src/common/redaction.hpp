// Text from outside (a service's answer, a URL) made fit for an error message or a log line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

// `text` with every occurrence of each secret (of 3 characters or more) replaced by "***".
std::string redact(std::string text, const std::vector<std::string>& secrets);

// The first `characters` characters (UTF-8 code points) of `text`, "..." appended when it was cut.
std::string first_characters(std::string_view text, std::size_t characters);

// What a message may quote of an answer: secrets removed first (a cut could split one and let its
// start through), then cut to `characters`.
std::string quoted_answer(std::string_view text, const std::vector<std::string>& secrets,
                          std::size_t characters = 200);

}  // namespace velora::core
