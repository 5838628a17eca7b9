// Files the command writes: their folder is made when missing, a file appears only complete, and a
// file the command names by itself never replaces an earlier one.
#pragma once

#include <string>
#include <string_view>

namespace velora::core::screening {

// Writes `text` to `path`, creating the folders on its way. A failure leaves no partial file.
// Throws OutputFileError (report/output.hpp).
void write_text_file(const std::string& path, std::string_view text);

// Moves the file `from` to `to` unless a file is there already; true when it was moved. Throws
// OutputFileError.
bool move_if_free(const std::string& from, const std::string& to);

// The reports written together take one name: `path` renamed to the stem of `first` with its own
// extension, when that name is free. Returns the path the report has now.
std::string share_report_name(const std::string& first, const std::string& path);

// Moves an existing file at `path` aside, so that writing `path` anew loses nothing: to the same
// name with the file's modification time (UTC) before the extension, "results_2026-12-08_18-48-15.json",
// or "..._18-48-15-2.json" and on when that is taken (never replacing a file). Returns the new
// path, or "" when there was no file. Throws OutputFileError.
std::string set_aside(const std::string& path);

}  // namespace velora::core::screening
