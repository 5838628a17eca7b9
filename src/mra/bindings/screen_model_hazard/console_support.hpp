// What the console bindings share: Python values to and from the console's JSON, the header
// dictionary, a transport that waits on the network without the GIL and gives way to Ctrl-C, and
// the translation of the core's console errors into the Python kinds the contract names.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/py_common.hpp"
#include "common/http/transport.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/operations.hpp"

namespace velora::smh::console {

namespace cc = velora::core::console;
using cc::Json;

// json.dumps' view of a value: None, bool, int, float, str, list, tuple and dict (str keys).
// TypeError "Object of type X is not JSON serializable" for anything else; text without a UTF-8
// form is InvalidText naming `what`.
Json to_json(const py::handle& value, std::string_view what = "the value");
py::object from_json(const Json& value);

// The header dictionary as request headers (str() of every key and value, in order), and back.
core::HttpHeaders headers_from_python(const py::handle& header);
py::dict headers_to_python(const core::HttpHeaders& headers);

// The text of a str argument; TypeError naming the argument otherwise.
std::string text_argument(const py::handle& value, const char* name);

// str(item) of every element of an iterable.
std::vector<std::string> texts_of(const py::handle& iterable);

// left + right with the runtime's rules (str concatenation and its TypeError).
py::object py_add(const py::handle& left, const py::handle& right);

// The console's transport: libcurl, with the GIL released while a request waits. A signal (Ctrl-C)
// noticed meanwhile abandons the request, and its Python error is raised in the end. A transport
// keeps its connection between requests and closes it when it goes, or, made for writes, gives
// every request a connection of its own, closed once it is answered.
class PythonTransport final : public core::Transport {
  public:
    enum class Connections { Kept, OnePerRequest };
    explicit PythonTransport(Connections connections = Connections::Kept) : connections_(connections) {}
    core::HttpResponse perform(const core::HttpRequest& request) override;

  private:
    Connections connections_;
    core::CurlTransport curl_;
};

// Waits without the GIL; Ctrl-C ends the wait with an HttpError of kind Aborted.
void python_pause(double seconds);

// The exception translator of the console's and the transport's errors: the Python kinds the
// contract names. An abandoned call (Ctrl-C) raises the pending interrupt.
void translate_console_error(std::exception_ptr error);

// The error in flight (inside a catch block) as the Python error it reaches the caller as; nothing
// for an error the console translation does not know.
std::optional<py::error_already_set> python_error_in_flight();

}  // namespace velora::smh::console
