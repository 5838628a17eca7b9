// Included first by every binding file: the pybind11 names, and the few helpers that every
// extension module needs at its edge (raising a Python error with an exact message, taking
// arguments as plain objects, the module logger, standard output).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_sink.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace velora::bindings {

// Sets the Python error `kind` with `message` and throws, so that every error the bindings raise
// is an error_already_set, caught and classified like errors that come from Python code.
[[noreturn]] void raise_python(PyObject* kind, const std::string& message);

// The OSError subclass that errno `error_number` maps to, naming `path`, as the runtime raises it.
[[noreturn]] void raise_os_error(int error_number, const py::handle& path);

// Binds call arguments by the rules of a Python signature made of `names`, the first `required`
// of them without default (absent ones become None). Raises TypeError with the runtime's wording
// for missing, surplus, duplicate and unknown arguments.
std::vector<py::object> bind_arguments(std::string_view function_name,
                                       std::initializer_list<const char*> names, size_t required,
                                       const py::args& args, const py::kwargs& kwargs);

// str(value) of any Python object.
std::string text_of(const py::handle& value);

// The value of a Python exception object as text (str(error)), and the text of its __cause__
// ("None" when it has none).
std::string cause_text(const py::handle& error);

// The module-wide MetricLogger of one extension module, created on first use. Its lines go
// through Python's logging. It is also the sink the core writes its diagnostics to.
class ModuleLogger final : public core::LogSink {
  public:
    explicit ModuleLogger(const char* qualified_name);
    void debug(const std::string& message) override;
    void warning(const std::string& message) override;
    // The MetricLogger object itself (creates it on first use).
    py::object handle();

  private:
    const char* qualified_name_;
    py::object* logger_ = nullptr;  // leaked on purpose: it must outlive interpreter shutdown order
};

// UTF-8 text as a Python str, undecodable bytes replaced (messages may quote what a server sent).
py::str utf8_text(const std::string& text);

// A core log sink writing to the standard logger `logger_name`. It may be called from a thread that
// waits on the network without the GIL (it takes it), and with a Python error pending (a Ctrl-C is
// kept aside while the line is written). A line that cannot be written is dropped.
class StandardLoggerSink final : public core::LogSink {
  public:
    explicit StandardLoggerSink(const char* logger_name) : logger_name_(logger_name) {}
    void debug(const std::string& message) override { write("debug", message); }
    void warning(const std::string& message) override { write("warning", message); }

  private:
    void write(const char* level, const std::string& message) const;
    const char* logger_name_;
};

// One line to Python's sys.stdout (what print() does), so notebooks and capture see it.
void print_line(const std::string& line);

// For a core call's should_abort while it waits without the GIL: takes the GIL and runs the
// signal handlers; true when one raised (Ctrl-C), whose error is then pending.
bool interrupted();

// Runs a blocking core call without the GIL. A Ctrl-C noticed meanwhile leaves its
// KeyboardInterrupt pending; it wins over the error the abandoned call raised.
template <typename F>
auto without_gil(F&& call) {
    try {
        py::gil_scoped_release release;
        return call();
    } catch (...) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    }
}

}  // namespace velora::bindings
