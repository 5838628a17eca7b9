#include "bindings/common/py_common.hpp"

#include <algorithm>
#include <cerrno>

namespace velora::bindings {

void raise_python(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw py::error_already_set();
}

void raise_os_error(int error_number, const py::handle& path) {
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

std::vector<py::object> bind_arguments(std::string_view function_name,
                                       std::initializer_list<const char*> names, size_t required,
                                       const py::args& args, const py::kwargs& kwargs) {
    const std::vector<const char*> params(names);
    const std::string prefix = std::string(function_name) + "() ";
    if (args.size() > params.size()) {
        // Counts include the object itself, as the runtime writes them for methods.
        const std::string expected =
            required == params.size()
                ? std::to_string(params.size() + 1)
                : "from " + std::to_string(required + 1) + " to " + std::to_string(params.size() + 1);
        raise_python(PyExc_TypeError, prefix + "takes " + expected + " positional arguments but " +
                                          std::to_string(args.size() + 1) + " were given");
    }
    std::vector<py::object> bound(params.size());
    std::vector<bool> given(params.size(), false);
    for (size_t i = 0; i < args.size(); ++i) {
        bound[i] = py::reinterpret_borrow<py::object>(args[i]);
        given[i] = true;
    }
    for (const auto& item : kwargs) {
        const std::string key = py::str(item.first);
        const auto it =
            std::find_if(params.begin(), params.end(), [&](const char* name) { return key == name; });
        if (it == params.end()) {
            raise_python(PyExc_TypeError, prefix + "got an unexpected keyword argument '" + key + "'");
        }
        const auto index = static_cast<size_t>(it - params.begin());
        if (given[index]) {
            raise_python(PyExc_TypeError, prefix + "got multiple values for argument '" + key + "'");
        }
        bound[index] = py::reinterpret_borrow<py::object>(item.second);
        given[index] = true;
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < params.size(); ++i) {
        if (!given[i]) {
            if (i < required) missing.push_back(std::string("'") + params[i] + "'");
            bound[i] = py::none();
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            list += missing[i];
        }
        raise_python(PyExc_TypeError, prefix + "missing " + std::to_string(missing.size()) +
                                          " required positional argument" + (missing.size() > 1 ? "s" : "") +
                                          ": " + list);
    }
    return bound;
}

std::string text_of(const py::handle& value) { return py::str(value).cast<std::string>(); }

std::string cause_text(const py::handle& error) {
    return text_of(py::getattr(error, "__cause__", py::none()));
}

ModuleLogger::ModuleLogger(const char* qualified_name) : qualified_name_(qualified_name) {}

py::object ModuleLogger::handle() {
    if (logger_ == nullptr) {
        const auto cls =
            py::module_::import("velora_metrics_plugin.common.utils.metrics_logger").attr("MetricLogger");
        logger_ = new py::object(cls(qualified_name_));
    }
    return *logger_;
}

void ModuleLogger::debug(const std::string& message) { handle().attr("log_debug")(message); }

void ModuleLogger::warning(const std::string& message) { handle().attr("log_warning")(message); }

void print_line(const std::string& line) { py::print(line); }

bool interrupted() {
    py::gil_scoped_acquire gil;
    // An interrupt already raised stays an interrupt for every later poll of the same wait.
    return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
}

py::str utf8_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

void StandardLoggerSink::write(const char* level, const std::string& message) const {
    py::gil_scoped_acquire gil;
    py::error_scope pending;
    try {
        py::module_::import("logging").attr("getLogger")(logger_name_).attr(level)(utf8_text(message));
    } catch (const py::error_already_set&) {
        // A log line must never fail the work it reports on (the interpreter may be shutting down).
    }
}

}  // namespace velora::bindings
