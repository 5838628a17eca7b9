// Where a report is written: its file name from the local time, and a temporary file beside the
// target that becomes the report only once it is complete, so a failed rendering leaves nothing.
#pragma once

#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velora::core {

// "mra_report_" + the time as "%Y-%m-%d_%H-%M-%S" + "." + `extension`.
std::string report_file_name(const std::tm& local_time, std::string_view extension = "pdf");

// The current local time (the process's time zone).
std::tm local_now();

// os.path.join(folder, name) for a relative `name`.
std::string join_path(std::string_view folder, std::string_view name);

// A system call that failed on `path`, with its errno.
class OutputFileError : public std::runtime_error {
  public:
    OutputFileError(int error_number, const std::string& path);
    int error_number() const { return error_number_; }
    const std::string& path() const { return path_; }

  private:
    int error_number_;
    std::string path_;
};

// Creates `folder` and its missing parents, as an ordinary new folder (0777 under the umask); an
// existing folder is left as it is. Throws OutputFileError naming the part that failed.
void make_folders(const std::string& folder);

// Writes `bytes` into the existing file `path`, replacing its content. Throws OutputFileError.
void write_file_bytes(const std::string& path, std::string_view bytes);

// Moves the file `from` to `to` unless a file is there already; true when it was moved. Throws
// OutputFileError.
bool move_if_free(const std::string& from, const std::string& to);

// `path` when it is n == 1, else its stem + "-n" + its extension: "report.pdf", "report-2.pdf".
std::string numbered_path(const std::string& path, int n);

// A fresh, empty, uniquely named hidden file in the folder of `final_path`, created with the
// permissions an ordinary new file gets. commit() renames it onto `final_path`; if that never
// happens the destructor removes it. Errors name `final_path`, the file the caller asked for.
class PendingFile {
  public:
    explicit PendingFile(std::string final_path);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& temporary_path() const { return temporary_path_; }
    // Replaces a file at the target: for a file the caller keeps rewriting.
    void commit();
    // Never replaces a file: the target when it is free, else the first free numbered_path of it.
    // Returns the path the file has now.
    std::string commit_to_free_name();

  private:
    std::string final_path_;
    std::string temporary_path_;
    bool committed_ = false;
};

}  // namespace velora::core
