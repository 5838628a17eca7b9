#include "bindings/common/package_paths.hpp"

namespace velora::bindings {

std::string package_folder(const char* package) {
    const py::list paths = py::module_::import(package).attr("__path__");
    return text_of(paths[0], "the package folder");
}

void register_submodule(const char* parent_name, py::module_& child, const char* child_name) {
    py::module_::import("sys").attr("modules")[py::str(std::string(parent_name) + "." + child_name)] = child;
}

}  // namespace velora::bindings
