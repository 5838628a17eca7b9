// get_iam_url_from_vn_url: the token endpoint that serves a governance console.
#include "bindings/common/py_common.hpp"
#include "mra/core/console/urls.hpp"

PYBIND11_MODULE(vn_url_mapping, m) {
    m.doc() = "Mapping from governance-console URLs to identity-service token endpoints.";
    velora::bindings::register_invalid_text_translator();
    m.def(
        "get_iam_url_from_vn_url",
        [](const py::object& vn_url) -> py::object {
            if (!py::isinstance<py::str>(vn_url)) return py::none();
            const auto iam = velora::core::iam_url_for_console(velora::bindings::utf8_of(vn_url, "vn_url"));
            return iam ? py::object(py::str(*iam)) : py::object(py::none());
        },
        "vn_url"_a, "Token-endpoint URL for the console at vn_url, or None for an unknown console.");
}
