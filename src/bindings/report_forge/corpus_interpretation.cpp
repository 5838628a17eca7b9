// Reading scores back and rating them against the benchmark corpus.
#include "common/py_common.hpp"

#include "core/pytext.hpp"
#include "core/score_string.hpp"

namespace {

using velora::bindings::raise_python;

double extract_numeric_value(const py::object& score_str) {
    if (!py::isinstance<py::str>(score_str)) {
        raise_python(PyExc_TypeError, "score_str must be a string, not " +
                                          py::type::handle_of(score_str).attr("__name__").cast<std::string>());
    }
    const std::string text = score_str.cast<std::string>();
    const auto value = velora::core::score_value(text);
    if (!value) {
        raise_python(PyExc_ValueError, "could not convert string to float: " +
                                           velora::core::python_repr(velora::core::score_value_text(text)));
    }
    return *value;
}

}  // namespace

void register_corpus_interpretation(py::module_& m) {
    m.def("extract_numeric_value", &extract_numeric_value, "score_str"_a,
          "The number in front of a score string's \" +/- \" separator, as a float.");
}
