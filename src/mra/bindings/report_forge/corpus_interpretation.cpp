// Reading the benchmark corpus, reading scores back, and rating them against the corpus.
#include <optional>

#include "bindings/common/py_common.hpp"
#include "common/pytext.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/corpus.hpp"
#include "mra/core/report/rating.hpp"
#include "mra/core/score_string.hpp"

namespace velora::report {
namespace {

using bindings::raise_python;
using bindings::text_of;

bool truthy(const py::handle& value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::object subtract_from_hundred(const py::handle& value) {
    PyObject* result = PyNumber_Subtract(py::int_(100).ptr(), value.ptr());
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// mapping.get(key) for a dictionary; None for anything else.
py::object entry_of(const py::object& mapping, const py::handle& key) {
    if (!py::isinstance<py::dict>(mapping)) return py::none();
    return mapping.attr("get")(key);
}

// A count the evaluation reported for a card, when it is a number.
std::optional<double> answer_count(const py::object& card, const char* key) {
    const py::object value = entry_of(card, py::str(key));
    if (!PyFloat_Check(value.ptr()) && !PyIndex_Check(value.ptr())) return std::nullopt;
    return as_real(value);
}

py::tuple unrated() { return py::make_tuple(py::none(), py::none(), py::none()); }

// Steps 2 to 9 of the rating of one score: any failure here is the caller's to log.
py::tuple rate_one(const py::object& entry, const py::object& score, const py::object& thresholds) {
    const auto fields = bindings::unpack(entry, 4);
    const bool higher_is_better = truthy(fields[0]);
    const double lower_bound = as_real(fields[1]);
    const double upper_bound = as_real(fields[2]);
    std::vector<double> corpus_scores;
    for (const auto value : fields[3]) corpus_scores.push_back(as_real(value));
    const double value = as_real(score);

    std::optional<core::PercentRange> custom;
    py::object lower_pct = py::int_(25), upper_pct = py::int_(75);
    if (!thresholds.is_none() && truthy(thresholds)) {
        const auto pair = bindings::unpack(thresholds, 2);
        lower_pct = pair[0];
        upper_pct = pair[1];
        custom = core::PercentRange{as_real(lower_pct), as_real(upper_pct)};
    }
    const auto rating =
        core::rate_against_corpus(higher_is_better, lower_bound, upper_bound, corpus_scores, value, custom);
    if (!higher_is_better) {
        // Mirrored on the caller's own objects, so integer percentages stay integers.
        py::object mirrored_lower = subtract_from_hundred(upper_pct);
        upper_pct = subtract_from_hundred(lower_pct);
        lower_pct = mirrored_lower;
    }
    return py::make_tuple(rating.percentile, std::string(core::category_code(rating.category)),
                          py::make_tuple(lower_pct, upper_pct));
}

py::object fold(const py::handle& category_results) {
    std::vector<std::optional<core::Category>> categories;
    const py::str red("RED"), orange("ORANGE");
    for (const auto item : category_results) {
        if (item.is_none()) {
            categories.emplace_back(std::nullopt);
        } else if (item.equal(red)) {
            categories.emplace_back(core::Category::Red);
        } else if (item.equal(orange)) {
            categories.emplace_back(core::Category::Orange);
        } else {
            // Anything else only matters as "not absent, not Red, not Orange".
            categories.emplace_back(core::Category::Green);
        }
    }
    const auto folded = core::fold_categories(categories);
    if (!folded) return py::none();
    return py::str(std::string(core::category_code(*folded)));
}

}  // namespace

// Cards with too many unreadable answers keep their score but lose their rating, exactly like a
// card that cannot be rated. Returns the reasons: risk -> card -> text.
py::dict withhold_unreadable_ratings(const py::dict& interpretation, const py::object& score_with_margin) {
    py::dict reasons;
    for (const auto risk : interpretation) {
        const py::object cards = entry_of(score_with_margin, risk.first);
        for (const auto card : py::reinterpret_borrow<py::dict>(risk.second)) {
            const py::object metrics = entry_of(cards, card.first);
            const core::AnswerCounts counts{answer_count(metrics, "num_of_instances"),
                                            answer_count(metrics, "num_of_unreadable_answers").value_or(0.0)};
            const auto reason = core::unreadable_answers_reason(counts);
            if (!reason) continue;
            py::dict rated = py::reinterpret_borrow<py::dict>(card.second);
            rated["percentile"] = py::none();
            rated["category"] = py::none();
            rated["percentile_ranges_lower_upper"] = py::none();
            if (!reasons.contains(risk.first)) reasons[risk.first] = py::dict();
            reasons[risk.first][card.first] = *reason;
            logger().debug("Card '" + text_of(card.first) + "' not rated: " + *reason);
        }
    }
    return reasons;
}

py::dict read_corpus_file(const py::object& file_name) {
    const std::string text = bindings::utf8_of(read_text(file_name), "the corpus file");
    std::vector<std::vector<std::string>> records;
    try {
        records = core::parse_csv(text);
    } catch (const std::runtime_error& error) {
        // The runtime's csv module fails the same way on an over-long field.
        PyErr_SetString(py::module_::import("csv").attr("Error").ptr(), error.what());
        throw py::error_already_set();
    }
    py::dict table;
    for (auto& row : core::read_corpus(records, logger())) {
        py::list scores;
        for (const double score : row.scores) scores.append(score);
        py::list entry;
        entry.append(py::bool_(row.higher_is_better));
        entry.append(row.lower_bound);
        entry.append(row.upper_bound);
        entry.append(scores);
        table[py::str(row.card_name)] = entry;
    }
    return table;
}

double extract_numeric_value(const py::object& score_str) {
    if (!py::isinstance<py::str>(score_str)) {
        raise_python(PyExc_TypeError, "score_str must be a string, not " + bindings::type_name(score_str));
    }
    const std::string text = bindings::utf8_of(score_str, "score_str");
    const auto value = core::score_value(text);
    if (!value) {
        raise_python(PyExc_ValueError,
                     "could not convert string to float: " + core::python_repr(core::score_value_text(text)));
    }
    return *value;
}

py::tuple evaluate_metrics_score_percentile(const py::object& corpus_data, const py::object& card_name,
                                            const py::object& score,
                                            const py::object& user_custom_percentile_thresholds) {
    const py::object entry = corpus_data.attr("get")(card_name);
    if (!truthy(entry)) {
        logger().debug("Card '" + text_of(card_name) + "' not found in corpus data.");
        return unrated();
    }
    std::string error_text;
    try {
        return rate_one(entry, score, user_custom_percentile_thresholds);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        error_text = text_of(error.value());
    } catch (const std::exception& error) {
        error_text = error.what();
    }
    logger().debug("Error evaluating score for '" + text_of(card_name) + "': " + error_text);
    return unrated();
}

py::dict get_metrics_interpretation_using_corpus_data(const py::object& corpus_data,
                                                      const py::object& risks_metrics_results,
                                                      const py::object& custom_percentile_thresholds) {
    py::dict results;
    for (const auto risk_item : risks_metrics_results.attr("items")()) {
        const py::object risk = risk_item[py::int_(0)];
        if (!results.contains(risk)) results[risk] = py::dict();
        py::dict risk_results = results[risk];
        for (const auto card_item : risk_item[py::int_(1)].attr("items")()) {
            const py::object card = card_item[py::int_(0)];
            py::object score = card_item[py::int_(1)][py::str("score")];
            if (py::isinstance<py::str>(score)) score = py::float_(extract_numeric_value(score));
            const py::tuple rated =
                evaluate_metrics_score_percentile(corpus_data, card, score, custom_percentile_thresholds);
            py::dict interpretation;
            interpretation["score"] = score;
            interpretation["percentile"] = rated[0];
            interpretation["category"] = rated[1];
            interpretation["percentile_ranges_lower_upper"] = rated[2];
            risk_results[card] = interpretation;
        }
    }
    return results;
}

py::dict determine_risk_category(const py::object& interpretation_results) {
    py::dict categories;
    for (const auto risk_item : interpretation_results.attr("items")()) {
        py::list card_categories;
        for (const auto card : risk_item[py::int_(1)].attr("values")()) {
            card_categories.append(card.attr("get")("category"));
        }
        categories[risk_item[py::int_(0)]] = fold(card_categories);
    }
    return categories;
}

}  // namespace velora::report

void register_corpus_interpretation(py::module_& m) {
    using namespace velora::report;
    m.def(
        "read_corpus_file", &read_corpus_file, "file_name"_a,
        "Read the benchmark corpus CSV: card name -> [higher_is_better, lower_bound, upper_bound, scores].");
    m.def("extract_numeric_value", &extract_numeric_value, "score_str"_a,
          "The number in front of a score string's \" +/- \" separator, as a float.");
    m.def("evaluate_metrics_score_percentile", &evaluate_metrics_score_percentile, "corpus_data"_a,
          "card_name"_a, "score"_a, "user_custom_percentile_thresholds"_a = py::none(),
          "(percentile, category, (lower %, upper %)) of a score within its card's corpus, or three Nones.");
    m.def("get_metrics_interpretation_using_corpus_data", &get_metrics_interpretation_using_corpus_data,
          "corpus_data"_a, "risks_metrics_results"_a, "custom_percentile_thresholds"_a = py::none(),
          "Rate every card score of a results dictionary against the corpus.");
    m.def("withhold_unreadable_ratings", &withhold_unreadable_ratings, "interpretation"_a,
          "score_with_margin"_a,
          "Take the rating from every card with too many unreadable answers (kMaxUnreadableShare), in place; "
          "return the reasons, risk -> card -> text.");
    m.def("determine_risk_category", &determine_risk_category, "interpretation_results"_a,
          "Fold the card ratings of each risk into one rating (or None).");
    m.def("_determine_risk_category", &fold, "category_results"_a,
          "One rating from a list of card ratings: None if any is None, else the worst.");
}
