// The risk catalogue: which risk dimensions exist, which benchmark cards measure each, and which
// cards are loaded through a prepared recipe. Read from one JSON file that ships in the package.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace velora::core {

struct RiskEntry {
    std::string id;                  // risk dimension name, e.g. "prompt-injection"
    std::string title;               // human-readable name
    std::vector<std::string> cards;  // card identifiers in evaluation order
};

struct RiskCatalogue {
    std::vector<RiskEntry> risks;                // catalogue order
    std::map<std::string, std::string> recipes;  // card identifier -> recipe
};

// A catalogue file that cannot be read or breaks the format; the message names the file.
class CatalogueError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

RiskCatalogue load_risk_catalogue(const std::string& path);

}  // namespace velora::core
