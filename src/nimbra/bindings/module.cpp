// velora_nimbra_ai._nimbra: the inference SDK's Python face over the core client. ModelInference
// checks the model and project when it is made (once per process for the same connection) and
// generates text for one prompt or a list of them; the network calls release the GIL and give way
// to Ctrl-C. Each object gets its own libcurl transport, used by one call at a time.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "bindings/common/py_common.hpp"
#include "common/http/transport.hpp"
#include "common/pytext.hpp"
#include "nimbra/core/inference.hpp"

namespace {

namespace nimbra = velora::core::nimbra;
namespace completions = velora::core::completions;

// Exception classes live for the whole process; the references are never dropped on purpose.
PyObject* g_base_error = nullptr;
PyObject* g_project_error = nullptr;
PyObject* g_model_error = nullptr;
PyObject* g_request_error = nullptr;

PyObject* new_error(py::module_& m, const char* name, const char* doc, PyObject* base) {
    const std::string qualified = std::string("velora_nimbra_ai.errors.") + name;
    PyObject* kind = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (kind == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(kind));
    return kind;
}

using velora::bindings::raise_python;
using velora::bindings::type_name;

std::optional<std::string> optional_text(const py::handle& value, const std::string& name) {
    if (value.is_none()) return std::nullopt;
    if (!py::isinstance<py::str>(value))
        raise_python(PyExc_TypeError, name + " must be a string or None, not " + type_name(value));
    return velora::bindings::utf8_of(value, name);
}

std::optional<std::string> credential(const py::dict& credentials, const char* key) {
    if (!credentials.contains(key)) return std::nullopt;
    return optional_text(credentials[key], std::string("credentials['") + key + "']");
}

bool is_integer(const py::handle& value) {
    return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

long long integer(const py::handle& value, const char* name, const char* expected) {
    if (!is_integer(value))
        raise_python(PyExc_TypeError,
                     std::string(name) + " must be " + expected + ", not " + type_name(value));
    return velora::bindings::int64_of(value, name);
}

class ModelInference {
  public:
    ModelInference(const py::object& model_id, const py::object& credentials, const py::object& project_id,
                   const py::object& timeout, const py::object& max_retries, const py::object& verify,
                   const py::object& max_tokens, const py::object& temperature, const py::object& seed,
                   bool check_model) {
        const auto model = optional_text(model_id, "model_id");
        if (!model || model->empty()) raise_python(PyExc_ValueError, "model_id must be a non-empty string");
        if (!py::isinstance<py::dict>(credentials))
            raise_python(PyExc_TypeError, "credentials must be a dict, not " + type_name(credentials));
        const auto creds = py::reinterpret_borrow<py::dict>(credentials);
        const nimbra::Credentials mapped{credential(creds, "url"), credential(creds, "apikey"),
                                         credential(creds, "username"), credential(creds, "instance_id")};

        nimbra::InferenceOptions options;
        const double seconds = py::float_(timeout).cast<double>();
        if (const auto problem = velora::core::timeout_problem(seconds))
            raise_python(PyExc_ValueError, "timeout " + *problem);
        options.timeout_seconds = seconds;
        const long long retries = integer(max_retries, "max_retries", "an int");
        if (retries < 0) raise_python(PyExc_ValueError, "max_retries must not be negative");
        // More attempts than this would never end anyway; the count must fit the policy's int.
        options.retry.max_attempts = static_cast<int>(std::min<long long>(retries, 1'000'000) + 1);
        if (py::isinstance<py::str>(verify)) {
            options.ca_file = velora::bindings::path_of(verify, "verify");
        } else {
            options.verify_tls = py::bool_(verify).cast<bool>();
        }
        if (!max_tokens.is_none()) {
            const long long tokens = integer(max_tokens, "max_tokens", "an int or None");
            if (tokens <= 0) raise_python(PyExc_ValueError, "max_tokens must be positive or None");
            if (tokens > std::numeric_limits<int>::max())
                raise_python(PyExc_ValueError, "max_tokens is out of range: it must fit in 32 bits");
            options.max_tokens = static_cast<int>(tokens);
        } else {
            options.max_tokens.reset();
        }
        if (!temperature.is_none()) options.temperature = py::float_(temperature).cast<double>();
        if (!seed.is_none()) options.seed = integer(seed, "seed", "an int or None");
        options.check_model = check_model;
        options.should_abort = velora::bindings::interrupted;
        options.log = &log_;

        const char* fallback = std::getenv(completions::kUrlVariable);
        inference_ = std::make_unique<nimbra::NimbraInference>(
            *model, mapped, optional_text(project_id, "project_id"), std::move(options),
            fallback ? std::optional<std::string>(fallback) : std::nullopt,
            std::make_shared<velora::core::CurlTransport>());
        velora::bindings::without_gil([&] {
            inference_->verify();
            return 0;
        });
    }

    std::string generate_text(const py::object& prompt) {
        const auto pass = velora::bindings::enter_gate(gate_, "this ModelInference");
        const std::string text = prompt_text(prompt, "prompt");
        return velora::bindings::without_gil([&] { return inference_->generate_text(text); });
    }

    std::vector<std::string> generate_texts(const py::object& prompts) {
        if (py::isinstance<py::str>(prompts) || !py::isinstance<py::sequence>(prompts)) {
            raise_python(PyExc_TypeError, "prompts must be a list of strings, not " + type_name(prompts));
        }
        const auto pass = velora::bindings::enter_gate(gate_, "this ModelInference");
        std::vector<std::string> texts;
        for (const auto item : prompts) texts.push_back(prompt_text(item, "every prompt"));
        return velora::bindings::without_gil([&] { return inference_->generate_texts(texts); });
    }

    const std::string& model_id() const { return inference_->model_id(); }
    const std::string& base_url() const { return inference_->connection().base_url; }

    std::string repr() const {
        return "ModelInference(model_id=" + velora::core::python_repr(model_id()) +
               ", url=" + velora::core::python_repr(base_url()) + ")";
    }

  private:
    static std::string prompt_text(const py::handle& prompt, const char* what) {
        if (!py::isinstance<py::str>(prompt)) {
            raise_python(PyExc_TypeError, std::string(what) + " must be a string, not " + type_name(prompt));
        }
        return velora::bindings::utf8_of(prompt, what);
    }

    // Retry notes go to the standard logger "velora_nimbra_ai".
    velora::bindings::PythonLogSink log_{"velora_nimbra_ai"};
    std::unique_ptr<nimbra::NimbraInference> inference_;
    // The transport serves one call at a time.
    velora::core::CallGate gate_;
};

}  // namespace

PYBIND11_MODULE(_nimbra, m) {
    m.doc() = "Inference SDK: text generation by a model served over the common completions API.";

    g_base_error =
        new_error(m, "NimbraClientError", "Base class of every error of the inference SDK.", PyExc_Exception);
    g_project_error =
        new_error(m, "CannotSetProjectOrSpace",
                  "The inference service rejected the project (or space) of the request.", g_base_error);
    g_model_error = new_error(m, "ModelNotServed",
                              "The inference service does not serve the requested model.", g_base_error);
    g_request_error = new_error(m, "ServiceRequestError",
                                "A request to the inference service failed: transport, error status, refused "
                                "credentials or an unreadable answer.",
                                g_base_error);

    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const nimbra::NimbraProjectRejected& e) {
            velora::bindings::set_python_error(g_project_error, e.what());
        } catch (const nimbra::NimbraModelNotServed& e) {
            velora::bindings::set_python_error(g_model_error, e.what());
        } catch (const nimbra::NimbraRequestError& e) {
            velora::bindings::set_python_error(g_request_error, e.what());
        } catch (const nimbra::NimbraError& e) {
            velora::bindings::set_python_error(g_base_error, e.what());
        } catch (const nimbra::NimbraCredentialsError& e) {
            velora::bindings::set_python_error(PyExc_ValueError, e.what());
        }
    });

    py::class_<ModelInference>(m, "ModelInference",
                               "A model in a project on an inference service; made once, asked many prompts.")
        .def(py::init<const py::object&, const py::object&, const py::object&, const py::object&,
                      const py::object&, const py::object&, const py::object&, const py::object&,
                      const py::object&, bool>(),
             "model_id"_a, "credentials"_a, "project_id"_a = py::none(), py::kw_only(),
             "timeout"_a = nimbra::kDefaultTimeoutSeconds, "max_retries"_a = 2, "verify"_a = true,
             "max_tokens"_a = nimbra::kDefaultMaxTokens, "temperature"_a = py::none(), "seed"_a = py::none(),
             "check_model"_a = true,
             "Connect to the service in credentials['url'] and check that it serves model_id in project_id.")
        .def("generate_text", &ModelInference::generate_text, "prompt"_a,
             "The text the model generates for prompt (the service's generation defaults, max_tokens aside).")
        .def(
            "generate_texts", &ModelInference::generate_texts, "prompts"_a,
            "The texts the model generates for a list of prompts, in prompt order; the first failure raises.")
        .def_property_readonly("model_id", &ModelInference::model_id, "The model this object generates with.")
        .def_property_readonly("base_url", &ModelInference::base_url, "The service address requests go to.")
        .def("__repr__", &ModelInference::repr);

    m.attr("DEFAULT_TIMEOUT") = nimbra::kDefaultTimeoutSeconds;
    m.attr("PROJECT_HEADER") = completions::kProjectHeader;
    m.attr("USERNAME_HEADER") = completions::kUsernameHeader;
    m.attr("INSTANCE_HEADER") = completions::kInstanceHeader;
    m.attr("URL_VARIABLE") = completions::kUrlVariable;
}
