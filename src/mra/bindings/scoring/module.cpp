// velora_metrics_plugin.mra.scoring: ready-made scoring functions for EvaluateFMRisk.
// openai_compatible(...) returns a callable that answers a card's prompt table through any
// OpenAI-compatible server, many prompts at a time, on the caller's thread.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/common/py_common.hpp"
#include "common/pytext.hpp"
#include "mra/core/scoring/openai_compatible.hpp"

namespace {

namespace scoring = velora::core::scoring;
namespace openai = velora::core::openai;
using velora::bindings::raise_python;
using velora::bindings::type_name;

constexpr const char* kModuleName = "velora_metrics_plugin.mra.scoring";
PyObject* g_service_error = nullptr;  // lives for the whole process

[[noreturn]] void wrong_type(const char* name, const char* expected, const py::handle& value) {
    raise_python(PyExc_TypeError, std::string(name) + " must be " + expected + ", not " + type_name(value));
}

std::string text(const py::handle& value, const char* name) {
    if (!py::isinstance<py::str>(value)) wrong_type(name, "a string", value);
    return velora::bindings::utf8_of(value, name);
}

std::optional<std::string> optional_text(const py::handle& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return text(value, name);
}

bool is_integer(const py::handle& value) {
    return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

long long integer(const py::handle& value, const char* name) {
    if (!is_integer(value)) wrong_type(name, "an int", value);
    return velora::bindings::int64_of(value, name);
}

int small_integer(const py::handle& value, const char* name) {
    const long long number = integer(value, name);
    // Out of range either way: the core's own check then names the setting.
    return static_cast<int>(std::clamp<long long>(number, -1, 1'000'000));
}

// An int, or "auto": the width learnt from the service's answers.
void set_concurrency(scoring::ScoringSettings& settings, const py::handle& value) {
    if (!py::isinstance<py::str>(value)) {
        settings.concurrency = small_integer(value, "concurrency");
        return;
    }
    const std::string word = text(value, "concurrency");
    if (word != "auto")
        raise_python(PyExc_ValueError,
                     "concurrency must be an int or 'auto', got " + velora::core::python_repr(word));
    settings.auto_concurrency = true;
}

double number(const py::handle& value, const char* name) {
    if (!(is_integer(value) || py::isinstance<py::float_>(value))) wrong_type(name, "a number", value);
    return velora::bindings::double_of(value, name);
}

std::string path_text(const py::handle& value, const char* name) {
    if (!(py::isinstance<py::str>(value) || py::hasattr(value, "__fspath__")))
        wrong_type(name, "a path", value);
    return velora::bindings::path_of(value, name);
}

std::vector<std::string> stop_list(const py::handle& value) {
    if (value.is_none()) return {};
    if (py::isinstance<py::str>(value)) return {text(value, "stop")};
    if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value))
        wrong_type("stop", "a string, a list of strings or None", value);
    std::vector<std::string> stops;
    for (const auto item : value) stops.push_back(text(item, "stop"));
    return stops;
}

velora::core::HttpHeaders header_list(const py::handle& value) {
    velora::core::HttpHeaders headers;
    if (value.is_none()) return headers;
    if (!py::isinstance<py::dict>(value)) wrong_type("headers", "a dict of strings or None", value);
    for (const auto& [name, content] : py::reinterpret_borrow<py::dict>(value))
        headers.emplace_back(text(name, "headers"), text(content, "headers"));
    return headers;
}

py::dict progress_dict(const scoring::ScoringStats& stats) {
    return py::dict("done"_a = stats.done, "total"_a = stats.total, "rate"_a = stats.rate(),
                    "cache_hits"_a = stats.cache_hits, "retries"_a = stats.retries,
                    "truncated"_a = stats.truncated);
}

py::dict stats_dict(const scoring::ScoringStats& stats) {
    py::dict out = progress_dict(stats);
    out["sent"] = stats.sent;
    out["seconds"] = stats.seconds;
    return out;
}

std::vector<scoring::Prompt> prompts_of(const py::object& data) {
    if (!py::hasattr(data, "iloc") || !py::hasattr(data, "columns"))
        wrong_type("data", "a pandas DataFrame", data);
    const py::list texts = data.attr("iloc")[py::make_tuple(py::slice(), 0)].attr("tolist")();
    py::list systems;
    const bool has_systems = py::len(data.attr("columns")) > 1 &&
                             data.attr("columns").attr("__contains__")("system_prompt").cast<bool>();
    if (has_systems) systems = data.attr("__getitem__")("system_prompt").attr("tolist")();
    std::vector<scoring::Prompt> prompts(texts.size());
    for (std::size_t row = 0; row < prompts.size(); ++row) {
        if (!py::isinstance<py::str>(texts[row]))
            raise_python(PyExc_TypeError,
                         "prompt " + std::to_string(row) + " must be a string, not " + type_name(texts[row]));
        const std::string where = "prompt " + std::to_string(row);
        prompts[row].text = velora::bindings::utf8_of(texts[row], where);
        if (has_systems && py::isinstance<py::str>(systems[row]))  // None and NaN: none
            prompts[row].system_prompt = velora::bindings::utf8_of(systems[row], "system_prompt of " + where);
    }
    return prompts;
}

// The card a prompt table names in its attrs (a screening's tables do), for warnings; empty if none.
std::string card_of(const py::object& data) {
    if (!py::hasattr(data, "attrs")) return {};
    const py::object attrs = data.attr("attrs");
    if (!py::isinstance<py::dict>(attrs)) return {};
    const py::object card = py::reinterpret_borrow<py::dict>(attrs).attr("get")("card");
    return py::isinstance<py::str>(card) ? velora::bindings::text_of(card) : std::string();
}

class OpenAICompatibleScoring {
  public:
    OpenAICompatibleScoring(scoring::ScoringSettings settings, py::object progress)
        : progress_(std::move(progress)) {
        scoring::ScoringHooks hooks;
        hooks.should_abort = velora::bindings::interrupted;
        hooks.log = &log_;
        if (!progress_.is_none()) {
            hooks.on_progress = [this](const scoring::ScoringStats& stats) {
                py::gil_scoped_acquire gil;
                progress_(progress_dict(stats));
            };
        }
        scorer_ = std::make_unique<scoring::OpenAICompatibleScorer>(std::move(settings), std::move(hooks));
    }

    py::object call(const py::object& data) {
        const auto pass = velora::bindings::enter_gate(gate_, "this scoring function");
        const auto prompts = prompts_of(data);
        const std::string card = card_of(data);
        std::vector<std::string> answers;
        try {
            answers = velora::bindings::without_gil([&] { return scorer_->score(prompts, card); });
        } catch (...) {
            keep_stats();
            throw;
        }
        keep_stats();
        py::list column;
        for (const auto& answer : answers) column.append(velora::bindings::utf8_text(answer));
        return py::module_::import("pandas").attr("DataFrame")(py::dict("generated_text"_a = column));
    }

    void check(const py::object& skip_with) {
        const auto pass = velora::bindings::enter_gate(gate_, "this scoring function");
        const std::string hint =
            skip_with.is_none() ? scoring::kSkipModelCheck : text(skip_with, "skip_with");
        velora::bindings::without_gil([&] { scorer_->check(hint); });
    }

    py::dict last_stats() const { return stats_dict(last_); }
    py::dict stats() const { return stats_dict(total_); }

    std::string repr() const {
        const auto& settings = scorer_->settings();
        return "OpenAICompatibleScoring(base_url=" + velora::core::python_repr(settings.base_url) +
               ", model=" + velora::core::python_repr(settings.generation.model) + ", api='" +
               openai::api_name(settings.generation.api) + "', concurrency=" + concurrency_text(settings) +
               ")";
    }

  private:
    // Taken by the caller holding the GIL: the properties read these while another thread's call
    // is under way, never the scorer's own figures.
    void keep_stats() {
        last_ = scorer_->last_stats();
        total_ = scorer_->total_stats();
    }

    static std::string concurrency_text(const scoring::ScoringSettings& settings) {
        if (!settings.auto_concurrency) return std::to_string(settings.concurrency);
        return "'auto', max_concurrency=" + std::to_string(settings.max_concurrency);
    }

    // The module's logger; the lines may come while the GIL is released.
    velora::bindings::PythonLogSink log_{kModuleName};
    py::object progress_;
    std::unique_ptr<scoring::OpenAICompatibleScorer> scorer_;
    // The scorer's transport and cache connection serve one call at a time.
    velora::core::CallGate gate_;
    scoring::ScoringStats last_, total_;
};

}  // namespace

namespace {

struct Arguments {
    py::object base_url, model, api, api_key, concurrency, max_concurrency, max_tokens, temperature, seed,
        stop, system_prompt, timeout, max_retries, headers, verify, cache, check_model, max_response_bytes;
};

scoring::ScoringSettings settings_from(const Arguments& a) {
    scoring::ScoringSettings settings;
    settings.base_url = text(a.base_url, "base_url");
    settings.generation.model = text(a.model, "model");
    const std::string api = text(a.api, "api");
    const auto known = openai::api_named(api);
    if (!known)
        raise_python(PyExc_ValueError,
                     "api must be 'chat' or 'completions', got " + velora::core::python_repr(api));
    settings.generation.api = *known;
    settings.api_key = optional_text(a.api_key, "api_key");
    set_concurrency(settings, a.concurrency);
    settings.max_concurrency = small_integer(a.max_concurrency, "max_concurrency");
    if (!a.max_tokens.is_none()) settings.generation.max_tokens = small_integer(a.max_tokens, "max_tokens");
    if (!a.temperature.is_none()) settings.generation.temperature = number(a.temperature, "temperature");
    if (!a.seed.is_none()) settings.generation.seed = integer(a.seed, "seed");
    settings.generation.stop = stop_list(a.stop);
    settings.system_prompt = optional_text(a.system_prompt, "system_prompt");
    settings.timeout_seconds = number(a.timeout, "timeout");
    settings.max_retries = small_integer(a.max_retries, "max_retries");
    settings.headers = header_list(a.headers);
    if (py::isinstance<py::bool_>(a.verify)) {
        settings.verify_tls = a.verify.cast<bool>();
    } else {
        settings.ca_file = path_text(a.verify, "verify");  // a CA bundle to verify against
    }
    if (!a.cache.is_none()) settings.cache_path = path_text(a.cache, "cache");
    if (!py::isinstance<py::bool_>(a.check_model)) wrong_type("check_model", "a bool", a.check_model);
    settings.check_model = a.check_model.cast<bool>();
    // Below 1 either way: the core's own check then names the setting.
    settings.max_response_bytes =
        static_cast<std::size_t>(std::max(integer(a.max_response_bytes, "max_response_bytes"), 0LL));
    scoring::validate(settings);
    return settings;
}

std::unique_ptr<OpenAICompatibleScoring> openai_compatible(const Arguments& arguments,
                                                           const py::object& progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        wrong_type("progress", "a callable or None", progress);
    auto settings = settings_from(arguments);
    return std::make_unique<OpenAICompatibleScoring>(std::move(settings), progress);
}

}  // namespace

PYBIND11_MODULE(scoring, m) {
    m.doc() =
        "Ready-made scoring functions for EvaluateFMRisk: openai_compatible() answers prompts through any "
        "OpenAI-compatible server.";
    // The module-wide logger, made at load: it keeps our lines flowing whatever the root level.
    m.attr("logger") = velora::bindings::ModuleLogger(kModuleName).handle();

    g_service_error = PyErr_NewExceptionWithDoc(
        "velora_metrics_plugin.mra.scoring.ServiceError",
        "A request to the model service failed, or its answer does not have the API's shape.",
        PyExc_Exception, nullptr);
    if (g_service_error == nullptr) throw py::error_already_set();
    m.add_object("ServiceError", py::reinterpret_borrow<py::object>(g_service_error));
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const scoring::ServiceError& e) {
            velora::bindings::set_python_error(g_service_error, e.what());
        } catch (const velora::core::ResponseCacheError& e) {
            velora::bindings::set_python_error(PyExc_ValueError, e.what());
        } catch (const velora::core::HttpError& e) {
            velora::bindings::set_python_error(g_service_error, e.what());
        }
    });

    py::class_<OpenAICompatibleScoring>(m, "OpenAICompatibleScoring",
                                        "A scoring function over an OpenAI-compatible server; made by "
                                        "openai_compatible().")
        .def("__call__", &OpenAICompatibleScoring::call, "data"_a,
             "Answers the prompts of the table's first column (a 'system_prompt' column, when present, gives "
             "a prompt's own system message): a table with one column 'generated_text', in the same order.")
        .def("check", &OpenAICompatibleScoring::check, py::kw_only(), "skip_with"_a = py::none(),
             "Looks at the target before any prompt is sent: the cache file can take answers, the server "
             "answers GET {base_url}/models, accepts the key and lists the model (without the model check, "
             "only that it answers and accepts the key). ServiceError or ValueError otherwise; skip_with "
             "names how the caller's users skip the model check (default: check_model=False).")
        .def_property_readonly("last_stats", &OpenAICompatibleScoring::last_stats,
                               "Figures of the last call: done, total, rate, cache_hits, retries, truncated, "
                               "sent, seconds.")
        .def_property_readonly("stats", &OpenAICompatibleScoring::stats,
                               "The same figures summed over every call.")
        .def("__repr__", &OpenAICompatibleScoring::repr);

    m.def(
        "openai_compatible",
        [](const py::object& base_url, const py::object& model, const py::object& api,
           const py::object& api_key, const py::object& concurrency, const py::object& max_tokens,
           const py::object& temperature, const py::object& seed, const py::object& stop,
           const py::object& system_prompt, const py::object& timeout, const py::object& max_retries,
           const py::object& headers, const py::object& verify, const py::object& cache,
           const py::object& progress, const py::object& check_model, const py::object& max_response_bytes,
           const py::object& max_concurrency) {
            return openai_compatible({base_url, model, api, api_key, concurrency, max_concurrency, max_tokens,
                                      temperature, seed, stop, system_prompt, timeout, max_retries, headers,
                                      verify, cache, check_model, max_response_bytes},
                                     progress);
        },
        "base_url"_a, "model"_a, py::kw_only(), "api"_a = "chat", "api_key"_a = py::none(),
        "concurrency"_a = scoring::kDefaultConcurrency, "max_tokens"_a = scoring::kDefaultMaxTokens,
        "temperature"_a = scoring::kDefaultTemperature, "seed"_a = py::none(), "stop"_a = py::none(),
        "system_prompt"_a = py::none(), "timeout"_a = scoring::kDefaultTimeoutSeconds,
        "max_retries"_a = scoring::kDefaultMaxRetries, "headers"_a = py::none(), "verify"_a = true,
        "cache"_a = py::none(), "progress"_a = py::none(), "check_model"_a = true,
        "max_response_bytes"_a = velora::core::kDefaultMaxResponseBytes,
        "max_concurrency"_a = scoring::kDefaultMaxConcurrency,
        "A scoring function that answers prompts through the OpenAI-compatible server at base_url. "
        "concurrency is the number of requests in flight, or 'auto': start small, widen while answers keep "
        "their latency, narrow on 429s, 5xx answers, time-outs and rising latency, never above "
        "max_concurrency.");
}
