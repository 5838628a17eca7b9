// What a screening can be told before it starts: the judge it will ask (checked, never contacted),
// and the header that carries the project to the model server.
#include "common/completions_protocol.hpp"
#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/evaluator_rules.hpp"

namespace velora::job {
namespace {

using bindings::text_of;

py::list known_risks(const py::object& risks) {
    const py::object catalogue =
        py::module_::import("velora_metrics_plugin.mra.mra_api").attr("risk").attr("RISK_TALMAR_DICO");
    const py::list asked =
        risks.is_none() ? py::list(screen_model_hazard().attr("get_available_risks")()) : py::list(risks);
    py::list known;  // an unknown risk is the evaluator's to refuse, in its words
    for (const auto risk : asked) {
        if (catalogue.contains(risk)) known.append(risk);
    }
    return known;
}

// The judge the judged cards of `risks` (None: all) will ask: {"provider", "model"}, or None when no
// card of them is judged. The evaluator's own check comes first, with its words; then the judge's
// settings are read as the judge reads them, so a bad one is found before any model is asked.
py::object judge_of(const py::object& risks) {
    const py::list names = known_risks(risks);
    std::vector<std::string> texts;
    for (const auto risk : names) texts.push_back(text_of(risk));
    if (const auto problem = core::judge_environment_problem(texts)) raise_settings_error(*problem);
    py::list cards;
    for (const auto risk : names) {
        for (const auto card : cards_run_for(py::reinterpret_borrow<py::object>(risk))) cards.append(card);
    }
    try {
        return py::module_::import("corvex._corvex").attr("_judge_of")(cards);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_RuntimeError)) throw;
        raise_settings_error(text_of(error.value()));
    }
}

}  // namespace

void register_preflight(py::module_& m) {
    m.def("judge_of", &judge_of, "risks"_a,
          "The judge {'provider', 'model'} a screening of `risks` (None: all) asks for its judged cards, "
          "or None when it has none; SettingsError when the judge's settings cannot be used. Asks nothing.");
    m.attr("PROJECT_HEADER") = core::completions::kProjectHeader;
}

}  // namespace velora::job
