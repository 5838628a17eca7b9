// The console operations against a console that answers with the fuzz input. The first byte picks
// the operation; the rest are the answer bodies, separated by NUL bytes, handed out one per request
// in order (then empty bodies), so that operations of several requests (publishing, roll-back)
// see a different answer at each step.
#include <array>
#include <functional>

#include "common/http/transport.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"
#include "mra/core/console/session.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core;
using namespace velora::core::console;

namespace {

class ScriptedTransport final : public velora::core::Transport {
  public:
    explicit ScriptedTransport(std::vector<std::string> bodies) : bodies_(std::move(bodies)) {}

    HttpResponse perform(const HttpRequest&) override {
        HttpResponse response;
        response.status = 200;
        if (next_ < bodies_.size()) response.body = bodies_[next_++];
        return response;
    }

  private:
    std::vector<std::string> bodies_;
    std::size_t next_ = 0;
};

constexpr const char* kCloud = "https://console.example.com";
constexpr const char* kOrrin = "https://orrin.example.com";
const std::vector<std::string> kRisks{"jailbreaking", "prompt-injection"};

using Operation = std::function<void(ConsoleSession&)>;

const std::array<Operation, 9>& operations() {
    static const std::array<Operation, 9> all{
        [](auto& s) { connect_orrin(s, "orrin.example.com", "user", "key"); },
        [](auto& s) {
            connect_cloud(
                s, [] { return std::optional<std::string>("https://iam.example.com"); }, "key");
        },
        [](auto& s) { get_model_id(s, "granite"); },
        [](auto& s) { get_model_id(s, "granite"); },
        [](auto& s) { get_metric_definitions(s, "1234", kRisks); },
        [](auto& s) {
            get_metric_values(s, {{"jailbreaking", {"11", "12"}}, {"prompt-injection", {"13"}}});
        },
        [](auto& s) { post_content(s, "{}"); },
        [](auto& s) { delete_metric_objects(s, "1234", kRisks); },
        [](auto& s) { publish_metric(s, "refusal_rate", MetricNumber(0.8125), Json("1234"), kRisks); },
    };
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ScriptedTransport scripted(velora::fuzz::nul_separated(velora::fuzz::text_of(data + 1, size - 1)));
    NullLogSink log;
    // Operations 2 and 5 ask an on-premises console, the others a cloud one.
    const std::size_t pick = data[0] % operations().size();
    ConsoleSession session(scripted, log, pick == 2 || pick == 5 ? kOrrin : kCloud, {},
                           header_dictionary("token"));
    session.set_pause([](double) {});
    try {
        operations()[pick](session);
    } catch (const ConsoleException&) {
    }
    return 0;
}
