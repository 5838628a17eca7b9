#include "mra/bindings/screen_model_hazard/result_shaping.hpp"

#include <cmath>

#include "common/pynum.hpp"
#include "mra/bindings/screen_model_hazard/module_state.hpp"
#include "mra/core/score_string.hpp"

namespace velora::smh {
namespace {

using bindings::raise_python;
using bindings::text_of;

constexpr int kMetricDecimals = 3;

py::object builtins() { return py::module_::import("builtins"); }

bool is_named(const py::handle& name, const char* expected) { return bindings::is_text(name, expected); }

// round(value, 3) of the runtime; floats (numpy's 64-bit float is one) are rounded by the core.
py::object round_metric(const py::object& value) {
    if (PyFloat_Check(value.ptr())) {
        return py::float_(core::round_half_even(value.cast<double>(), kMetricDecimals));
    }
    return builtins().attr("round")(value, kMetricDecimals);
}

bool is_number(const py::handle& value) { return PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()); }

// format(value, ".3f") of the runtime; numbers go through the core, anything else through its own
// __format__ (which raises for strings and lists, as the runtime does).
std::string format_metric(const py::object& value) {
    if (is_number(value)) return core::format_fixed(py::float_(value).cast<double>(), kMetricDecimals);
    return text_of(builtins().attr("format")(value, ".3f"));
}

py::object metric_with_margin(const py::dict& metrics, const py::object& metric, const py::object& value) {
    const std::string name = text_of(metric);
    const py::str low_key(name + "_ci_low"), high_key(name + "_ci_high");
    if (!metrics.contains(low_key) || !metrics.contains(high_key)) return value;
    const py::object low = metrics[low_key], high = metrics[high_key];
    if (!is_number(low) || !is_number(high)) {
        raise_python(PyExc_ValueError, "Invalid confidence interval values for metric " + name +
                                           ": ci_low=" + text_of(low) + ", ci_high=" + text_of(high));
    }
    // Not the absolute value: a reversed interval gives a negative margin.
    const double margin = (py::float_(high).cast<double>() - py::float_(low).cast<double>()) / 2.0;
    return py::str(core::score_string(format_metric(value), margin));
}

py::dict cards_with_margins(const py::object& cards) {
    py::dict data_with_scores;
    for (const auto card : cards.attr("items")()) {
        const py::object card_name = card[py::int_(0)], metrics = card[py::int_(1)];
        if (!py::isinstance<py::dict>(metrics)) {
            raise_python(PyExc_ValueError, "Metrics for " + text_of(card_name) + " must be a dictionary.");
        }
        const auto metric_dict = py::reinterpret_borrow<py::dict>(metrics);
        py::dict shaped;
        data_with_scores[card_name] = shaped;
        for (const auto entry : metric_dict) {
            const auto metric = py::reinterpret_borrow<py::object>(entry.first);
            const auto ends_with = metric.attr("endswith");
            if (ends_with("_ci_low").cast<bool>() || ends_with("_ci_high").cast<bool>()) continue;
            shaped[metric] =
                metric_with_margin(metric_dict, metric, py::reinterpret_borrow<py::object>(entry.second));
        }
    }
    return data_with_scores;
}

}  // namespace

py::list normalize_metrics_values(const py::object& metrics) {
    py::list normalized;
    for (const auto element : py::iter(metrics)) {
        const auto pair = bindings::unpack(element, 2);
        const py::object &name = pair[0], &value = pair[1];
        py::object out = value;
        if (is_named(name, "all_scores")) {
            py::list rounded;
            for (const auto score : py::iter(value))
                rounded.append(round_metric(py::reinterpret_borrow<py::object>(score)));
            out = rounded;
        } else if (PyFloat_Check(value.ptr()) && std::isnan(value.cast<double>())) {
            out = py::float_(0.0);
        } else if (PyList_Check(value.ptr())) {
            out = round_metric(builtins().attr("sum")(value) / py::int_(py::len(value)));
        } else if (PyFloat_Check(value.ptr())) {
            out = round_metric(value);
        }
        normalized.append(py::make_tuple(name, out));
    }
    return normalized;
}

py::dict reordered_metric_dict(const py::object& scores_dict) {
    static const char* const kPriorityKeys[] = {"score_name", "score", "num_of_instances"};
    py::dict reordered;
    for (const char* key : kPriorityKeys) {
        if (scores_dict.contains(key)) reordered[key] = scores_dict[key];
    }
    for (const auto entry : scores_dict.attr("items")()) {
        const py::object key = entry[py::int_(0)];
        if (!reordered.contains(key)) reordered[key] = entry[py::int_(1)];
    }
    return reordered;
}

py::dict calculate_score_with_margin(const py::object& risk_evaluation_results) {
    try {
        py::dict result;
        for (const auto risk : risk_evaluation_results.attr("items")()) {
            result[risk[py::int_(0)]] = cards_with_margins(risk[py::int_(1)]);
        }
        return result;
    } catch (py::error_already_set& error) {
        logger().debug("Error occurred while calculating the score with margins " + text_of(error.value()));
        throw;
    }
}

py::dict normalize_varnel_data(const py::object& risk_evaluation_results) {
    py::dict result;
    for (const auto risk : risk_evaluation_results.attr("items")()) {
        const py::object risk_dim = risk[py::int_(0)];
        py::dict cards;
        result[risk_dim] = cards;
        for (const auto entry : risk[py::int_(1)].attr("items")()) {
            const py::object key = entry[py::int_(0)], value = entry[py::int_(1)];
            const auto parts = bindings::unpack(key.attr("split")(", "), 3);
            const py::object card_name = parts[1].attr("strip")();
            const py::object metric_name = parts[2].attr("replace")("'", "").attr("strip")();
            if (!cards.contains(card_name)) cards[card_name] = py::dict();
            cards[card_name][metric_name] = value;
        }
    }
    return result;
}

py::dict get_executive_summary(const py::object& risk_evaluation_results) {
    if (!py::isinstance<py::dict>(risk_evaluation_results)) {
        raise_python(PyExc_TypeError, "Input data must be a dictionary.");
    }
    const auto extract_numeric_value = report_forge_attr("extract_numeric_value");
    py::dict summary;
    for (const auto risk : py::reinterpret_borrow<py::dict>(risk_evaluation_results)) {
        if (!py::isinstance<py::dict>(risk.second)) {
            raise_python(PyExc_TypeError, "Risk card '" + text_of(risk.first) + "' must be a dictionary.");
        }
        py::dict cards;
        summary[risk.first] = cards;
        for (const auto card : py::reinterpret_borrow<py::dict>(risk.second)) {
            if (!py::isinstance<py::dict>(card.second)) {
                raise_python(PyExc_TypeError, "Card '" + text_of(card.first) + "' must be a dictionary.");
            }
            const auto card_data = py::reinterpret_borrow<py::dict>(card.second);
            if (!card_data.contains("score")) {
                raise_python(PyExc_ValueError, "Card '" + text_of(card.first) + "' must have 'score' keys.");
            }
            const py::object score = card_data["score"];
            py::dict entry;
            entry["score"] = py::isinstance<py::str>(score) ? extract_numeric_value(score) : score;
            cards[card.first] = entry;
        }
    }
    return summary;
}

}  // namespace velora::smh

void register_result_shaping(py::module_& m) {
    using namespace velora::smh;
    m.def("normalize_metrics_values", &normalize_metrics_values, "metrics"_a,
          "Round floats to 3 decimals, average lists, NaN to 0.0; (name, value) pairs in order.");
    m.def("reordered_metric_dict", &reordered_metric_dict, "scores_dict"_a,
          "The same entries with score_name, score and num_of_instances first.");
    m.def("calculate_score_with_margin", &calculate_score_with_margin, "risk_evaluation_results"_a,
          "Results with each metric that has an interval written as a score string.");
    m.def("normalize_varnel_data", &normalize_varnel_data, "risk_evaluation_results"_a,
          "Console records ('risk, card, metric' keys) as a results dictionary.");
    m.def("get_executive_summary", &get_executive_summary, "risk_evaluation_results"_a,
          "The main score of every card, as a number.");
}
