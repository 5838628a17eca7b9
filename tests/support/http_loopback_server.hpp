// A scripted HTTP server on a real loopback socket for the HTTP client tests: each connection
// takes the next step of the script (the last step repeats), handles one request and closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velora::testing_support {

class LoopbackServer {
  public:
    // Gets the connected socket and the raw request (head and body) it read.
    using Step = std::function<void(int fd, const std::string& request)>;

    static Step respond(int status, std::string body, std::string extra_headers = {}) {
        return [=](int fd, const std::string&) {
            const std::string head = "HTTP/1.1 " + std::to_string(status) +
                                     " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\nConnection: close\r\n" + extra_headers + "\r\n";
            send_all(fd, head + body);
        };
    }
    // Closes with a TCP reset instead of an answer.
    static Step reset() {
        return [](int fd, const std::string&) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        };
    }
    // Says nothing for a while, then closes.
    static Step stall(std::chrono::milliseconds pause) {
        return [pause](int, const std::string&) { std::this_thread::sleep_for(pause); };
    }

    explicit LoopbackServer(std::vector<Step> script) : script_(std::move(script)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 16) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int port() const { return port_; }

    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    static void send_all(int fd, const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            const auto n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    static std::string read_request(int fd) {
        std::string data;
        char buffer[4096];
        size_t expected = std::string::npos;
        while (expected == std::string::npos || data.size() < expected) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) break;
            const auto n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<size_t>(n));
            const auto end = data.find("\r\n\r\n");
            if (expected == std::string::npos && end != std::string::npos) {
                size_t length = 0;
                std::string lower;
                for (const char c : data.substr(0, end))
                    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (const auto at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
                    length = std::stoul(lower.substr(at + 17));
                }
                expected = end + 4 + length;
            }
        }
        return data;
    }

    void serve() {
        size_t next = 0;
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            const std::string request = read_request(fd);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const Step& step = script_[std::min(next, script_.size() - 1)];
            ++next;
            step(fd, request);
            close(fd);
        }
    }

    std::vector<Step> script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

}  // namespace velora::testing_support
