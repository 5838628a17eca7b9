// Files the command writes: their folder is made when missing, a file appears only complete, and a
// file the command names by itself never replaces an earlier one.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace velora::core::screening {

// Writes `text` to `path`, creating the folders on its way. A failure leaves no partial file.
// Throws OutputFileError (report/output.hpp).
void write_text_file(const std::string& path, std::string_view text);

// The reports written together take one name: `path` renamed to the stem of `first` with its own
// extension, when that name is free. Returns the path the report has now.
std::string share_report_name(const std::string& first, const std::string& path);

// One screening at a time in an output folder: the lock is an OS lock (flock) on a lock file in it,
// so it ends with the process that holds it, however that process ends.
inline constexpr const char* kFolderLockFileName = ".velora-mra.lock";

// The folder is locked by another process (or another lock of this one).
class FolderInUse : public std::runtime_error {
  public:
    explicit FolderInUse(const std::string& folder);
};

class FolderLock {
  public:
    // Makes the folder when missing, then takes its lock without waiting. Throws FolderInUse, or
    // OutputFileError when the lock file cannot be made or locked.
    explicit FolderLock(const std::string& folder);
    ~FolderLock() { release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    void release();

  private:
    int fd_ = -1;
};

// Moves an existing file at `path` aside, so that writing `path` anew loses nothing: to the same
// name with the file's modification time (UTC) before the extension, "results_2026-12-08_18-48-15.json",
// or "..._18-48-15-2.json" and on when that is taken (never replacing a file). Returns the new
// path, or "" when there was no file. Throws OutputFileError.
std::string set_aside(const std::string& path);

}  // namespace velora::core::screening
