// JSON values as the console exchanges them, read with the runtime's rules where the contract
// depends on them: truthiness, str() of a decoded value, int() of a metric id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace velora::core::console {

// Member order matters in payloads and in the answers handed back to the caller.
using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects an answer may have; the readers and the conversion to
// Python recurse, and no console answer comes near it.
inline constexpr std::size_t kMaxJsonNesting = 512;

// The body parsed as JSON; ConsoleDecodeError when it is not (an empty body included) or when it
// nests deeper than kMaxJsonNesting.
Json parse_body(const std::string& body);

// The compact text of a request body; text that is not UTF-8 is replaced, never an error.
std::string request_body(const Json& value);

// Python's name of the type a decoded value has: dict, list, str, int, float, bool, NoneType.
const char* python_type_name(const Json& value);

// bool(value) of the decoded value: null, false, 0, 0.0, "", [] and {} are false.
bool python_truthy(const Json& value);

// str(value) of the decoded value ("None", "True", "12", "0.5", the text of a string). Objects and
// arrays are written as compact JSON, which is all a message needs.
std::string python_text(const Json& value);

// repr() of a float as the runtime writes it: shortest round-trip digits, "1.0", "1e+16", "nan".
std::string python_float_repr(double value);

// int(value) of the decoded value: integers as they are, floats truncated toward zero, booleans 0
// and 1, strings parsed like int(str) (blanks around, sign, underscores between digits).
// ConsoleTypeError for null, objects and arrays, ConsoleValueError for text that is no integer,
// both with the runtime's wording.
std::int64_t python_int(const Json& value);

}  // namespace velora::core::console
