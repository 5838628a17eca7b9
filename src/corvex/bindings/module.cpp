// corvex._corvex: the evaluation library's Python face. Arguments arrive as plain objects and are
// checked here (every complaint is a CorvexError naming the card and the problem); datasets, metrics
// and intervals are the core's.
#include <cstdint>
#include <limits>
#include <optional>

#include "bindings/common/package_paths.hpp"
#include "bindings/common/py_common.hpp"
#include "corvex/bindings/judge.hpp"
#include "corvex/core/bootstrap.hpp"
#include "corvex/core/catalog.hpp"
#include "corvex/core/dataset.hpp"
#include "corvex/core/error.hpp"
#include "corvex/core/judge/settings.hpp"
#include "corvex/core/metrics.hpp"
#include "corvex/core/recipe.hpp"

namespace {

namespace cx = velora::core::corvex;
using cx::CorvexError;
using cx::ordered_json;

std::string catalog_root() { return velora::bindings::package_folder("corvex") + "/catalog"; }

using velora::bindings::type_name;

// Our own data files: a broken byte is an error, never silently replaced.
py::object to_python(const ordered_json& value) {
    return velora::bindings::json_to_python(value, velora::bindings::BadUtf8::Raise);
}

// Task data as the core reads it. Only plain data crosses: anything else is not what load_dataset made.
ordered_json to_json(const py::handle& value, const std::string& where) {
    if (value.is_none()) return nullptr;
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    if (py::isinstance<py::int_>(value)) {
        try {
            return value.cast<int64_t>();
        } catch (const py::cast_error&) {
            throw CorvexError(where + " holds an integer out of range");
        }
    }
    if (py::isinstance<py::float_>(value)) return value.cast<double>();
    if (py::isinstance<py::str>(value)) return velora::bindings::utf8_of(value, where);
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        ordered_json array = ordered_json::array();
        for (const auto& item : value) array.push_back(to_json(item, where));
        return array;
    }
    if (py::isinstance<py::dict>(value)) {
        ordered_json object = ordered_json::object();
        for (const auto& [key, item] : py::reinterpret_borrow<py::dict>(value)) {
            if (!py::isinstance<py::str>(key)) throw CorvexError(where + " has a key that is not a text");
            object[velora::bindings::utf8_of(key, where + " key")] = to_json(item, where);
        }
        return object;
    }
    throw CorvexError(where + " holds a " + type_name(value) + ", which is not plain data");
}

std::optional<size_t> instance_cap(const py::object& value, const std::string& card) {
    if (value.is_none()) return std::nullopt;
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value)) {
        throw CorvexError("card " + card + ": max_test_instances must be a whole number or None, not " +
                          type_name(value));
    }
    const auto count = value.cast<py::int_>();
    if (count < py::int_(0)) {
        throw CorvexError("card " + card + ": max_test_instances must not be negative, got " +
                          velora::bindings::text_of(value));
    }
    if (count > py::int_(std::numeric_limits<int64_t>::max())) return std::nullopt;  // no file is that long
    return value.cast<size_t>();
}

py::list load_dataset(const py::object& recipe, const py::object& card, const py::object& max_test_instances,
                      const py::object& split) {
    std::string card_id;
    std::optional<size_t> cap;
    if (!recipe.is_none()) {
        if (!card.is_none() || !max_test_instances.is_none()) {
            throw CorvexError(
                "load_dataset takes either a recipe or card= with max_test_instances=, not both "
                "(put the cap inside the recipe: card=<id>,max_test_instances=N)");
        }
        if (!py::isinstance<py::str>(recipe)) {
            throw CorvexError("load_dataset: a recipe is a text, not " + type_name(recipe));
        }
        const auto parsed = cx::parse_recipe(velora::bindings::utf8_of(recipe, "recipe"));
        card_id = parsed.card;
        cap = parsed.max_test_instances;
    } else {
        if (card.is_none()) throw CorvexError("load_dataset needs a recipe or card=<card identifier>");
        if (!py::isinstance<py::str>(card))
            throw CorvexError("load_dataset: card must be a text, not " + type_name(card));
        card_id = velora::bindings::utf8_of(card, "card");
        cap = instance_cap(max_test_instances, card_id);
    }
    std::string split_name = "test";
    if (!split.is_none()) {
        if (!py::isinstance<py::str>(split)) {
            throw CorvexError("card " + card_id + ": split must be a text, not " + type_name(split));
        }
        split_name = velora::bindings::utf8_of(split, "split");
    }
    const std::string root = catalog_root();
    ordered_json instances;
    {
        py::gil_scoped_release unlocked;
        const auto spec = cx::load_card(root, card_id);
        instances = cx::load_instances(spec, split_name, cap);
    }
    return to_python(instances);
}

// What evaluate hands the core, read from the caller's objects.
struct ScoringInputs {
    std::string card_id;
    std::vector<ordered_json> task_data;
    std::vector<std::string> sources;  // what an LLM judge sees as the request
    std::vector<std::string> predictions;
};

// The card instance #i of load_dataset belongs to; its task data and source go into `inputs`.
void read_instance(const py::object& instance, size_t i, ScoringInputs& inputs) {
    const std::string where = "instance #" + std::to_string(i);
    if (!py::isinstance<py::dict>(instance)) {
        throw CorvexError("evaluate: " + where + " is a " + type_name(instance) +
                          ", not an instance of load_dataset");
    }
    const auto dict = py::reinterpret_borrow<py::dict>(instance);
    const py::object td = dict.contains("task_data") ? py::object(dict["task_data"]) : py::object(py::none());
    if (!py::isinstance<py::dict>(td) || !td.contains("card") || !py::isinstance<py::str>(td["card"])) {
        throw CorvexError("evaluate: " + where + " has no task_data naming its card; data must come from " +
                          "corvex.load_dataset");
    }
    const std::string card = velora::bindings::utf8_of(td["card"], where + " task_data card");
    if (i == 0) {
        inputs.card_id = card;
    } else if (card != inputs.card_id) {
        throw CorvexError("evaluate: data mixes cards " + inputs.card_id + " and " + card + " (" + where +
                          "); evaluate scores the instances of one card");
    }
    const std::string subject = "card " + inputs.card_id + ": " + where;
    if (!dict.contains("source")) throw CorvexError(subject + " has no \"source\"");
    if (!py::isinstance<py::str>(dict["source"])) {
        throw CorvexError(subject + " has a \"source\" that is not a text");
    }
    inputs.task_data.push_back(to_json(td, subject + " task_data"));
    inputs.sources.push_back(velora::bindings::utf8_of(dict["source"], subject + " source"));
}

void read_predictions(const py::object& predictions, ScoringInputs& inputs) {
    const std::string& card = inputs.card_id;
    if (!py::isinstance<py::list>(predictions) && !py::isinstance<py::tuple>(predictions)) {
        throw CorvexError("card " + card + ": predictions must be a list of texts, not a " +
                          type_name(predictions));
    }
    const auto answers = py::reinterpret_borrow<py::sequence>(predictions);
    const size_t n = inputs.task_data.size();
    if (answers.size() != n) {
        throw CorvexError("card " + card + ": " + std::to_string(answers.size()) + " predictions for " +
                          std::to_string(n) +
                          " instances; give one prediction per instance, in dataset order");
    }
    inputs.predictions.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const py::object answer = answers[i];
        if (!py::isinstance<py::str>(answer)) {
            throw CorvexError("card " + card + ": prediction #" + std::to_string(i) + " is a " +
                              type_name(answer) + ", not a text");
        }
        inputs.predictions.push_back(
            velora::bindings::utf8_of(answer, "card " + card + ": prediction #" + std::to_string(i)));
    }
}

cx::CardScores score(const ScoringInputs& inputs) {
    const std::string root = catalog_root();
    const auto judge = velora::bindings::corvex_judge::judge_inputs(&inputs.sources);
    py::gil_scoped_release unlocked;
    const auto spec = cx::load_card(root, inputs.card_id);
    return cx::score_card(spec, inputs.predictions, inputs.task_data, &judge);
}

// Copies of the caller's instances with "prediction" and "score" added.
py::list scored_instances(const py::sequence& instances, const py::sequence& answers,
                          const cx::CardScores& scores) {
    // One global dictionary, shared by every scored instance (a copy each would cost n x n for all_scores).
    const py::object global = to_python(scores.global);
    py::list scored(instances.size());
    for (size_t i = 0; i < instances.size(); ++i) {
        const py::object instance = instances[i];
        auto out = py::reinterpret_steal<py::dict>(PyDict_Copy(instance.ptr()));  // the caller's dict stays
        if (!out) throw py::error_already_set();
        out["prediction"] = answers[i];
        py::dict score;
        score["global"] = global;
        score["instance"] = to_python(scores.instances[i]);
        out["score"] = score;
        scored[i] = out;
    }
    return scored;
}

py::list evaluate(const py::object& predictions, const py::object& data) {
    if (!py::isinstance<py::list>(data) && !py::isinstance<py::tuple>(data)) {
        throw CorvexError("evaluate: data must be the list of instances that load_dataset returned, not a " +
                          type_name(data));
    }
    const auto instances = py::reinterpret_borrow<py::sequence>(data);
    if (instances.size() == 0)
        throw CorvexError("evaluate: data holds no instances (there is nothing to score)");
    ScoringInputs inputs;
    for (size_t i = 0; i < instances.size(); ++i) read_instance(instances[i], i, inputs);
    read_predictions(predictions, inputs);
    const cx::CardScores scores = score(inputs);
    return scored_instances(instances, py::reinterpret_borrow<py::sequence>(predictions), scores);
}

py::list list_cards() { return py::cast(cx::list_cards(catalog_root())); }

// The judge the first judged card among `cards` would get, read and checked from the environment as
// a judge is made, but asking it nothing: {"provider", "model"}, or None when no card is judged.
// Cards that cannot be loaded are left to fail where they are scored.
py::object judge_of(const std::vector<std::string>& cards) {
    const std::string root = catalog_root();
    for (const auto& card : cards) {
        std::optional<cx::CardSpec> spec;
        try {
            spec = cx::load_card(root, card);
        } catch (const CorvexError&) {
            continue;
        }
        if (!spec->judge) continue;
        try {
            const auto settings = cx::judge_settings(card, cx::process_environment());
            return py::dict("provider"_a = settings.basics.provider, "model"_a = settings.basics.model);
        } catch (const cx::JudgeUnavailableError& error) {
            velora::bindings::raise_python(PyExc_RuntimeError, error.what());
        }
    }
    return py::none();
}

py::tuple bootstrap_ci(const std::vector<double>& scores, size_t resamples, uint64_t seed,
                       double confidence) {
    cx::Interval interval{};
    {
        py::gil_scoped_release unlocked;
        interval = cx::bootstrap_mean(scores, cx::BootstrapOptions{resamples, confidence, seed});
    }
    return py::make_tuple(interval.low, interval.high);
}

}  // namespace

PYBIND11_MODULE(_corvex, m) {
    m.doc() = "corvex: benchmark cards, their test datasets, and the metrics that score model answers.";
    // Held for the module's life (never destroyed: the interpreter may be gone by then).
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> corvex_error;
    corvex_error.call_once_and_store_result(
        [&] { return py::register_exception<CorvexError>(m, "CorvexError", PyExc_Exception); });
    // Module-local, so tried before the plain translation above: a message that quotes a broken byte
    // of a file must still reach Python as CorvexError, not as a UnicodeDecodeError. Text that is
    // not text is bad input like any other here.
    py::register_local_exception_translator([](std::exception_ptr error) {
        const auto raise = [](const char* message) {
            PyErr_SetObject(corvex_error.get_stored().ptr(), velora::bindings::utf8_text(message).ptr());
        };
        try {
            if (error) std::rethrow_exception(error);
        } catch (const CorvexError& e) {
            raise(e.what());
        } catch (const velora::bindings::InvalidText& e) {
            raise(e.what());
        }
    });
    velora::bindings::corvex_judge::register_judge(m);

    m.def("load_dataset", &load_dataset, "recipe"_a = py::none(), py::kw_only(), "card"_a = py::none(),
          "max_test_instances"_a = py::none(), "split"_a = "test",
          "Test instances of a card, by recipe text or by card= (capped by max_test_instances), in file "
          "order.");
    m.def("evaluate", &evaluate, "predictions"_a, "data"_a,
          "Scores one prediction per instance of one card; each scored instance holds score.global and "
          "score.instance.");
    m.def("list_cards", &list_cards, "Every card identifier of the catalogue, sorted.");
    m.def("_judge_of", &judge_of, "cards"_a,
          "The judge {'provider', 'model'} the first judged card of `cards` gets from the environment, its "
          "settings checked but nothing sent; None when none is judged. RuntimeError names a bad setting.");
    m.def("bootstrap_ci", &bootstrap_ci, "scores"_a, "resamples"_a = 1000,
          "seed"_a = cx::BootstrapOptions{}.seed, "confidence"_a = 0.95,
          "Percentile-bootstrap interval (low, high) of the mean of scores.");
    m.attr("DEFAULT_SEED") = py::int_(cx::BootstrapOptions{}.seed);
}
