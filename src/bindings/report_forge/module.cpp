// report_forge: corpus interpretation, report narrative, reference tables and the PDF generator.
#include "common/py_common.hpp"

void register_corpus_interpretation(py::module_& m);
void register_pdf_generator(py::module_& m);

PYBIND11_MODULE(report_forge, m) {
    m.doc() = "Report generation: corpus-based ratings, narrative and the PDF generator.";
    register_corpus_interpretation(m);
    register_pdf_generator(m);
}
