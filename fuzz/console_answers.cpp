// A console query answer through each of the walkers that read it: the model id (both forms of the
// query), the metric ids of the definitions and the stored metric values.
#include "mra/core/console/answers.hpp"
#include "mra/core/console/errors.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core::console;

namespace {

template <typename Walk>
void walk(Walk&& reader) {
    try {
        reader();
    } catch (const ConsoleException&) {  // every documented console failure
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json answer;
    try {
        answer = parse_body(std::string(velora::fuzz::text_of(data, size)));
    } catch (const ConsoleDecodeError&) {
        return 0;
    }
    velora::core::NullLogSink log;
    walk([&] { model_id_from_get_answer(answer, log); });
    walk([&] { model_id_from_post_answer(answer, log); });
    walk([&] { metric_ids_from_answer(answer); });
    walk([&] { metric_values_from_answer(answer); });
    return 0;
}
