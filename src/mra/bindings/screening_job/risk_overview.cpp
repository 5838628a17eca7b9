// The risk dimensions with their cards and what each card measures, for people choosing risks.
#include <nlohmann/json.hpp>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/evaluator_rules.hpp"
#include "mra/core/report/corpus.hpp"

namespace velora::job {
namespace {

using Json = nlohmann::ordered_json;

// Card id -> "What the Metric Measures" of the report's benchmark metadata.
std::map<std::string, std::string> card_measures() {
    std::map<std::string, std::string> measures;
    const Json metadata = Json::parse(
        core::read_file_bytes(resources_folder() + "/benchmark_card_metadata.json"), nullptr, false);
    if (!metadata.is_array()) return measures;
    for (const auto& card : metadata) {
        const Json id = card.value("/Benchmark Details/ID"_json_pointer, Json());
        const Json text = card.value("What the Metric Measures", Json());
        if (id.is_string() && text.is_string()) measures[id.get<std::string>()] = text.get<std::string>();
    }
    return measures;
}

py::dict card_entry(const std::string& card, const py::dict& names,
                    const std::map<std::string, std::string>& measures) {
    py::dict entry;
    entry["card"] = card;
    entry["name"] = names.attr("get")(card, card);
    const auto found = measures.find(card);
    entry["measures"] = found == measures.end() ? py::object(py::none()) : py::object(py::str(found->second));
    entry["screened"] = !core::is_invalid_card(card);
    return entry;
}

py::list risk_overview() {
    const auto catalogue = py::module_::import("velora_metrics_plugin.mra.mra_api");
    const py::object entries = catalogue.attr("risk").attr("RISK_TALMAR_DICO");
    const py::object get_cards_for_risk = catalogue.attr("risk_to_cards").attr("get_cards_for_risk");
    const py::object generator = report_forge().attr("PdfGenerator");
    const py::dict descriptions = generator.attr("risks_description");
    const py::dict names = generator.attr("metric_card_name_translation");
    const auto measures = card_measures();
    py::list risks;
    for (const auto risk : entries) {
        py::list cards;
        for (const auto card : get_cards_for_risk(entries[risk])) {
            cards.append(card_entry(card.cast<std::string>(), names, measures));
        }
        py::dict entry;
        entry["risk"] = risk;
        entry["description"] = descriptions.attr("get")(risk);
        entry["cards"] = cards;
        risks.append(entry);
    }
    return risks;
}

}  // namespace

void register_risk_overview(py::module_& m) {
    m.def(
        "risk_overview", &risk_overview,
        "Every risk dimension of the catalogue with its description and its cards (id, display name, what it "
        "measures, whether a screening runs it).");
}

}  // namespace velora::job
