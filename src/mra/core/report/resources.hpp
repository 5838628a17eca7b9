// The report's own files as the renderer sees them: the only URLs it may read, and files embedded
// into a page that must stand on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

// The local file a "file:" URL names, when that file exists and lies (after resolving links and
// "..") inside one of `folders`; nullopt for every other URL (other files, other schemes, hosts).
std::optional<std::string> report_resource_path(std::string_view url,
                                                const std::vector<std::string>& folders);

// The media type of one of the report's files, by its extension ("image/svg+xml", "text/css", ...);
// "application/octet-stream" for an extension the report does not use.
std::string_view mime_type_of(std::string_view path);

// Standard base64 with padding.
std::string base64_encode(std::string_view bytes);

// "data:<mime_type>;base64,<bytes encoded>".
std::string data_uri(std::string_view mime_type, std::string_view bytes);

}  // namespace velora::core
