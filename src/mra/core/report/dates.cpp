#include "mra/core/report/dates.hpp"

namespace velora::core {
namespace {

std::string format_time(const std::tm& time, const char* format) {
    char buffer[128];
    const size_t size = std::strftime(buffer, sizeof buffer, format, &time);
    return std::string(buffer, size);
}

}  // namespace

std::string local_report_date(std::time_t instant) {
    std::tm local{};
    localtime_r(&instant, &local);
    return format_time(local, "%B %d, %Y");
}

std::string utc_text(std::time_t instant, const char* format) {
    std::tm utc{};
    gmtime_r(&instant, &utc);
    return format_time(utc, format);
}

std::string utc_report_timestamp(std::time_t instant) { return utc_text(instant, "%m/%d/%Y %H:%M:%S UTC"); }

}  // namespace velora::core
