// Included first by every binding file: the pybind11 names, and the helpers that every extension
// module needs at its edge: raising a Python error with an exact message, text in and out, type
// names, unpacking, JSON values, the interrupt rule, the log sink, standard output.
#pragma once

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/call_gate.hpp"
#include "common/log_sink.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace velora::bindings {

// Sets the Python error `kind` with `message` and throws, so that every error the bindings raise
// is an error_already_set, caught and classified like errors that come from Python code.
[[noreturn]] void raise_python(PyObject* kind, const std::string& message);

// Sets the Python error `kind` with `message` for an exception translator. The message may quote
// what a server sent: bytes that are not UTF-8 are replaced, never a UnicodeDecodeError.
void set_python_error(PyObject* kind, const std::string& message);

// The OSError subclass that errno `error_number` maps to, naming `path`, as the runtime raises it.
[[noreturn]] void raise_os_error(int error_number, const py::handle& path);

// Binds call arguments by the rules of a Python signature made of `names`, the first `required`
// of them without default (absent ones become None). Raises TypeError with the runtime's wording
// for missing, surplus, duplicate and unknown arguments.
std::vector<py::object> bind_arguments(std::string_view function_name,
                                       std::initializer_list<const char*> names, size_t required,
                                       const py::args& args, const py::kwargs& kwargs);

// A str that has no UTF-8 form (it holds a lone surrogate). Each module translates it to the
// error kind its callers expect for bad input (register_invalid_text_translator: ValueError).
class InvalidText : public std::invalid_argument {
  public:
    explicit InvalidText(std::string_view what)
        : std::invalid_argument(std::string(what) + " is not valid text: it holds a lone surrogate") {}
};

// The UTF-8 text of a Python str; InvalidText naming `what` when it has none.
std::string utf8_of(const py::handle& text, std::string_view what = "the text");

// The bytes of a file path (a str or an os.PathLike) as the operating system takes it
// (os.fsencode); InvalidText naming `what` for a str that has no such form.
std::string path_of(const py::handle& path, std::string_view what);

// The value of a Python int (the caller has checked the type); ValueError "<what> is out of range:
// it must fit in 64 bits" beyond that, never a cast error.
long long int64_of(const py::handle& value, std::string_view what);

// The value of a Python int or float as a double; ValueError naming `what` for an int too large
// for one.
double double_of(const py::handle& value, std::string_view what);

// Whether `value` is a str equal to the ASCII text `text` (no UTF-8 needed, so any str compares).
bool is_text(const py::handle& value, const char* text);

// str(value) of any Python object, as UTF-8 (InvalidText naming `what` when it has none).
std::string text_of(const py::handle& value, std::string_view what = "the text");

// UTF-8 text as a Python str, undecodable bytes replaced (messages may quote what a server sent).
py::str utf8_text(const std::string& text);

// type(value).__name__, as the runtime's messages name a type.
std::string type_name(const py::handle& value);

// The value of a Python exception object as text (str(error)), and the text of its __cause__
// ("None" when it has none).
std::string cause_text(const py::handle& error);

// The `count` items of an iterable, with the runtime's errors for `a, b = value`.
std::vector<py::object> unpack(const py::handle& iterable, size_t count);

// Makes InvalidText a ValueError in the calling extension module.
void register_invalid_text_translator();

// How a JSON string that is not valid UTF-8 becomes a Python str: with U+FFFD in place of the bad
// bytes (text from a server), or as the runtime's UnicodeDecodeError (our own data files).
enum class BadUtf8 { Replace, Raise };

// A JSON value as Python objects: objects become dicts (member order kept), arrays lists.
py::object json_to_python(const nlohmann::ordered_json& value, BadUtf8 bad_utf8);

// Nesting deeper than this is taken for a value that contains itself.
inline constexpr std::size_t kMaxPythonNesting = 512;

// json.dumps' view of a value: None, bool, int, float, str, list, tuple and dict (str keys), member
// order kept. TypeError "Object of type X is not JSON serializable" for anything else, ValueError
// "Circular reference detected" past kMaxPythonNesting, InvalidText naming `what` for a str that
// has no UTF-8 form.
nlohmann::ordered_json python_to_json(const py::handle& value, std::string_view what = "the value");

// The interrupt rule of every long C++ call. The core polls `interrupted()` while it waits without
// the GIL: it takes the GIL and runs the interpreter's signal handlers. When one raised (Ctrl-C:
// KeyboardInterrupt) the call is abandoned and the error stays pending in the interpreter; the
// binding raises it once the C++ call has returned, in place of the abandoned call's own error
// (`interrupt_pending()` tells a translator to leave it in place). Safe from any caller.
bool interrupted();
bool interrupt_pending();

// A core log sink over a standard logging logger. It takes the GIL itself, so any caller may use
// it (also one waiting on the network without the GIL), and keeps a pending Python error (a Ctrl-C)
// aside while it writes. A line that cannot be written is dropped: it must never fail the work it
// reports on (the interpreter may be shutting down).
class PythonLogSink : public core::LogSink {
  public:
    explicit PythonLogSink(const char* logger_name) : logger_name_(logger_name) {}
    void debug(const std::string& message) override { write("debug", message); }
    void warning(const std::string& message) override { write("warning", message); }

  protected:
    // The logging.Logger the lines go to (called with the GIL held).
    virtual py::object logger();
    const char* logger_name_;

  private:
    void write(const char* level, const std::string& message);
};

// The module-wide MetricLogger of one extension module, created on first use; the module's core
// diagnostics go through it.
class ModuleLogger final : public PythonLogSink {
  public:
    explicit ModuleLogger(const char* qualified_name) : PythonLogSink(qualified_name) {}
    // The MetricLogger object itself (creates it on first use).
    py::object handle();

  protected:
    py::object logger() override;

  private:
    // Never destroyed: it must outlive the interpreter's shutdown order.
    py::gil_safe_call_once_and_store<py::object> metric_logger_;
};

// One line to Python's sys.stdout (what print() does), so notebooks and capture see it.
void print_line(const std::string& line);

// Enters the gate of one binding object for a call (taken with the GIL held). A call of another
// thread is waited for without the GIL, Ctrl-C polled meanwhile; a call made from inside the
// object's own call on this thread (its progress callback, say) is RuntimeError naming `what`.
core::CallGate::Pass enter_gate(core::CallGate& gate, std::string_view what);

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
