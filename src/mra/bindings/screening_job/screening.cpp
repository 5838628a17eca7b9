// One screening, risk dimension by risk dimension, each through its own evaluator: that way the
// card behind every call of the scoring function is known (a failed card ends only its own risk),
// so a progress display can name it.
#include <cctype>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/evaluator_rules.hpp"
#include "mra/core/screening/card_runs.hpp"

namespace velora::job {

// The catalogue's cards of the risk, without the cards the evaluator never runs.
py::list cards_run_for(const py::object& risk) {
    const auto catalogue = py::module_::import("velora_metrics_plugin.mra.mra_api");
    const py::object cards =
        catalogue.attr("risk_to_cards")
            .attr("get_cards_for_risk")(catalogue.attr("risk").attr("RISK_TALMAR_DICO")[risk]);
    py::list run;
    for (const auto card : cards) {
        if (!(py::isinstance<py::str>(card) && core::is_invalid_card(card.cast<std::string>())))
            run.append(card);
    }
    return run;
}

namespace {

using bindings::text_of;

// system_credentials keys of the governance console; each is read from "VELORA_" + its upper case.
constexpr const char* kConsoleKeys[] = {"vn_url",    "vn_model_id",   "vn_username",
                                        "vn_apikey", "vn_orrin_host", "vn_orrin_apikey"};

std::string environment_name(const std::string& key) {
    std::string name = "VELORA_";
    for (const char c : key) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

py::dict console_credentials() {
    const py::object environ = py::module_::import("os").attr("environ");
    py::dict credentials;
    for (const char* key : kConsoleKeys) {
        const py::str name(environment_name(key));
        if (environ.contains(name)) credentials[key] = environ[name];
    }
    return credentials;
}

// The scoring function behind one risk's evaluator. Without one the evaluator's own default scoring
// function answers, which exists only once the evaluator does, hence the late-bound target.
struct Answering {
    std::shared_ptr<py::object> target = std::make_shared<py::object>();
    py::object function;
};

// Calls the target, telling `on_card` first which card the call answers. The prompt table names its
// card too (attrs["card"]), so a scoring function's own warnings can say which card they are about.
Answering announcing(const py::object& scoring_function, const py::object& on_card, const py::object& risk) {
    Answering answering;
    *answering.target = scoring_function;
    // Looked up at the first call: by then the evaluator has checked that the risk exists.
    auto cards = std::make_shared<py::list>();
    auto next = std::make_shared<size_t>(0);
    const auto target = answering.target;
    answering.function = py::cpp_function([=](const py::object& table) {
        const size_t index = (*next)++;
        if (index == 0) *cards = cards_run_for(risk);
        const py::object card =
            index < py::len(*cards) ? py::object((*cards)[index]) : py::object(py::none());
        if (!card.is_none() && py::hasattr(table, "attrs")) table.attr("attrs")["card"] = card;
        if (!on_card.is_none()) on_card(risk, card, index + 1, py::len(*cards), py::len(table));
        return (*target)(table);
    });
    return answering;
}

constexpr const char* kEvaluatorLogger = "velora_metrics_plugin.mra.screen_model_hazard";
// How the evaluator's warning about a failed card begins.
constexpr std::string_view kCardErrorStart = "Error processing card ";

// The first failed card's error as the evaluator logs it, caught while one risk is evaluated. A
// filter of the evaluator's logger sees each of its lines and lets every one through, so the lines
// still reach whatever handlers there are (a handler would take logging's last resort away).
class CardErrorWatch {
  public:
    CardErrorWatch() : logger_(py::module_::import("logging").attr("getLogger")(kEvaluatorLogger)) {
        auto first = first_;
        filter_ = py::cpp_function([first](const py::object& record) {
            if (!first->empty()) return true;
            try {
                const std::string message = bindings::text_of(record.attr("getMessage")());
                if (record.attr("levelno").cast<int>() >= 30 && message.rfind(kCardErrorStart, 0) == 0)
                    *first = message;
            } catch (const std::exception&) {
                // A line that is not text is no cause to keep; the log shows it anyway.
            }
            return true;
        });
        logger_.attr("addFilter")(filter_);
    }
    ~CardErrorWatch() {
        py::error_scope pending;  // a Ctrl-C in flight stays pending
        try {
            logger_.attr("removeFilter")(filter_);
        } catch (py::error_already_set&) {
        }
    }
    CardErrorWatch(const CardErrorWatch&) = delete;
    CardErrorWatch& operator=(const CardErrorWatch&) = delete;

    // The failure in one line a user can place (the logged line itself when it reads otherwise).
    py::object cause(const py::handle& risk) const {
        if (first_->empty()) return py::none();
        const auto reason = core::screening::card_failure_reason(*first_, text_of(py::str(risk)));
        return py::str(reason ? *reason : *first_);
    }

  private:
    py::object logger_, filter_;
    std::shared_ptr<std::string> first_ = std::make_shared<std::string>();
};

struct RiskOutcome {
    py::object results;  // None when the risk failed
    py::object cause;    // why it failed, None when not known
};

// One risk's results, or None when its evaluator raised (a console that failed, say): the risk is
// then told as failed with a warning, and the risks before and after it keep their results. Ctrl-C
// still stops the whole screening.
RiskOutcome screen_one(const py::object& evaluator, const py::handle& risk) {
    CardErrorWatch watch;
    try {
        return {evaluator.attr("screen_model_hazards")(), watch.cause(risk)};
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        const std::string what = bindings::type_name(error.value()) + ": " + text_of(py::str(error.value()));
        logger().warning("Risk dimension " + text_of(py::str(risk)) + " stopped: " + what);
        const py::object card_error = watch.cause(risk);
        return {py::none(), card_error.is_none() ? py::object(py::str(what)) : card_error};
    }
}

// Cards loaded by recipe do not take the evaluator's max_sample_size (its contract says so); a
// screening caps every card, so while it runs the evaluator is handed recipes with the cap in them.
class RecipeCap {
  public:
    explicit RecipeCap(const py::object& max_sample_size) {
        if (!py::isinstance<py::int_>(max_sample_size) || py::isinstance<py::bool_>(max_sample_size)) return;
        std::uint64_t cap = 0;
        try {
            cap = max_sample_size.cast<std::uint64_t>();
        } catch (const py::cast_error&) {
            return;  // negative: the evaluator refuses it; beyond 64 bits: no cap at all
        }
        lookup_ = py::module_::import("velora_metrics_plugin.mra.mra_api").attr("risk_to_cards");
        original_ = lookup_.attr("get_recipe_for_card");
        const py::object original = original_;
        lookup_.attr("get_recipe_for_card") = py::cpp_function(
            [original, cap](const py::object& card) -> py::object {
                const py::object recipe = original(card);
                if (!py::isinstance<py::str>(recipe)) return recipe;
                return py::str(core::screening::capped_recipe(text_of(recipe), cap));
            },
            py::arg("card"));
    }
    ~RecipeCap() {
        if (!original_) return;
        try {
            lookup_.attr("get_recipe_for_card") = original_;
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("restoring the recipe lookup");
        }
    }
    RecipeCap(const RecipeCap&) = delete;
    RecipeCap& operator=(const RecipeCap&) = delete;

  private:
    py::object lookup_, original_;
};

py::tuple screen(const py::object& model, const py::object& risks, const py::object& scoring_function,
                 const py::object& max_sample_size, const py::object& credentials, const py::object& on_card,
                 const py::object& on_risk, const py::object& preflight) {
    const py::module_ smh = screen_model_hazard();
    const py::list names = risks.is_none() ? py::list(smh.attr("get_available_risks")()) : py::list(risks);
    const py::object system_credentials = credentials.is_none() ? py::object(py::dict()) : credentials;
    // Every evaluator first, so a bad setting stops the run before any model is asked anything.
    std::vector<std::pair<py::object, Answering>> runs;
    for (const auto risk : names) {
        Answering answering = announcing(scoring_function, on_card, py::reinterpret_borrow<py::object>(risk));
        py::list one;
        one.append(risk);
        py::object evaluator;
        try {
            evaluator = smh.attr("EvaluateFMRisk")(system_credentials, model, one, answering.function,
                                                   max_sample_size);
        } catch (py::error_already_set& error) {
            // The evaluator's argument checks (it asks no model yet): settings the user gave, told as
            // such. An unknown risk is a plain Exception there.
            if (!error.matches(PyExc_Exception)) throw;
            raise_settings_error(bindings::text_of(error.value()));
        }
        if (answering.target->is_none()) *answering.target = evaluator.attr("default_scoring_function");
        runs.emplace_back(evaluator, answering);
    }
    // The evaluators and their bound default scoring functions hold each other until released here.
    struct Release {
        std::vector<std::pair<py::object, Answering>>& runs;
        ~Release() {
            for (auto& run : runs) *run.second.target = py::none();
        }
    } release{runs};
    if (!preflight.is_none()) preflight();
    const RecipeCap recipe_cap(max_sample_size);
    py::dict results;
    py::dict failed;  // risk -> cause (None when not known)
    for (size_t i = 0; i < runs.size(); ++i) {
        const py::object risk = names[i];
        const RiskOutcome outcome = screen_one(runs[i].first, risk);
        if (outcome.results.is_none() || !py::dict(outcome.results).contains(risk))
            failed[risk] = outcome.cause;
        if (!outcome.results.is_none())
            for (const auto entry : py::dict(outcome.results)) results[entry.first] = entry.second;
        if (!on_risk.is_none())
            on_risk(results, failed,
                    py::list(names[py::slice(static_cast<py::ssize_t>(i + 1), py::len(names), 1)]));
    }
    return py::make_tuple(results, failed);
}

}  // namespace

void register_screening(py::module_& m) {
    m.def("console_credentials", &console_credentials,
          "The governance-console keys of system_credentials taken from VELORA_VN_URL, VELORA_VN_MODEL_ID, "
          "VELORA_VN_USERNAME, VELORA_VN_APIKEY, VELORA_VN_ORRIN_HOST and VELORA_VN_ORRIN_APIKEY.");
    m.def("cards_run_for", &cards_run_for, "risk"_a,
          "The cards a screening runs for one risk dimension, in order.");
    m.def("screen", &screen, "model"_a, "risks"_a, "scoring_function"_a, py::kw_only(),
          "max_sample_size"_a = py::none(), "credentials"_a = py::none(), "on_card"_a = py::none(),
          "on_risk"_a = py::none(), "preflight"_a = py::none(),
          "Screen `model` over `risks` (None: all): (results with margins, risk dimensions that failed with "
          "their causes: the first failed card's error in one line, or what the evaluator raised; None when "
          "not known). "
          "SettingsError when an evaluator refuses the settings, before any model is asked anything. A risk "
          "whose evaluator raises (a console that failed) is logged and counted failed; the others go on. "
          "on_card(risk, card, index, count, prompts) is called before each card is answered; "
          "on_risk(results, failed, pending) after each risk dimension, with what there is so far. "
          "preflight() is called once every evaluator has taken its settings, before any risk is screened. "
          "max_sample_size caps every card, those the catalogue loads by recipe too.");
}

}  // namespace velora::job
