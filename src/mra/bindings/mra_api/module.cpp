// The risk catalogue: submodules `risk` (RISK_TALMAR_DICO) and `risk_to_cards`.
#include "bindings/common/package_paths.hpp"
#include "bindings/common/py_common.hpp"
#include "mra/core/risk_catalogue.hpp"

namespace {

using velora::bindings::raise_python;

const velora::core::RiskCatalogue& catalogue() {
    // Read once at module load; leaked so it outlives interpreter shutdown.
    static const auto* loaded = new velora::core::RiskCatalogue(velora::core::load_risk_catalogue(
        velora::bindings::package_folder("velora_metrics_plugin.mra") + "/catalogue/risk_catalogue.json"));
    return *loaded;
}

py::dict risk_entries() {
    py::dict entries;
    for (const auto& risk : catalogue().risks) {
        py::dict entry;
        entry["id"] = risk.id;
        entry["title"] = risk.title;
        entry["cards"] = py::cast(risk.cards);
        entries[py::str(risk.id)] = entry;
    }
    return entries;
}

py::list cards_for_risk(const py::object& risk_entry) {
    if (!py::isinstance<py::dict>(risk_entry) || !risk_entry.contains("cards")) {
        raise_python(PyExc_TypeError, "get_cards_for_risk expects an entry of RISK_TALMAR_DICO, got " +
                                          velora::bindings::text_of(py::repr(risk_entry)));
    }
    // A fresh list: callers may change it freely (py::list of a list would share it).
    const py::object cards = risk_entry["cards"];
    PyObject* copy = PySequence_List(cards.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

py::object recipe_for_card(const py::object& card) {
    if (!py::isinstance<py::str>(card)) return py::none();
    const auto& recipes = catalogue().recipes;
    const auto it = recipes.find(velora::bindings::utf8_of(card, "card"));
    return it == recipes.end() ? py::object(py::none()) : py::object(py::str(it->second));
}

}  // namespace

PYBIND11_MODULE(mra_api, m) {
    m.doc() = "Risk catalogue: risk dimensions and the benchmark cards that measure them.";
    velora::bindings::register_invalid_text_translator();
    py::register_exception<velora::core::CatalogueError>(m, "CatalogueError", PyExc_ValueError);
    try {
        catalogue();
    } catch (const velora::core::CatalogueError& error) {
        raise_python(PyExc_ValueError, error.what());
    }

    auto risk = m.def_submodule("risk", "Risk dimensions offered by the catalogue.");
    risk.attr("RISK_TALMAR_DICO") = risk_entries();
    velora::bindings::register_submodule("velora_metrics_plugin.mra.mra_api", risk, "risk");

    auto risk_to_cards = m.def_submodule("risk_to_cards", "Cards and recipes per risk dimension.");
    risk_to_cards.def("get_cards_for_risk", &cards_for_risk, "risk_entry"_a,
                      "Card identifiers of one RISK_TALMAR_DICO entry, in evaluation order.");
    risk_to_cards.def("get_recipe_for_card", &recipe_for_card, "card"_a,
                      "The dataset recipe of a card, or None when it loads by its identifier.");
    velora::bindings::register_submodule("velora_metrics_plugin.mra.mra_api", risk_to_cards, "risk_to_cards");
}
