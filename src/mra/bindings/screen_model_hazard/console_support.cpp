#include "mra/bindings/screen_model_hazard/console_support.hpp"

#include <chrono>
#include <climits>
#include <optional>
#include <thread>

namespace velora::smh::console {
namespace {

using bindings::raise_python;
using bindings::text_of;

std::string type_name(const py::handle& value) {
    return py::type::handle_of(value).attr("__name__").cast<std::string>();
}

// The Python error a signal handler raised while a request was waiting; raised once the request
// has been abandoned. Guarded by the GIL.
std::optional<py::error_already_set>& pending_interrupt() {
    static auto* pending = new std::optional<py::error_already_set>();
    return *pending;
}

bool interrupted() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    pending_interrupt().emplace();  // takes the error out of the interpreter until it is raised
    return true;
}

[[noreturn]] void raise_decode_error(const cc::ConsoleDecodeError& error) {
    const auto& document = error.document();
    const py::object doc = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(document.data(), static_cast<Py_ssize_t>(document.size()), "replace"));
    const py::object kind = py::module_::import("json").attr("JSONDecodeError");
    const py::object instance = kind(error.reason(), doc, error.position());
    PyErr_SetObject(kind.ptr(), instance.ptr());
    throw py::error_already_set();
}

Json json_at_depth(const py::handle& value, std::size_t depth) {
    // A value that contains itself would never end; none that the console takes comes near this.
    if (depth > cc::kMaxJsonNesting) raise_python(PyExc_ValueError, "Circular reference detected");
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
            raise_python(PyExc_OverflowError, "int too large for the console: " + text_of(value));
        }
        return static_cast<std::uint64_t>(u);
    }
    if (PyFloat_Check(value.ptr())) return value.cast<double>();
    if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
    if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        Json array = Json::array();
        for (const auto item : value) array.push_back(json_at_depth(item, depth + 1));
        return array;
    }
    if (PyDict_Check(value.ptr())) {
        Json object = Json::object();
        for (const auto item : py::reinterpret_borrow<py::dict>(value)) {
            if (!PyUnicode_Check(item.first.ptr())) {
                raise_python(PyExc_TypeError, "keys must be str, not " + type_name(item.first));
            }
            object[item.first.cast<std::string>()] = json_at_depth(item.second, depth + 1);
        }
        return object;
    }
    raise_python(PyExc_TypeError, "Object of type " + type_name(value) + " is not JSON serializable");
}

}  // namespace

Json to_json(const py::handle& value) { return json_at_depth(value, 0); }

py::object from_json(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            py::dict object;
            for (const auto& [key, item] : value.items()) object[py::str(key)] = from_json(item);
            return object;
        }
        case Json::value_t::array: {
            py::list array;
            for (const auto& item : value) array.append(from_json(item));
            return array;
        }
        case Json::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            // The console's text may be anything; undecodable bytes become U+FFFD, never an error.
            return py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        }
        case Json::value_t::boolean:
            return py::bool_(value.get<bool>());
        case Json::value_t::number_integer:
            return py::int_(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return py::int_(value.get<std::uint64_t>());
        case Json::value_t::number_float:
            return py::float_(value.get<double>());
        default:
            return py::none();
    }
}

core::HttpHeaders headers_from_python(const py::handle& header) {
    if (!PyDict_Check(header.ptr()) && !py::hasattr(header, "items")) {
        raise_python(PyExc_TypeError, "header must be a dictionary, not " + type_name(header));
    }
    core::HttpHeaders headers;
    for (const auto item : header.attr("items")()) {
        headers.emplace_back(text_of(item[py::int_(0)]), text_of(item[py::int_(1)]));
    }
    return headers;
}

py::dict headers_to_python(const core::HttpHeaders& headers) {
    py::dict header;
    for (const auto& [name, value] : headers) header[py::str(name)] = py::str(value);
    return header;
}

std::string text_argument(const py::handle& value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) {
        raise_python(PyExc_TypeError, std::string(name) + " must be a string, not " + type_name(value));
    }
    return value.cast<std::string>();
}

std::vector<std::string> texts_of(const py::handle& iterable) {
    std::vector<std::string> texts;
    for (const auto item : py::iter(iterable)) texts.push_back(text_of(item));
    return texts;
}

py::object py_add(const py::handle& left, const py::handle& right) {
    PyObject* sum = PyNumber_Add(left.ptr(), right.ptr());
    if (sum == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(sum);
}

core::HttpResponse PythonTransport::perform(const core::HttpRequest& request) {
    core::HttpRequest watched = request;
    watched.should_abort = interrupted;
    py::gil_scoped_release release;
    if (connections_ == Connections::Kept) return curl_.perform(watched);
    core::CurlTransport fresh;
    return fresh.perform(watched);
}

void python_pause(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!interrupted()) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return;
        py::gil_scoped_release release;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
    }
    throw core::HttpError(core::HttpError::Kind::Aborted, 0, "interrupted while waiting to try again");
}

void raise_console_error() {
    try {
        throw;
    } catch (const cc::ConsoleRollbackError& error) {
        if (!error.interrupted()) raise_python(PyExc_Exception, error.what());
        // Ctrl-C stays Ctrl-C, now naming what it left behind.
        pending_interrupt().reset();
        raise_python(PyExc_KeyboardInterrupt, error.what());
    } catch (const cc::ConsoleError& error) {
        raise_python(PyExc_Exception, error.what());
    } catch (const cc::ConsoleKeyError& error) {
        PyErr_SetObject(PyExc_KeyError, py::str(error.what()).ptr());
        throw py::error_already_set();
    } catch (const cc::ConsoleTypeError& error) {
        raise_python(PyExc_TypeError, error.what());
    } catch (const cc::ConsoleValueError& error) {
        raise_python(PyExc_ValueError, error.what());
    } catch (const cc::ConsoleDecodeError& error) {
        raise_decode_error(error);
    } catch (const core::HttpError& error) {
        if (error.kind() == core::HttpError::Kind::Aborted) {
            auto& pending = pending_interrupt();
            if (pending) {
                py::error_already_set interrupt = std::move(*pending);
                pending.reset();
                throw interrupt;
            }
            raise_python(PyExc_KeyboardInterrupt, error.what());
        }
        raise_python(
            error.kind() == core::HttpError::Kind::Timeout ? PyExc_TimeoutError : PyExc_ConnectionError,
            error.what());
    }
}

}  // namespace velora::smh::console
