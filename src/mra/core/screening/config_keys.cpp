#include "mra/core/screening/config_keys.hpp"

#include <algorithm>
#include <numeric>

namespace velora::core::screening {

size_t edit_distance(std::string_view a, std::string_view b) {
    // Three rows: a swap of neighbours looks two rows back.
    std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
    std::iota(previous.begin(), previous.end(), size_t{0});
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        std::swap(before, previous);
        std::swap(previous, row);
    }
    return previous[b.size()];
}

std::string closest_name(std::string_view name, const std::vector<std::string>& known) {
    std::string best;
    size_t best_distance = 0;
    for (const auto& candidate : known) {
        const size_t distance = edit_distance(name, candidate);
        if (best.empty() || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::string unknown_key_problem(const std::vector<std::string>& keys, const std::vector<std::string>& known,
                                std::string_view file_name) {
    for (const auto& key : keys) {
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        std::string problem = std::string(file_name) + ": unknown key '" + key + "'";
        const std::string closest = closest_name(key, known);
        if (!closest.empty()) problem += "; the closest known key is '" + closest + "'";
        return problem;
    }
    return "";
}

}  // namespace velora::core::screening
