#include "mra/core/screening/output_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
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

FolderInUse::FolderInUse(const std::string& folder)
    : std::runtime_error("another screening is writing into " + folder +
                         "; wait until it ends, or screen into another output folder") {}

FolderLock::FolderLock(const std::string& folder) {
    make_folders(folder);
    const std::string path = join_path(folder, kFolderLockFileName);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) throw OutputFileError(errno, path);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        release();
        if (error == EWOULDBLOCK) throw FolderInUse(folder);
        throw OutputFileError(error, path);
    }
}

void FolderLock::release() {
    // Closing the only descriptor of the lock file ends the lock; the file stays for the next run.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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
