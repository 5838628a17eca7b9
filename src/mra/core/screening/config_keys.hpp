// Settings files: a key that is not a setting is named together with the setting it most likely
// meant, so a typo does not silently fall back to a default.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velora::core::screening {

// Edit distance between two texts, byte by byte: insertions, deletions, substitutions and swaps of
// two neighbours each count one (the usual typos).
size_t edit_distance(std::string_view a, std::string_view b);

// The known name closest to `name` by edit distance, the first one on ties; "" when none is known.
std::string closest_name(std::string_view name, const std::vector<std::string>& known);

// The message for an unknown key, or "" when every key is known.
std::string unknown_key_problem(const std::vector<std::string>& keys, const std::vector<std::string>& known,
                                std::string_view file_name);

}  // namespace velora::core::screening
