// Files the command writes: their folder is made when missing, and a file appears only complete.
#pragma once

#include <string>

namespace velora::core::screening {

// mkdir -p of `folder`. Throws OutputFileError (report/output.hpp) naming the folder.
void make_folders(const std::string& folder);

// Writes `text` to `path`, creating the folders on its way. A failure leaves no partial file.
// Throws OutputFileError.
void write_text_file(const std::string& path, const std::string& text);

}  // namespace velora::core::screening
