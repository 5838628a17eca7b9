// Files the command writes: their folder is made when missing, and a file appears only complete.
#pragma once

#include <string>
#include <string_view>

namespace velora::core::screening {

// Writes `text` to `path`, creating the folders on its way. A failure leaves no partial file.
// Throws OutputFileError (report/output.hpp).
void write_text_file(const std::string& path, std::string_view text);

}  // namespace velora::core::screening
