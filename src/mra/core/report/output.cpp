#include "mra/core/report/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace velora::core {

std::string report_file_name(const std::tm& local_time, std::string_view extension) {
    char stamp[64];
    const size_t size = std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local_time);
    return "mra_report_" + std::string(stamp, size) + "." + std::string(extension);
}

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string join_path(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out += name;
    return out;
}

OutputFileError::OutputFileError(int error_number, const std::string& path)
    : std::runtime_error(std::string(std::strerror(error_number)) + ": " + path),
      error_number_(error_number),
      path_(path) {}

void make_folders(const std::string& folder) {
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            throw OutputFileError(errno, part);
        }
        if (end == std::string::npos) break;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) throw OutputFileError(errno, folder);
    if (!S_ISDIR(info.st_mode)) throw OutputFileError(ENOTDIR, folder);
}

void write_file_bytes(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) throw OutputFileError(errno, path);
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            const int error = errno;
            ::close(fd);
            throw OutputFileError(error, path);
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    if (::close(fd) != 0) throw OutputFileError(errno, path);
}

bool move_if_free(const std::string& from, const std::string& to) {
    // A hard link never replaces a file: EEXIST means the name is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) throw OutputFileError(errno, from);
        return true;
    }
    if (errno == EEXIST) return false;
    // Some file systems (network and FUSE mounts) have no hard links: a rename into a free name.
    if (errno != EPERM && errno != ENOTSUP) throw OutputFileError(errno, to);
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) return false;
    if (::rename(from.c_str(), to.c_str()) != 0) throw OutputFileError(errno, to);
    return true;
}

std::string numbered_path(const std::string& path, int n) {
    if (n == 1) return path;
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const size_t cut = has_extension ? dot : path.size();
    return path.substr(0, cut) + "-" + std::to_string(n) + path.substr(cut);
}

PendingFile::PendingFile(std::string final_path) : final_path_(std::move(final_path)) {
    const size_t slash = final_path_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : final_path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? final_path_ : final_path_.substr(slash + 1);
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%012llx.part",
                      static_cast<unsigned long long>(random() & 0xffffffffffffULL));
        std::string candidate = folder + "." + base + suffix;
        // 0666 under the umask, as for any file the process creates, not mkstemp's 0600.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary_path_ = std::move(candidate);
            return;
        }
        if (errno != EEXIST) throw OutputFileError(errno, final_path_);
    }
    throw OutputFileError(EEXIST, final_path_);
}

PendingFile::~PendingFile() {
    if (!committed_ && !temporary_path_.empty()) ::unlink(temporary_path_.c_str());
}

void PendingFile::commit() {
    if (::rename(temporary_path_.c_str(), final_path_.c_str()) != 0)
        throw OutputFileError(errno, final_path_);
    committed_ = true;
}

std::string PendingFile::commit_to_free_name() {
    for (int n = 1;; ++n) {
        const std::string target = numbered_path(final_path_, n);
        if (move_if_free(temporary_path_, target)) {
            committed_ = true;
            return target;
        }
    }
}

}  // namespace velora::core
