#include "corvex/bindings/judge.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/py_common.hpp"
#include "common/http/multi_transport.hpp"
#include "corvex/core/judge/aws_sigv4.hpp"
#include "corvex/core/judge/settings.hpp"

namespace velora::bindings::corvex_judge {
namespace {

namespace cx = velora::core::corvex;
namespace aws = velora::core::aws;

// Judge failures and retry notes go to the standard logger "corvex".
PythonLogSink& corvex_log() {
    static PythonLogSink sink("corvex");  // stateless; lives as long as the module
    return sink;
}

PyObject* cause_type(cx::JudgeCause::Kind kind) {
    switch (kind) {
        case cx::JudgeCause::Kind::Transport:
            return PyExc_ConnectionError;
        case cx::JudgeCause::Kind::Timeout:
            return PyExc_TimeoutError;
        case cx::JudgeCause::Kind::Answer:
            return PyExc_ValueError;
        case cx::JudgeCause::Kind::Service:
        case cx::JudgeCause::Kind::Interrupted:
            break;
    }
    return PyExc_RuntimeError;
}

// RuntimeError(message) with __cause__ set, as `raise RuntimeError(message) from cause` leaves it.
void set_chained_runtime_error(const cx::JudgeCallError& error) {
    const py::object cause =
        py::reinterpret_borrow<py::object>(cause_type(error.cause().kind))(utf8_text(error.cause().message));
    const py::object raised = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(utf8_text(error.what()));
    PyException_SetCause(raised.ptr(), cause.inc_ref().ptr());  // steals the new reference
    PyErr_SetObject(PyExc_RuntimeError, raised.ptr());
}

core::HttpMethod method_of(const std::string& name) {
    if (name == "GET") return core::HttpMethod::Get;
    if (name == "POST") return core::HttpMethod::Post;
    if (name == "DELETE") return core::HttpMethod::Delete;
    raise_python(PyExc_ValueError, "method must be GET, POST or DELETE");
}

py::dict sigv4_sign(const std::string& method, const std::string& url,
                    const std::vector<std::pair<std::string, std::string>>& headers, const py::bytes& body,
                    const std::string& region, const std::string& service, const std::string& access_key_id,
                    const std::string& secret_access_key, const std::optional<std::string>& session_token,
                    const std::string& request_time) {
    core::HttpRequest request;
    request.method = method_of(method);
    request.url = url;
    request.headers = headers;
    request.body = std::string(body);
    aws::Signature s;
    try {
        s = aws::sign(request, aws::Credentials{access_key_id, secret_access_key, session_token},
                      aws::Scope{region, service}, request_time);
    } catch (const std::invalid_argument& problem) {
        raise_python(PyExc_ValueError, problem.what());
    }
    py::dict out;
    out["canonical_request"] = s.canonical_request;
    out["string_to_sign"] = s.string_to_sign;
    out["signing_key"] = s.signing_key_hex;
    out["signature"] = s.signature;
    out["signed_headers"] = s.signed_headers;
    out["authorization"] = s.authorization;
    out["headers"] = py::cast(request.headers);
    return out;
}

}  // namespace

core::corvex::JudgeInputs judge_inputs(const std::vector<std::string>* requests) {
    cx::JudgeInputs inputs;
    inputs.requests = requests;
    inputs.log = &corvex_log();
    inputs.make_judge = [](const cx::CardSpec& card) {
        const cx::JudgeSettings settings = cx::judge_settings(card.id, cx::process_environment());
        // A card's judge calls overlap, as many at once as the settings allow; the judge's own
        // retries wrap this transport, so it makes none of its own.
        core::MultiTransportOptions transport;
        transport.max_in_flight = static_cast<std::size_t>(settings.basics.concurrency);
        cx::JudgeOptions options;
        options.transport = std::make_shared<core::MultiTransport>(std::move(transport));
        options.should_abort = velora::bindings::interrupted;
        options.log = &corvex_log();
        return cx::make_judge(settings, std::move(options));
    };
    return inputs;
}

void register_judge(py::module_& m) {
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const cx::JudgeCallError& e) {
            // A Ctrl-C noticed while a judge call waited is already pending; it wins over the
            // error of the abandoned call.
            if (interrupt_pending()) return;
            set_chained_runtime_error(e);
        }
    });
    m.def("_sigv4_sign", &sigv4_sign, "method"_a, "url"_a, "headers"_a, "body"_a, "region"_a, "service"_a,
          "access_key_id"_a, "secret_access_key"_a, "session_token"_a, "request_time"_a,
          "Signs a request with Signature Version 4 as the aws judge does; returns every step (for tests).");
    py::list providers;
    for (const auto& p : cx::judge_providers()) providers.append(p.name);
    m.attr("JUDGE_PROVIDERS") = providers;
}

}  // namespace velora::bindings::corvex_judge
