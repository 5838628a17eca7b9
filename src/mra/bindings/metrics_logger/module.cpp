// MetricLogger: the package's logger, a thin face over the standard logging logger of the same
// name, so that callers' handlers and test capture see every line.
#include <cstdlib>

#include "bindings/common/py_common.hpp"
#include "common/log_format.hpp"

namespace {

using velora::bindings::text_of;

constexpr const char* kOwnHandlerMark = "_velora_metric_logger_handler";

py::object logging_module() { return py::module_::import("logging"); }

int configured_level() {
    const char* text = std::getenv(velora::core::kLogLevelVariable);
    if (text == nullptr) return velora::core::kDefaultLogLevel;
    return velora::core::parse_log_level(text).value_or(velora::core::kDefaultLogLevel);
}

py::object json_formatter() {
    auto formatter = logging_module().attr("Formatter")();
    // An instance attribute shadows Formatter.format: the handler calls it with the record only.
    formatter.attr("format") = py::cpp_function([](py::object record) {
        const std::string time = text_of(logging_module().attr("Formatter")().attr("formatTime")(record));
        return velora::core::json_log_line(time, text_of(record.attr("levelname")),
                                           text_of(record.attr("name")),
                                           text_of(record.attr("getMessage")()));
    });
    return formatter;
}

constexpr const char* kPlainFormat = "%(asctime)s %(levelname)s %(name)s: %(message)s";

py::object plain_formatter() {
    auto formatter = logging_module().attr("Formatter")(kPlainFormat);
    // Messages quote servers and files: what reaches the terminal is made printable first.
    formatter.attr("format") = py::cpp_function([](py::object record) {
        const py::object line = logging_module().attr("Formatter")(kPlainFormat).attr("format")(record);
        return velora::core::printable_text(text_of(line));
    });
    return formatter;
}

class MetricLogger {
  public:
    explicit MetricLogger(const std::string& name) : logger_(logging_module().attr("getLogger")(name)) {
        // The risk-evaluation module raises the root logger to critical at load; an explicit
        // level on our own logger keeps our lines flowing to the caller's handlers regardless.
        logger_.attr("setLevel")(configured_level());
        if (std::getenv(velora::core::kLogLevelVariable) != nullptr) ensure_own_handler();
    }

    void log_debug(const py::object& message) { logger_.attr("debug")(message); }
    void log_warning(const py::object& message) { logger_.attr("warning")(message); }

    // JSON lines on standard error (true) or plain text lines (false).
    void enable_json_logs(bool enabled) {
        json_ = enabled;
        if (enabled) ensure_own_handler();
        if (const auto handler = own_handler(); !handler.is_none()) {
            handler.attr("setFormatter")(json_ ? json_formatter() : plain_formatter());
        }
    }

    py::object logger() const { return logger_; }
    bool json_logs() const { return json_; }

  private:
    py::object own_handler() const {
        for (const auto handler : logger_.attr("handlers")) {
            if (py::hasattr(handler, kOwnHandlerMark)) return py::reinterpret_borrow<py::object>(handler);
        }
        return py::none();
    }

    void ensure_own_handler() {
        if (!own_handler().is_none()) return;
        auto handler = logging_module().attr("StreamHandler")();
        handler.attr(kOwnHandlerMark) = true;
        handler.attr("setFormatter")(json_ ? json_formatter() : plain_formatter());
        logger_.attr("addHandler")(handler);
    }

    py::object logger_;
    bool json_ = false;
};

}  // namespace

PYBIND11_MODULE(metrics_logger, m) {
    m.doc() = "The package logger over the standard logging module.";
    py::class_<MetricLogger>(m, "MetricLogger", "Module-wide logger; lines go to logging.getLogger(name).")
        .def(py::init<const std::string&>(), "name"_a, "Create the logger of the given qualified name.")
        .def("log_debug", &MetricLogger::log_debug, "message"_a, "Log one finished line at debug level.")
        .def("log_warning", &MetricLogger::log_warning, "message"_a,
             "Log one finished line at warning level.")
        .def("enable_json_logs", &MetricLogger::enable_json_logs, "enabled"_a,
             "Write JSON lines (true) or plain lines (false) on the logger's own stderr handler.")
        .def_property_readonly("logger", &MetricLogger::logger, "The underlying logging.Logger.")
        .def_property_readonly("json_logs", &MetricLogger::json_logs, "Whether JSON lines are written.");
}
