#include "mra/core/screening/output_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
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

namespace {

std::string utc_file_stamp(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char stamp[32];
    return std::string(stamp, std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &utc));
}

}  // namespace

std::string set_aside(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return "";
        throw OutputFileError(errno, path);
    }
    const std::filesystem::path target(path);
    const std::string stem =
        (target.parent_path() / target.stem()).string() + "_" + utc_file_stamp(status.st_mtime);
    const std::string extension = target.extension().string();
    for (int attempt = 1;; ++attempt) {
        const std::string aside = stem + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + extension;
        // A hard link never replaces a file: EEXIST means the name is taken, so the next is tried.
        if (::link(path.c_str(), aside.c_str()) == 0) {
            if (::unlink(path.c_str()) != 0) throw OutputFileError(errno, path);
            return aside;
        }
        if (errno == EEXIST) continue;
        // Some file systems (network and FUSE mounts) have no hard links: a rename into a free name.
        if (errno != EPERM && errno != ENOTSUP) throw OutputFileError(errno, aside);
        if (std::filesystem::exists(aside)) continue;
        if (::rename(path.c_str(), aside.c_str()) != 0) throw OutputFileError(errno, aside);
        return aside;
    }
}

}  // namespace velora::core::screening
