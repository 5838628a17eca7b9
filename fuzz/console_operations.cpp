// The console operations against a console that answers with the fuzz input. The first byte picks
// the operation; the rest are the answer bodies, separated by NUL bytes, handed out one per request
// in order (then empty bodies), so that operations of several requests (publishing, roll-back)
// see a different answer at each step.
#include <array>
#include <functional>

#include "common/http/transport.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"
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

using Operation = std::function<void(const console::Transport&, LogSink&)>;

const std::array<Operation, 9>& operations() {
    static const HttpHeaders header = header_dictionary("token");
    static const std::array<Operation, 9> all{
        [](const auto& t, auto& log) { connect_orrin(t, log, "orrin.example.com", "user", "key"); },
        [](const auto& t, auto& log) {
            connect_cloud(
                t, log, [] { return std::optional<std::string>("https://iam.example.com"); }, "key");
        },
        [](const auto& t, auto& log) { get_model_id(t, log, header, "granite", kOrrin); },
        [](const auto& t, auto& log) { get_model_id(t, log, header, "granite", kCloud); },
        [](const auto& t, auto& log) { get_metric_definitions(t, log, header, "1234", kRisks, kCloud); },
        [](const auto& t, auto& log) {
            get_metric_values(t, log, {{"jailbreaking", {"11", "12"}}, {"prompt-injection", {"13"}}}, header,
                              kOrrin);
        },
        [](const auto& t, auto&) { post_content(t, "{}", kCloud, header); },
        [](const auto& t, auto& log) { delete_metric_objects(t, log, kCloud, "1234", kRisks, header); },
        [](const auto& t, auto& log) {
            publish_metric(t, log, "refusal_rate", MetricNumber(0.8125), Json("1234"), kCloud, header,
                           kRisks);
        },
    };
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ScriptedTransport scripted(velora::fuzz::nul_separated(velora::fuzz::text_of(data + 1, size - 1)));
    const console::Transport transport = [&](const HttpRequest& request) {
        return scripted.perform(request);
    };
    NullLogSink log;
    try {
        operations()[data[0] % operations().size()](transport, log);
    } catch (const ConsoleError&) {
    } catch (const ConsoleKeyError&) {
    } catch (const ConsoleTypeError&) {
    } catch (const ConsoleValueError&) {
    } catch (const ConsoleDecodeError&) {
    }
    return 0;
}
