// velora-reference-model: serves the deterministic reference model over HTTP on loopback.
//   velora-reference-model [--host 127.0.0.1] [--port 0] [--model-id velora/reference-model]
//                          [--reject-project ID]... [--api-key-env NAME] [--log-requests]
//                          [--delay MS] [--parallel N] [--parent-pid PID]
// With --port 0 a free port is chosen. --delay holds every POST answer back for MS milliseconds,
// like a real model's time to answer (for benches); many requests are served at once, or with
// --parallel N at most N POSTs at a time, the others waiting their turn as on a model server with N
// slots (their wait counts in their time to answer). Once
// listening it prints one line "listening on http://<host>:<port>" to standard output. SIGINT or SIGTERM
// stops it cleanly. With --parent-pid (the launching process's own pid) it stops when that process
// ends, however it ends, so that a launcher killed outright leaves no server behind.
#include <httplib.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "reference_model/server.hpp"
#include "reference_model/serving.hpp"

namespace {

namespace rm = velora::core::reference_model;

constexpr size_t kMaxConnectionThreads = 4096;

[[noreturn]] void usage(const std::string& problem) {
    std::cerr
        << "velora-reference-model: " << problem << "\n"
        << "usage: velora-reference-model [--host HOST] [--port PORT] [--model-id ID]\n"
        << "                              [--reject-project ID]... [--api-key-env NAME] [--log-requests]\n"
        << "                              [--delay MS] [--parallel N] [--parent-pid PID]\n";
    std::exit(2);
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    bool log_requests = false;
    long delay_ms = 0;
    pid_t parent_pid = 0;  // 0: outlives its parent
    long parallel = 0;     // POSTs answered at once; 0: no limit
    rm::ServiceConfig service;
};

// An option's whole number within [low, high]; anything else ends the program with its usage.
long whole_number(const std::string& text, long low, long high, const std::string& what) {
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < low || number > high) usage("bad " + what + " " + text);
    return number;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            options.port = static_cast<int>(whole_number(value(), 0, 65535, "port"));
        } else if (arg == "--model-id") {
            options.service.model_id = value();
            if (options.service.model_id.empty()) usage("--model-id must not be empty");
        } else if (arg == "--reject-project") {
            options.service.rejected_projects.insert(value());
        } else if (arg == "--api-key-env") {
            // The key comes from the environment, never from the command line (visible to everyone).
            const std::string name = value();
            const char* key = std::getenv(name.c_str());
            if (key == nullptr || *key == '\0') usage("environment variable " + name + " is not set");
            options.service.api_key = key;
        } else if (arg == "--delay") {
            options.delay_ms = whole_number(value(), 0, 600000, "delay");
        } else if (arg == "--parent-pid") {
            options.parent_pid = static_cast<pid_t>(whole_number(value(), 1, INT32_MAX, "parent pid"));
        } else if (arg == "--parallel") {
            options.parallel = whole_number(value(), 1, 100000, "parallel");
        } else if (arg == "--log-requests") {
            options.log_requests = true;
        } else if (arg == "--help" || arg == "-h") {
            usage("serves a deterministic stand-in model (never a real one)");
        } else {
            usage("unknown argument " + arg);
        }
    }
    return options;
}

// Signals are taken by one thread with sigwait, so stopping never runs inside a handler.
sigset_t block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return stop_signals;
}

// Stops (by SIGTERM, taken like any other) when `parent` ends. The kernel sends it when the parent
// goes; a parent already gone before that was asked for is seen by our having another one now.
void stop_with_parent(pid_t parent) {
    if (parent == 0) return;
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
        std::cerr << "velora-reference-model: the launching process " << parent << " has ended\n";
        std::exit(1);
    }
}

void tune(httplib::Server& server) {
    // Each kept-alive connection holds its thread while it lasts: one thread per open connection.
    rm::raise_open_file_limit();
    server.new_task_queue = [] { return new rm::ConnectionThreads(kMaxConnectionThreads); };
    // Clients that keep one connection for a whole card should not be cut off every few requests.
    server.set_keep_alive_max_count(100000);
    server.set_payload_max_length(64 * 1024 * 1024);
    // Head and body go out in separate writes; without this each answer waits for a delayed ACK.
    server.set_tcp_nodelay(true);
}

// A POST's time to answer: the delay, taken in one of the answer slots when they are limited.
std::function<void()> answer_time(const Options& options) {
    const auto delay = std::chrono::milliseconds(options.delay_ms);
    const auto wait = [delay] {
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
    };
    if (options.parallel == 0) return wait;
    auto slots = std::make_shared<rm::AnswerSlots>(static_cast<size_t>(options.parallel));
    return [slots, wait] { slots->hold(wait); };
}

void route(httplib::Server& server, const Options& options) {
    const auto serve = [&options, take_time = answer_time(options)](const httplib::Request& req,
                                                                    httplib::Response& res) {
        rm::ServiceRequest request{req.method, req.path, {}, req.body};
        for (const auto& [name, value] : req.headers) request.headers.emplace_back(name, value);
        if (req.method == "POST") take_time();
        const rm::ServiceResponse response = rm::handle(options.service, request);
        res.status = response.status;
        res.set_content(response.body, "application/json");
        if (options.log_requests) {
            std::cerr << req.method << " " << req.path << " " << response.status
                      << (response.rule.empty() ? "" : " " + response.rule) << "\n";
        }
    };
    // Failures httplib answers by itself (a malformed request, a body too large) are labelled too.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            res.set_content(rm::error_body(res.status), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.Get(".*", serve);
    server.Post(".*", serve);
    server.Put(".*", serve);
    server.Delete(".*", serve);
    server.Patch(".*", serve);
}

// The port listened on, or -1 when it cannot be had.
int bind_port(httplib::Server& server, const Options& options) {
    return rm::bind_with_wide_backlog(server, [&] {
        if (options.port == 0) return server.bind_to_any_port(options.host);
        return server.bind_to_port(options.host, options.port) ? options.port : -1;
    });
}

// Serves until listening ends by itself or a stop signal comes; true when it ended cleanly.
bool serve_until_stopped(httplib::Server& server, const sigset_t& stop_signals) {
    std::atomic<bool> signalled{false};
    std::atomic<bool> finished{false};
    std::thread stopper([&] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        signalled = true;
        // stop() does nothing before listening has begun, and a signal may come that early.
        while (!finished) {
            if (server.is_running()) {
                server.stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const bool served = server.listen_after_bind();
    finished = true;
    // Listening ended by itself, not by a signal: wake the stopper so it can be joined.
    if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return served;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const sigset_t stop_signals = block_stop_signals();
    stop_with_parent(options.parent_pid);
    httplib::Server server;
    tune(server);
    route(server, options);
    const int port = bind_port(server, options);
    if (port < 0) {
        std::cerr << "velora-reference-model: cannot listen on " << options.host << ":" << options.port
                  << "\n";
        return 1;
    }
    std::cout << "listening on http://" << options.host << ":" << port << std::endl;
    return serve_until_stopped(server, stop_signals) ? 0 : 1;
}
