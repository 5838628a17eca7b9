// Plain data between Python and the core's JSON documents: None, bool, int, float, str, lists,
// tuples and dicts with text keys. Member order is kept both ways.
#pragma once

#include <nlohmann/json.hpp>

#include "bindings/common/py_common.hpp"

namespace velora::bindings {

// Deeper than this is taken for a value that contains itself.
inline constexpr std::size_t kMaxJsonNesting = 512;

// TypeError (with the runtime's json wording) for anything that is not plain data, ValueError
// "Circular reference detected" for nesting deeper than kMaxJsonNesting.
nlohmann::ordered_json to_json(const py::handle& value);

// Text that is not valid UTF-8 (a server may send anything) has its bad bytes replaced by U+FFFD.
py::object to_python(const nlohmann::ordered_json& value);

}  // namespace velora::bindings
