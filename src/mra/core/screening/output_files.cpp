#include "mra/core/screening/output_files.hpp"

#include <filesystem>

#include "mra/core/report/output.hpp"

namespace velora::core::screening {

void write_text_file(const std::string& path, std::string_view text) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (!folder.empty()) make_folders(folder);
    PendingFile pending(path);
    write_file_bytes(pending.temporary_path(), text);
    pending.commit();
}

}  // namespace velora::core::screening
