// Where the installed package trees are, for modules that read their shipped data files.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::bindings {

// The folder of an imported package, e.g. package_folder("velora_metrics_plugin.mra").
std::string package_folder(const char* package);

// Makes `child` importable as "<parent_name>.<child name>" (import a.b.c works, not only a.b then .c).
void register_submodule(const char* parent_name, py::module_& child, const char* child_name);

}  // namespace velora::bindings
