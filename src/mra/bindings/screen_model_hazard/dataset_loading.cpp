#include "mra/bindings/screen_model_hazard/dataset_loading.hpp"

#include "mra/bindings/screen_model_hazard/module_state.hpp"

namespace velora::smh {
namespace {

using bindings::text_of;

// One attempt: by recipe when the catalogue has one for the card, else by card id and cap.
py::object load_data(const py::object& card, const py::object& max_sample_size) {
    const auto risk_to_cards = py::module_::import("velora_metrics_plugin.mra.mra_api").attr("risk_to_cards");
    const py::object recipe = risk_to_cards.attr("get_recipe_for_card")(card);
    const auto load_dataset = py::module_::import("corvex").attr("load_dataset");
    if (!py::bool_(recipe)) {
        return load_dataset("card"_a = card, "max_test_instances"_a = max_sample_size, "split"_a = "test");
    }
    return load_dataset(recipe, "split"_a = "test");
}

class WorkingDirectoryRestorer {
  public:
    explicit WorkingDirectoryRestorer(py::object os) : os_(std::move(os)), original_(os_.attr("getcwd")()) {}
    ~WorkingDirectoryRestorer() {
        try {
            restore();
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("restoring the working directory");
        }
    }
    void restore() { os_.attr("chdir")(original_); }

  private:
    py::object os_;
    py::object original_;
};

}  // namespace

bool is_ordinary_error(const py::error_already_set& error) { return error.matches(PyExc_Exception); }

py::object load_dataset_with_fallback(const py::object& card, const py::object& max_sample_size) {
    const auto os = py::module_::import("os");
    WorkingDirectoryRestorer working_directory(os);
    try {
        const auto path = os.attr("path");
        const py::object module_file = py::module_::import(kModuleName).attr("__file__");
        os.attr("chdir")(path.attr("dirname")(path.attr("abspath")(module_file)));
        return load_data(card, max_sample_size);
    } catch (py::error_already_set& error) {
        if (!is_ordinary_error(error)) throw;
        logger().debug("Failed to load the dataset from the script directory: " + text_of(error.value()) +
                       ". Attempting to load data from the current working directory.");
    }
    working_directory.restore();
    try {
        return load_data(card, max_sample_size);
    } catch (py::error_already_set& error) {
        if (!is_ordinary_error(error)) throw;
        logger().debug(
            "Failed to load the dataset from the current working directory: " + text_of(error.value()) + ".");
    }
    return py::dict();
}

}  // namespace velora::smh

void register_dataset_loading(py::module_& m) {
    m.def("load_dataset_with_fallback", &velora::smh::load_dataset_with_fallback, "card"_a,
          "max_sample_size"_a,
          "The card's test split from the evaluation library, or an empty dict when it cannot be loaded.");
}
