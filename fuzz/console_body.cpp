// A console answer body read as JSON, then every runtime reading of the decoded value that the
// console client applies to it (truthiness, str(), int()).
#include "mra/core/console/errors.hpp"
#include "mra/core/console/json.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::console;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json value;
    try {
        value = parse_body(std::string(velora::fuzz::text_of(data, size)));
    } catch (const ConsoleDecodeError&) {
        return 0;
    }
    python_type_name(value);
    python_truthy(value);
    python_text(value);
    try {
        python_int(value);
    } catch (const ConsoleTypeError&) {
    } catch (const ConsoleValueError&) {
    }
    return 0;
}
