// Ratings of stored results for a pipeline: every card placed in the corpus, every risk rated, the
// exit status for a gate, and the JUnit file of it.
#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/screening/gate.hpp"

namespace velora::job {
namespace {

namespace screening = core::screening;
using bindings::text_of;

screening::Gate gate_of(const std::string& fail_on) {
    const auto gate = screening::parse_gate(fail_on);
    if (!gate) raise_settings_error("unknown gate '" + fail_on + "' (use off, red or orange)");
    return *gate;
}

py::object checked_thresholds(const py::object& thresholds) {
    if (thresholds.is_none()) return thresholds;
    const py::tuple pair(thresholds);
    if (pair.size() != 2) raise_settings_error("thresholds must be two percentages, LOW,HIGH");
    const std::string problem = screening::thresholds_problem(pair[0].cast<double>(), pair[1].cast<double>());
    if (!problem.empty()) raise_settings_error(problem);
    return pair;
}

std::optional<core::Category> category_of(const py::handle& code) {
    return py::isinstance<py::str>(code) ? screening::category_from_code(code.cast<std::string>())
                                         : std::nullopt;
}

py::object member(const py::handle& mapping, const char* key) { return mapping.attr("get")(key); }

// One row per card: what the summary table and the JUnit file show.
py::list card_rows(const py::dict& results, const py::dict& counts, const py::dict& interpretation,
                   const py::dict& reasons) {
    const py::dict names = report_forge().attr("PdfGenerator").attr("metric_card_name_translation");
    py::list rows;
    for (const auto risk : results) {
        const py::object rated = interpretation.attr("get")(risk.first, py::dict());
        const py::object risk_counts = counts.attr("get")(risk.first, py::dict());
        const py::object risk_reasons = reasons.attr("get")(risk.first, py::dict());
        for (const auto card : py::reinterpret_borrow<py::dict>(risk.second)) {
            const py::object reading = rated.attr("get")(card.first, py::dict());
            const py::object card_counts = risk_counts.attr("get")(card.first, py::dict());
            py::dict row;
            row["risk"] = risk.first;
            row["card"] = card.first;
            row["name"] = names.attr("get")(card.first, card.first);
            row["score"] = member(card.second, "score");
            row["percentile"] = member(reading, "percentile");
            row["category"] = member(reading, "category");
            row["answers"] = member(card_counts, "answers");
            row["unreadable_answers"] = member(card_counts, "unreadable_answers");
            row["reason"] = risk_reasons.attr("get")(card.first);
            rows.append(row);
        }
    }
    return rows;
}

// Risk dimensions that hold no card: the report's fold rates them Green, but nothing was rated.
py::dict risks_without_cards(const py::dict& results) {
    py::dict reasons;
    for (const auto risk : results)
        if (py::len(risk.second) == 0) reasons[risk.first] = std::string(screening::kNoCardReason);
    return reasons;
}

py::dict assess(const py::dict& document, const py::object& corpus, const py::object& thresholds,
                const std::string& fail_on, bool allow_unrated) {
    const screening::Gate gate = gate_of(fail_on);
    const py::object pair = checked_thresholds(thresholds);
    const py::dict header = document["header"], results = document["results"];
    const std::string corpus_path = corpus_path_or_shipped(corpus);
    const py::module_ rf = report_forge();
    const py::dict interpretation = rf.attr("get_metrics_interpretation_using_corpus_data")(
        rf.attr("read_corpus_file")(corpus_path),
        screen_model_hazard().attr("get_executive_summary")(results), pair);
    // The report's own rule, so the gate never rates a card the report shows as not rated.
    const py::dict reasons = rf.attr("withhold_unreadable_ratings")(interpretation, results);
    const py::list rows = card_rows(results, header["counts"], interpretation, reasons);
    std::vector<std::optional<core::Category>> categories;
    for (const auto row : rows) categories.push_back(category_of(row["category"]));
    const py::dict risk_reasons = risks_without_cards(results);
    py::dict risks = rf.attr("determine_risk_category")(interpretation);
    for (const auto risk : risk_reasons) {
        risks[risk.first] = py::none();
        categories.push_back(std::nullopt);
    }
    const py::list failed = header["failed_risks"];

    py::dict out;
    out["model"] = header["model"];
    out["corpus"] = corpus_path;
    out["gate"] = fail_on;
    out["allow_unrated"] = allow_unrated;
    out["risks"] = risks;
    out["risk_reasons"] = risk_reasons;
    out["cards"] = rows;
    out["failed_risks"] = failed;
    out["failure_causes"] = header.attr("get")("failure_causes", py::dict());
    out["exit_status"] = screening::exit_status(categories, py::len(failed), gate, allow_unrated);
    return out;
}

struct GateRule {
    screening::Gate gate;
    bool allow_unrated;
};

// Not rated: a failure when the gate does not let unrated cards pass, else skipped.
screening::JunitCase unrated_case(std::string classname, std::string name, const std::string& reason,
                                  const GateRule& rule) {
    using Outcome = screening::JunitCase::Outcome;
    const bool fails = screening::fails_gate(std::nullopt, rule.gate, rule.allow_unrated);
    return {std::move(classname), std::move(name), fails ? Outcome::Failed : Outcome::Skipped,
            "not rated: " + reason};
}

screening::JunitCase card_case(const py::handle& row, const GateRule& rule) {
    using Outcome = screening::JunitCase::Outcome;
    screening::JunitCase c{text_of(row["risk"]), text_of(row["card"]), Outcome::Passed, ""};
    const auto category = category_of(row["category"]);
    if (!category) {
        const std::string reason = row["reason"].is_none()
                                       ? std::string("the score could not be placed in the corpus")
                                       : text_of(row["reason"]);
        return unrated_case(c.classname, c.name, reason, rule);
    }
    if (screening::fails_gate(category, rule.gate, rule.allow_unrated)) {
        c.outcome = Outcome::Failed;
        c.message = "rated " + std::string(core::category_code(*category)) + ", at or below the gate";
    } else {
        c.message = "rated " + std::string(core::category_code(*category));
    }
    return c;
}

// The error of a failed risk dimension, with its cause when the results keep one.
std::string failure_message(const py::handle& risk, const py::dict& causes) {
    const py::object cause = causes.attr("get")(risk);
    return "the risk dimension failed to evaluate" +
           (cause.is_none() ? std::string() : ": " + text_of(cause));
}

std::string write_junit(const py::dict& assessment, const py::object& path) {
    const GateRule rule{gate_of(text_of(assessment["gate"])),
                        py::bool_(assessment.attr("get")("allow_unrated", false))};
    std::vector<screening::JunitCase> cases;
    for (const auto row : py::reinterpret_borrow<py::list>(assessment["cards"]))
        cases.push_back(card_case(row, rule));
    for (const auto risk : py::dict(assessment.attr("get")("risk_reasons", py::dict())))
        cases.push_back(unrated_case(text_of(risk.first), text_of(risk.first), text_of(risk.second), rule));
    const py::dict causes = assessment.attr("get")("failure_causes", py::dict());
    for (const auto risk : py::reinterpret_borrow<py::list>(assessment["failed_risks"])) {
        cases.push_back({text_of(risk), text_of(risk), screening::JunitCase::Outcome::Error,
                         failure_message(risk, causes)});
    }
    const std::string file = path_text(path);
    write_file(file, screening::junit_xml("velora-mra " + text_of(assessment["model"]), cases));
    return file;
}

}  // namespace

void register_assessment(py::module_& m) {
    m.def("assess", &assess, "document"_a, py::kw_only(), "corpus"_a = py::none(),
          "thresholds"_a = py::none(), "fail_on"_a = "off", "allow_unrated"_a = false,
          "Rate stored results against a corpus (None: the shipped one): per-card rows, per-risk ratings "
          "(None for a risk not rated, 'risk_reasons' saying why when it holds no card) and the exit status "
          "for the gate fail_on (off, red, orange). Under a gate a card that is not rated fails it, unless "
          "allow_unrated.");
    m.def("write_junit", &write_junit, "assessment"_a, "path"_a,
          "Write a JUnit XML file of an assessment, one test case per card; return its path.");
}

}  // namespace velora::job
