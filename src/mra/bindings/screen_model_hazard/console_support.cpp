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

}  // namespace

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
