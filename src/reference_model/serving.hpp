// How the reference model's program serves connections: a thread per open connection, made as
// connections come and kept for the next ones, and optional answer slots that make it answer only
// so many generation requests at once, like a model server with that many slots (for benches).
#pragma once

#include <httplib.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velora::core::reference_model {

// A kept-alive connection holds its thread while it lasts, so a fixed pool stalls every client
// beyond its size until some connection goes idle for the keep-alive time-out. Threads here grow
// with the connections open at once, up to `max_threads`; beyond that, connections wait their turn.
class ConnectionThreads final : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(std::size_t max_threads) : max_threads_(max_threads) {}

    void enqueue(std::function<void()> job) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        if (jobs_.size() > idle_ && threads_.size() < max_threads_) {
            ++idle_;  // counted idle from its making, so that one job does not make two threads
            threads_.emplace_back([this] { work(); });
        }
        wake_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_) thread.join();
    }

  private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
            if (jobs_.empty()) return;  // stopping, and every connection taken has been served
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            --idle_;
            lock.unlock();
            job();
            lock.lock();
            ++idle_;
        }
    }

    const std::size_t max_threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// At most `count` holders at once; the others wait in turn.
class AnswerSlots {
  public:
    explicit AnswerSlots(std::size_t count) : free_(count) {}

    template <typename Work>
    void hold(Work&& work) {
        {
            std::unique_lock lock(mutex_);
            freed_.wait(lock, [&] { return free_ > 0; });
            --free_;
        }
        struct Release {
            AnswerSlots& slots;
            ~Release() {
                std::lock_guard lock(slots.mutex_);
                ++slots.free_;
                slots.freed_.notify_one();
            }
        } release{*this};
        work();
    }

  private:
    std::mutex mutex_;
    std::condition_variable freed_;
    std::size_t free_;
};

// Binds by `bind` (the port, or -1), then widens the listening socket's backlog: the library's is
// 5, and when a thousand clients connect at once those beyond it are reset.
template <typename Bind>
int bind_with_wide_backlog(httplib::Server& server, Bind&& bind) {
    constexpr int kBacklog = 4096;  // the system's own cap (somaxconn) may be lower
    auto listener = std::make_shared<int>(-1);
    server.set_socket_options([listener](int sock) {
        httplib::default_socket_options(sock);
        *listener = sock;
    });
    const int port = bind();
    if (port >= 0 && *listener >= 0) ::listen(*listener, kBacklog);
    return port;
}

// Every open connection is a file descriptor: take as many as the hard limit allows.
inline void raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace velora::core::reference_model
