#include "mra/core/screening/output_files.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "mra/core/report/output.hpp"

namespace velora::core::screening {

void make_folders(const std::string& folder) {
    if (folder.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw OutputFileError(error.value(), folder);
}

void write_text_file(const std::string& path, const std::string& text) {
    make_folders(std::filesystem::path(path).parent_path().string());
    PendingFile pending(path);
    {
        std::ofstream out(pending.temporary_path(), std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) throw OutputFileError(errno ? errno : EIO, path);
    }
    pending.commit();
}

}  // namespace velora::core::screening
