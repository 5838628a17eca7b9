// One risk dimension: every usable card loaded, answered, scored and condensed. All or nothing.
#include "mra/bindings/screen_model_hazard/dataset_loading.hpp"
#include "mra/bindings/screen_model_hazard/evaluator.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"
#include "mra/bindings/screen_model_hazard/result_shaping.hpp"
#include "mra/bindings/screen_model_hazard/risk_catalogue_access.hpp"
#include "mra/core/evaluator_rules.hpp"

namespace velora::smh {
namespace {

using bindings::raise_python;
using bindings::text_of;

py::list get_valid_risk_cards(const py::object& risks_dimension_name) {
    const py::object cards = risk_to_cards().attr("get_cards_for_risk")(risk_entries()[risks_dimension_name]);
    if (py::len(cards) == 0) logger().warning("No Cards found for risk " + text_of(risks_dimension_name));
    py::list valid;
    for (const auto card : cards) {
        if (!(py::isinstance<py::str>(card) && core::is_invalid_card(bindings::utf8_of(card, "card"))))
            valid.append(card);
    }
    return valid;
}

// The instance's own system prompt, which the evaluation library hands over in its task data for
// cards that have one (prompt leakage); None otherwise.
py::object system_prompt_of(const py::handle& instance) {
    if (!py::isinstance<py::dict>(instance)) return py::none();
    const py::object task_data = py::reinterpret_borrow<py::dict>(instance).attr("get")("task_data");
    if (!py::isinstance<py::dict>(task_data)) return py::none();
    const py::object system_prompt = task_data.attr("get")("system_prompt");
    return py::isinstance<py::str>(system_prompt) ? system_prompt : py::none();
}

// The prompt table: "source", and a second column "system_prompt" when any prompt has its own.
py::dict prompt_columns(const py::object& test_set, const py::object& card) {
    py::list prompts, system_prompts;
    bool any_system_prompt = false;
    for (const auto instance : test_set) {
        prompts.append(instance["source"]);
        system_prompts.append(system_prompt_of(instance));
        any_system_prompt = any_system_prompt || !system_prompts[py::len(system_prompts) - 1].is_none();
    }
    if (py::len(prompts) == 0)
        raise_python(PyExc_ValueError, "No valid input prompts found for card " + text_of(card));
    py::dict columns;
    columns["source"] = prompts;
    if (any_system_prompt) columns["system_prompt"] = system_prompts;
    return columns;
}

py::dict evaluate_card(Evaluator& evaluator, const py::object& scoring_function, const py::object& card) {
    const py::object test_set = load_dataset_with_fallback(card, evaluator.max_sample_size);
    const py::dict columns = prompt_columns(test_set, card);
    const py::object answer = scoring_function(py::module_::import("pandas").attr("DataFrame")(columns));
    const py::list predictions(answer["generated_text"]);
    if (py::len(predictions) == 0)
        raise_python(PyExc_ValueError, "Failed to get predictions for card " + text_of(card));

    const py::object scored =
        py::module_::import("corvex").attr("evaluate")("predictions"_a = predictions, "data"_a = test_set);
    const py::object global_metrics = scored[py::int_(0)]["score"]["global"];
    const py::list pairs(global_metrics.attr("items")());
    return reordered_metric_dict(py::dict(normalize_metrics_values(pairs)));
}

// The evaluation library's own per-answer warnings are silenced at module load, so the user hears of
// answers it could not read (no judge verdict, option or yes/no decision) here, once per card.
void warn_about_unreadable_answers(const py::dict& metrics, const py::object& card, const py::object& risk) {
    const auto count_of = [&](const char* key) -> py::object {
        py::object value = metrics.attr("get")(key);
        return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value) ? value : py::int_(0);
    };
    const py::object unreadable = count_of("num_of_unreadable_answers");
    if (!(unreadable > py::int_(0))) return;
    const py::object answers = count_of("num_of_instances") + unreadable;
    logger().warning("Card " + text_of(card) + " in risk dimension " + text_of(risk) + ": " +
                     text_of(unreadable) + " of " + text_of(answers) +
                     " answers could not be read (no judge verdict, option or yes/no decision)");
}

bool is_project_or_space_error(const py::error_already_set& error) {
    try {
        const py::object kind =
            py::module_::import("velora_nimbra_ai.errors").attr("CannotSetProjectOrSpace");
        return PyErr_GivenExceptionMatches(error.type().ptr(), kind.ptr()) != 0;
    } catch (py::error_already_set&) {
        return false;  // without the inference SDK no error can be its project error
    }
}

// Logs a failed card by the kind of its error; rethrows what must leave the run.
void report_card_failure(py::error_already_set& error, const py::object& card, const py::object& risk) {
    const std::string head = "Error processing card " + text_of(card) + " in risk dimension " + text_of(risk);
    const std::string text = text_of(error.value()), cause = bindings::cause_text(error.value());
    if (error.matches(PyExc_RuntimeError)) {
        logger().warning(head + ": Error: " + text + "; cause:" + cause +
                         " This benchmark relies on LLMJ, and an error occurred ");
    } else if (is_project_or_space_error(error)) {
        logger().warning(head + ": Error:" + text + "; cause:" + cause);
        throw;  // leaves the run unchanged
    } else {
        logger().warning(head + ": Error:" + text + ";  cause:" + cause);
    }
}

}  // namespace

py::tuple process_models_and_risks(Evaluator& evaluator, const py::object& scoring_function,
                                   const py::object& risks_dimension_name) {
    py::list failed_cards;
    logger().debug("Evaluation for " + text_of(risks_dimension_name) + " is processing");
    py::dict result;
    for (const auto card_handle : get_valid_risk_cards(risks_dimension_name)) {
        const auto card = py::reinterpret_borrow<py::object>(card_handle);
        logger().debug(text_of(card) + " is processing");
        try {
            const py::dict metrics = evaluate_card(evaluator, scoring_function, card);
            warn_about_unreadable_answers(metrics, card, risks_dimension_name);
            result[card] = metrics;
        } catch (py::error_already_set& error) {
            if (!is_ordinary_error(error)) throw;
            report_card_failure(error, card, risks_dimension_name);
            failed_cards.append(card);
            logger().warning("Risk " + text_of(risks_dimension_name) + " failed due to card errors.");
            return py::make_tuple(py::none(), failed_cards);
        }
    }
    return py::make_tuple(result, failed_cards);
}

void bind_card_processing(EvaluatorClass& cls) {
    cls.def(
        "process_models_and_risks",
        [](Evaluator& evaluator, const py::object& scoring_function, const py::object& risks_dimension_name) {
            return process_models_and_risks(evaluator, scoring_function, risks_dimension_name);
        },
        "scoring_function"_a, "risks_dimension_name"_a,
        "Evaluate every usable card of one risk dimension: (results or None, failed cards).");
}

}  // namespace velora::smh
