#include "bindings/common/py_common.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace velora::bindings {

void raise_python(PyObject* kind, const std::string& message) {
    PyErr_SetString(kind, message.c_str());
    throw py::error_already_set();
}

void set_python_error(PyObject* kind, const std::string& message) {
    PyErr_SetObject(kind, utf8_text(message).ptr());
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

std::string utf8_of(const py::handle& text, std::string_view what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data != nullptr) return std::string(data, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    throw InvalidText(what);
}

std::string path_of(const py::handle& path, std::string_view what) {
    py::object encoded;
    try {
        encoded = py::module_::import("os").attr("fsencode")(path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) throw;
        throw InvalidText(what);
    }
    return std::string(py::reinterpret_borrow<py::bytes>(encoded));
}

long long int64_of(const py::handle& value, std::string_view what) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0)
        raise_python(PyExc_ValueError, std::string(what) + " is out of range: it must fit in 64 bits");
    return number;
}

double double_of(const py::handle& value, std::string_view what) {
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        raise_python(PyExc_ValueError, std::string(what) + " is out of range: it is too large for a number");
    }
    return number;
}

bool is_text(const py::handle& value, const char* text) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

std::string text_of(const py::handle& value, std::string_view what) { return utf8_of(py::str(value), what); }

py::str utf8_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

std::string type_name(const py::handle& value) {
    return text_of(py::type::handle_of(value).attr("__name__"));
}

std::string cause_text(const py::handle& error) {
    return text_of(py::getattr(error, "__cause__", py::none()));
}

std::vector<py::object> unpack(const py::handle& iterable, size_t count) {
    py::iterator it;
    try {
        it = py::iter(iterable);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        raise_python(PyExc_TypeError, "cannot unpack non-iterable " + type_name(iterable) + " object");
    }
    std::vector<py::object> items;
    for (const auto item : it) {
        if (items.size() == count) {
            raise_python(PyExc_ValueError,
                         "too many values to unpack (expected " + std::to_string(count) + ")");
        }
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    if (items.size() < count) {
        raise_python(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(count) +
                                           ", got " + std::to_string(items.size()) + ")");
    }
    return items;
}

void register_invalid_text_translator() {
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const InvalidText& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

namespace {

nlohmann::ordered_json json_at_depth(const py::handle& value, std::size_t depth, std::string_view what) {
    // A value that contains itself would never end; no plain data comes near this.
    if (depth > kMaxPythonNesting) raise_python(PyExc_ValueError, "Circular reference detected");
    if (value.is_none()) return nullptr;
    if (PyBool_Check(value.ptr())) return value.cast<bool>();
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0) {
            if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
            return static_cast<std::int64_t>(n);
        }
        const unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_python(PyExc_OverflowError, "int too large for JSON: " + text_of(value));
        }
        return static_cast<std::uint64_t>(u);
    }
    if (PyFloat_Check(value.ptr())) return value.cast<double>();
    if (PyUnicode_Check(value.ptr())) return utf8_of(value, what);
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto item : value) array.push_back(json_at_depth(item, depth + 1, what));
        return array;
    }
    if (PyDict_Check(value.ptr())) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const auto item : py::reinterpret_borrow<py::dict>(value)) {
            if (!PyUnicode_Check(item.first.ptr())) {
                raise_python(PyExc_TypeError, "keys must be str, not " + type_name(item.first));
            }
            object[utf8_of(item.first, what)] = json_at_depth(item.second, depth + 1, what);
        }
        return object;
    }
    raise_python(PyExc_TypeError, "Object of type " + type_name(value) + " is not JSON serializable");
}

}  // namespace

nlohmann::ordered_json python_to_json(const py::handle& value, std::string_view what) {
    return json_at_depth(value, 0, what);
}

py::object json_to_python(const nlohmann::ordered_json& value, BadUtf8 bad_utf8) {
    using Kind = nlohmann::ordered_json::value_t;
    switch (value.type()) {
        case Kind::object: {
            py::dict object;
            for (const auto& [key, item] : value.items())
                object[py::str(key)] = json_to_python(item, bad_utf8);
            return object;
        }
        case Kind::array: {
            py::list array(value.size());
            for (size_t i = 0; i < value.size(); ++i) array[i] = json_to_python(value[i], bad_utf8);
            return array;
        }
        case Kind::string: {
            const auto& text = value.get_ref<const std::string&>();
            return bad_utf8 == BadUtf8::Replace ? py::object(utf8_text(text)) : py::object(py::str(text));
        }
        case Kind::boolean:
            return py::bool_(value.get<bool>());
        case Kind::number_integer:
            return py::int_(value.get<int64_t>());
        case Kind::number_unsigned:
            return py::int_(value.get<uint64_t>());
        case Kind::number_float:
            return py::float_(value.get<double>());
        default:
            return py::none();
    }
}

bool interrupted() {
    py::gil_scoped_acquire gil;
    // Only a signal handler raising now counts: an interrupt already pending must not stop the
    // bounded roll-back that runs before it propagates.
    return PyErr_CheckSignals() != 0;
}

bool interrupt_pending() { return PyErr_Occurred() != nullptr; }

core::CallGate::Pass enter_gate(core::CallGate& gate, std::string_view what) {
    constexpr std::chrono::milliseconds kPoll{50};
    try {
        if (auto pass = gate.try_enter_for(std::chrono::milliseconds::zero())) return std::move(*pass);
        while (true) {
            {
                py::gil_scoped_release release;
                if (auto pass = gate.try_enter_for(kPoll)) return std::move(*pass);
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    } catch (const core::CallGateReentered&) {
        raise_python(PyExc_RuntimeError,
                     std::string(what) +
                         " is already in use by a call on this thread; it cannot be called again before that "
                         "call returns (from its own progress callback, for one)");
    }
}

py::object PythonLogSink::logger() { return py::module_::import("logging").attr("getLogger")(logger_name_); }

void PythonLogSink::write(const char* level, const std::string& message) {
    py::gil_scoped_acquire gil;
    py::error_scope pending;
    try {
        logger().attr(level)(utf8_text(message));
    } catch (const py::error_already_set&) {
        // Dropped: see the class comment.
    }
}

py::object ModuleLogger::handle() {
    return metric_logger_
        .call_once_and_store_result([this] {
            const auto cls =
                py::module_::import("velora_metrics_plugin.common.utils.metrics_logger").attr("MetricLogger");
            return cls(logger_name_);
        })
        .get_stored();
}

py::object ModuleLogger::logger() { return handle().attr("logger"); }

void print_line(const std::string& line) { py::print(line); }

}  // namespace velora::bindings
