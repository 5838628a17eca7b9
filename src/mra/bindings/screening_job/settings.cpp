// Checks of the command's settings that belong to the library: settings-file keys and percentile pairs.
#include "common/pynum.hpp"
#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/screening/config_keys.hpp"
#include "mra/core/screening/gate.hpp"

namespace velora::job {
namespace {

void check_settings_keys(const std::vector<std::string>& keys, const std::vector<std::string>& known,
                         const std::string& file_name) {
    const std::string problem = core::screening::unknown_key_problem(keys, known, file_name);
    if (!problem.empty()) raise_settings_error(problem);
}

py::tuple parse_thresholds(const std::string& text) {
    const auto comma = text.find(',');
    const auto lower = core::parse_python_float(text.substr(0, comma));
    const auto upper =
        comma == std::string::npos ? std::nullopt : core::parse_python_float(text.substr(comma + 1));
    if (!lower || !upper)
        raise_settings_error("thresholds must be two percentages LOW,HIGH, e.g. 25,75; got '" + text + "'");
    const std::string problem = core::screening::thresholds_problem(*lower, *upper);
    if (!problem.empty()) raise_settings_error(problem + "; got '" + text + "'");
    return py::make_tuple(*lower, *upper);
}

}  // namespace

void register_settings(py::module_& m) {
    m.def("check_settings_keys", &check_settings_keys, "keys"_a, "known"_a, "file_name"_a,
          "SettingsError naming the first unknown key and the closest known one.");
    m.def("parse_thresholds", &parse_thresholds, "text"_a,
          "'LOW,HIGH' percentages as a pair; SettingsError when they are not 0 <= LOW <= HIGH <= 100.");
}

}  // namespace velora::job
