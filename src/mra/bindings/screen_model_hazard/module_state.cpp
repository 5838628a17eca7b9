#include "mra/bindings/screen_model_hazard/module_state.hpp"

namespace velora::smh {

bindings::ModuleLogger& logger() {
    static bindings::ModuleLogger module_logger(kModuleName);
    return module_logger;
}

py::object report_forge_attr(const char* name) { return py::module_::import(kModuleName).attr(name); }

}  // namespace velora::smh
