// What the files of the screen_model_hazard module share.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::smh {

inline constexpr const char* kModuleName = "velora_metrics_plugin.mra.screen_model_hazard";

// The module-wide `logger`.
bindings::ModuleLogger& logger();

// Names bound from report_forge at load.
py::object report_forge_attr(const char* name);

}  // namespace velora::smh
