// Loading one card's test set from the evaluation library.
#pragma once

#include "bindings/common/py_common.hpp"

namespace velora::smh {

// The card's test split, first loaded from this module's folder, then from the caller's working
// directory; an empty dict when both fail. The working directory is always restored.
py::object load_dataset_with_fallback(const py::object& card, const py::object& max_sample_size);

// True for a Python error that an ordinary `except Exception` would catch.
bool is_ordinary_error(const py::error_already_set& error);

}  // namespace velora::smh
