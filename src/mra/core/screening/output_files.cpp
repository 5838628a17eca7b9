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

bool move_if_free(const std::string& from, const std::string& to) {
    // A hard link never replaces a file: EEXIST means the name is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) throw OutputFileError(errno, from);
        return true;
    }
    if (errno == EEXIST) return false;
    // Some file systems (network and FUSE mounts) have no hard links: a rename into a free name.
    if (errno != EPERM && errno != ENOTSUP) throw OutputFileError(errno, to);
    if (std::filesystem::exists(to)) return false;
    if (::rename(from.c_str(), to.c_str()) != 0) throw OutputFileError(errno, to);
    return true;
}

std::string share_report_name(const std::string& first, const std::string& path) {
    const std::filesystem::path named(first);
    const std::string target =
        (named.parent_path() / named.stem()).string() + std::filesystem::path(path).extension().string();
    return target != path && move_if_free(path, target) ? target : path;
}

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
        if (move_if_free(path, aside)) return aside;
    }
}

}  // namespace velora::core::screening
