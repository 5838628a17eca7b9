// The reference tables as module constants and as class-level members of PdfGenerator.
#include "bindings/common/py_common.hpp"
#include "mra/bindings/report_forge/report_forge.hpp"
#include "mra/core/report/tables.hpp"

namespace velora::report {
namespace {

py::dict to_dict(const core::TextTable& table) {
    py::dict out;
    for (const auto& [key, value] : table)
        out[py::str(key.data(), key.size())] = py::str(value.data(), value.size());
    return out;
}

}  // namespace

py::dict risks_description_table() { return to_dict(core::risks_description()); }
py::dict metric_card_name_translation_table() { return to_dict(core::metric_card_name_translation()); }
py::dict category_description_table() { return to_dict(core::category_description()); }
py::dict fm_description_table() { return to_dict(core::fm_description_dict()); }

py::list corps_data_models_list() {
    py::list out;
    for (const auto model : core::corps_data_models()) out.append(py::str(model.data(), model.size()));
    return out;
}

}  // namespace velora::report

void register_report_tables(py::module_& m) {
    using namespace velora::report;
    m.attr("category_description") = category_description_table();
    m.attr("fm_description_dict") = fm_description_table();
    m.attr("corps_data_models") = corps_data_models_list();
}
