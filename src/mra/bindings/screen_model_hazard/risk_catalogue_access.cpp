#include "mra/bindings/screen_model_hazard/risk_catalogue_access.hpp"

#include "mra/bindings/screen_model_hazard/module_state.hpp"

namespace velora::smh {
namespace {

py::object catalogue_module() { return py::module_::import("velora_metrics_plugin.mra.mra_api"); }

}  // namespace

py::object risk_entries() { return catalogue_module().attr("risk").attr("RISK_TALMAR_DICO"); }

py::object risk_to_cards() { return catalogue_module().attr("risk_to_cards"); }

py::list get_available_risks() {
    const py::object entries = risk_entries();
    const py::object get_cards_for_risk = risk_to_cards().attr("get_cards_for_risk");
    py::list available;
    for (const auto key : entries) {
        if (py::len(get_cards_for_risk(entries[key])) > 0) available.append(key);
    }
    return available;
}

py::list check_if_all_risks_are_evaluated(const py::object& risk_dimensions,
                                          const py::object& risk_evaluation_results) {
    py::list missing;
    for (const auto name : risk_dimensions) {
        if (!risk_evaluation_results.contains(name)) missing.append(name);
    }
    if (py::len(missing) > 0) {
        const std::string names = bindings::text_of(missing);
        logger().warning("The risks " + names + " were not stored in Varnel");
        logger().warning("These risk: " + names + " will be evaluated and stored in Varnel");
    }
    return missing;
}

}  // namespace velora::smh

void register_risk_catalogue_access(py::module_& m) {
    m.def("get_available_risks", &velora::smh::get_available_risks,
          "Risk dimensions of the catalogue that have at least one card, in catalogue order.");
    m.def("check_if_all_risks_are_evaluated", &velora::smh::check_if_all_risks_are_evaluated,
          "risk_dimensions"_a, "risk_evaluation_results"_a,
          "The names of risk_dimensions that have no entry in risk_evaluation_results.");
}
