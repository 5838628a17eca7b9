// The two date texts on the report's cover.
#pragma once

#include <ctime>
#include <string>

namespace velora::core {

// The local date of `instant` as "%B %d, %Y", e.g. "December 08, 2026".
std::string local_report_date(std::time_t instant);

// The UTC time of `instant` written with strftime's `format`.
std::string utc_text(std::time_t instant, const char* format);

// The UTC time of `instant` as "%m/%d/%Y %H:%M:%S UTC".
std::string utc_report_timestamp(std::time_t instant);

}  // namespace velora::core
