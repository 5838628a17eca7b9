// The report's prose: pruning cards without metadata, per-risk introduction and conclusion, and
// the benchmark summary section.
#include "bindings/common/py_common.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/narrative.hpp"

namespace velora::report {
namespace {

using bindings::text_of;

bool contains(const py::handle& container, const py::handle& item) {
    const int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// obj.get(key), with an absent level staying absent.
py::object get_or_none(const py::object& mapping, const char* key) {
    if (mapping.is_none()) return py::none();
    return mapping.attr("get")(key);
}

py::object display_name(const py::object& meta_data_based_on_id, const py::handle& card) {
    return get_or_none(get_or_none(meta_data_based_on_id.attr("get")(card), "Benchmark Details"), "Name");
}

// What the summary needs of one card; the first absent metadata level is reported, not raised.
core::SummaryCard summary_card(const py::object& meta_data_dict, const py::handle& card) {
    core::SummaryCard out;
    out.id = text_of(card, "card");
    if (!contains(meta_data_dict, card)) {
        out.missing_key = out.id;
        return out;
    }
    const py::object meta = meta_data_dict[card];
    if (!contains(meta, py::str("Benchmark Details"))) {
        out.missing_key = "Benchmark Details";
        return out;
    }
    const py::object details = meta[py::str("Benchmark Details")];
    if (!contains(details, py::str("Name"))) {
        out.missing_key = "Name";
        return out;
    }
    out.name = text_of(details[py::str("Name")]);
    out.summary = text_of(meta.attr("get")("Benchmark Summary", std::string(core::kNoDescription)));
    return out;
}

py::object check_duplication_in_summary(const py::object& risk_name, const py::str& full_summary_str) {
    const auto pointer = core::duplication_pointer(text_of(risk_name, "risk_name"),
                                                   bindings::utf8_of(full_summary_str, "full_summary_str"));
    if (!pointer) return py::none();
    return py::str(*pointer);
}

}  // namespace

py::object remove_cards_that_do_not_have_metadata(const py::object& risks_metrics_results,
                                                  const py::object& cards_that_have_metadata) {
    const py::str bias_marker{std::string(core::kBiasFamilyMarker)};
    // A snapshot of the entries, so that risks can be deleted during the walk.
    const py::list entries(risks_metrics_results.attr("items")());
    for (const auto entry : entries) {
        const py::object risk = entry[py::int_(0)];
        const py::object cards = entry[py::int_(1)];
        py::list to_remove;
        for (const auto card : cards) {
            if (!contains(cards_that_have_metadata, card) && !contains(card, bias_marker))
                to_remove.append(card);
        }
        for (const auto card : to_remove) {
            cards.attr("__delitem__")(card);
            logger().debug("The card " + text_of(card) +
                           " was excluded from the PDF report generation because no metadata was found.");
        }
        risks_metrics_results[risk] = cards;
        if (py::len(cards) == 0) {
            logger().debug("All cards for the risk category '" + text_of(risk) +
                           "' were removed due to no metadata. Hence removing the empty risks.");
            risks_metrics_results.attr("__delitem__")(risk);
        }
    }
    return risks_metrics_results;
}

py::dict generate_risks_intro_conclusion(const py::object& risks_metrics_results,
                                         const py::object& meta_data_based_on_id) {
    py::dict result;
    for (const auto entry : risks_metrics_results.attr("items")()) {
        std::vector<std::string> names;
        for (const auto card : entry[py::int_(1)])
            names.push_back(text_of(display_name(meta_data_based_on_id, card)));
        const auto texts = core::risk_intro_conclusion(text_of(entry[py::int_(0)]), names);
        py::dict both;
        both["intro"] = texts.intro;
        both["conclusion"] = texts.conclusion;
        result[entry[py::int_(0)]] = both;
    }
    return result;
}

std::string generate_summary(const py::object& risk_data, const py::object& meta_data_dict,
                             const py::object& risks_category) {
    std::vector<core::SummaryRisk> risks;
    for (const auto entry : risk_data.attr("items")()) {
        core::SummaryRisk risk;
        risk.name = text_of(entry[py::int_(0)]);
        for (const auto card : entry[py::int_(1)]) risk.cards.push_back(summary_card(meta_data_dict, card));
        const py::object rating = risks_category.attr("get")(entry[py::int_(0)]);
        if (!rating.is_none()) risk.rating = text_of(rating);
        risks.push_back(std::move(risk));
    }
    const auto lead = summary_card(meta_data_dict, py::str(std::string(core::kBiasFamilyLeadCard)));
    const core::BiasFamily family{lead.name, lead.summary, lead.missing_key};
    try {
        return core::build_summary(risks, family, logger());
    } catch (const core::UnknownCategory& error) {
        // As a lookup of the rating in the category table would fail.
        PyErr_SetObject(PyExc_KeyError, py::str(error.code()).ptr());
        throw py::error_already_set();
    }
}

}  // namespace velora::report

void register_report_narrative(py::module_& m) {
    using namespace velora::report;
    m.def("remove_cards_that_do_not_have_metadata", &remove_cards_that_do_not_have_metadata,
          "risks_metrics_results"_a, "cards_that_have_metadata"_a,
          "Drop, in place, the cards without metadata (bias-benchmark cards stay) and the risks left empty.");
    m.def("check_duplication_in_summary", &check_duplication_in_summary, "risk_name"_a, "full_summary_str"_a,
          "The pointer sentence that stands in for a jailbreaking/prompt-injection section, or None.");
    m.def("generate_risks_intro_conclusion", &generate_risks_intro_conclusion, "risks_metrics_results"_a,
          "meta_data_based_on_id"_a,
          "Risk -> {'intro': ..., 'conclusion': ...} from the cards' display names.");
    m.def("generate_summary", &generate_summary, "risk_data"_a, "meta_data_dict"_a, "risks_category"_a,
          "The benchmark summary section of the report, as one HTML fragment.");
}
