// What every target shares: the input as text, the input cut into parts, and a private scratch
// folder for the readers that only take files.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velora::fuzz {

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The text before the first `mark` and the text after it (all of it and nothing when none).
inline std::pair<std::string_view, std::string_view> cut_at(std::string_view text, char mark) {
    const auto at = text.find(mark);
    if (at == std::string_view::npos) return {text, {}};
    return {text.substr(0, at), text.substr(at + 1)};
}

// The pieces between NUL bytes: one answer body each, as a scripted exchange hands them out.
// A NUL cannot occur inside a JSON text, so no body is ever cut in two.
inline std::vector<std::string> nul_separated(std::string_view text) {
    std::vector<std::string> pieces;
    while (true) {
        const auto [piece, rest] = cut_at(text, '\0');
        pieces.emplace_back(piece);
        if (rest.data() == nullptr) return pieces;
        text = rest;
    }
}

// A folder of this process under the system's temporary folder, removed when the run ends.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velora-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes `bytes` to `relative` (folders created as needed) and returns the full path.
    std::filesystem::path write(const std::filesystem::path& relative, std::string_view bytes) const {
        const auto file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) std::abort();
        return file;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace velora::fuzz
