#include "mra/bindings/screen_model_hazard/console_support.hpp"

#include <chrono>
#include <climits>
#include <optional>
#include <thread>

namespace velora::smh::console {
namespace {

using bindings::interrupted;
using bindings::raise_python;
using bindings::text_of;
using bindings::type_name;

void set_decode_error(const cc::ConsoleDecodeError& error) {
    const py::object kind = py::module_::import("json").attr("JSONDecodeError");
    const py::object instance = kind(error.reason(), bindings::utf8_text(error.document()), error.position());
    PyErr_SetObject(kind.ptr(), instance.ptr());
}

}  // namespace

Json to_json(const py::handle& value, std::string_view what) { return bindings::python_to_json(value, what); }

py::object from_json(const Json& value) {
    // The console's text may be anything; undecodable bytes become U+FFFD, never an error.
    return bindings::json_to_python(value, bindings::BadUtf8::Replace);
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
    return bindings::utf8_of(value, name);
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

void translate_console_error(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const cc::ConsoleRollbackError& e) {
        if (!e.interrupted()) return PyErr_SetString(PyExc_Exception, e.what());
        // Ctrl-C stays Ctrl-C, now naming what it left behind.
        PyErr_Clear();
        PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    } catch (const cc::ConsoleError& e) {
        PyErr_SetString(PyExc_Exception, e.what());
    } catch (const cc::ConsoleKeyError& e) {
        PyErr_SetObject(PyExc_KeyError, py::str(e.what()).ptr());
    } catch (const cc::ConsoleTypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const cc::ConsoleValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const cc::ConsoleDecodeError& e) {
        set_decode_error(e);
    } catch (const core::HttpError& e) {
        if (e.kind() == core::HttpError::Kind::Aborted) {
            if (!bindings::interrupt_pending()) PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
            return;
        }
        PyErr_SetString(
            e.kind() == core::HttpError::Kind::Timeout ? PyExc_TimeoutError : PyExc_ConnectionError,
            e.what());
    }
}

std::optional<py::error_already_set> python_error_in_flight() {
    try {
        throw;
    } catch (const py::error_already_set& error) {
        return error;
    } catch (...) {
        try {
            translate_console_error(std::current_exception());
        } catch (...) {
            return std::nullopt;  // not the console's
        }
        return py::error_already_set();
    }
}

}  // namespace velora::smh::console
