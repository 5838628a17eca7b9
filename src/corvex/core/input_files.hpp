// Reading the catalogue's files, which a deployment can replace or damage: every file is read whole
// under a size cap, checked to be UTF-8 before it is parsed (a message quoting a broken byte could
// not even be shown to a Python caller), and JSON nesting is capped before the parser sees it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "corvex/core/catalog.hpp"

namespace velora::core::corvex {

inline constexpr size_t kMaxCardFileBytes = size_t{1} << 20;      // 1 MiB; real cards are under 2 KiB
inline constexpr size_t kMaxDatasetFileBytes = size_t{64} << 20;  // 64 MiB
inline constexpr size_t kMaxJsonDepth = 32;                       // objects and lists inside each other

// Offset of the first byte that is not part of well-formed UTF-8 (overlong forms, surrogates and
// code points above U+10FFFF included), or nullopt when the whole text is UTF-8.
std::optional<size_t> first_invalid_utf8(std::string_view text);

// `text` with every byte that breaks UTF-8 written as U+FFFD, for messages that quote input.
std::string utf8_for_message(std::string_view text);

// The bytes of a catalogue file. A missing file, one that is not a regular file or one larger than
// `max_bytes` is a CorvexError: `subject` (e.g. "card X: dataset file F") followed by the problem.
std::string read_catalogue_file(const std::string& file, size_t max_bytes, const std::string& subject);

// One JSON document of untrusted text. On failure returns nullopt and sets `problem` to the reason in
// words: "is not UTF-8 text (byte N)", "nests lists and objects deeper than 32 levels" or "is not
// valid JSON (...)".
std::optional<ordered_json> parse_json_text(std::string_view text, std::string& problem);

}  // namespace velora::core::corvex
