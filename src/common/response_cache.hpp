// Answers of model services kept in a SQLite file, so that a repeated request is not sent again and
// a run that stops part-way resumes where it stopped.
//
// Keys are made by the caller from everything that determines the answer (cache_key: SHA-256 of
// the parts); values are the answer text and its finish reason. Each answer is written in its own
// transaction as it arrives, in write-ahead-log mode, so the file stays whole if the process dies
// at any moment and every answer committed before that is kept.
//
// The file says what it is: SQLite's application id kApplicationId and user version kFormat. A
// file that is not SQLite, a database of something else, or a cache of a newer format is refused
// with ResponseCacheError naming the file; it is never rewritten. A missing or empty file becomes a
// new cache.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

class ResponseCacheError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct CachedAnswer {
    std::string text;
    std::string finish_reason;  // as the service said it ("stop", "length", ...); may be empty
};

// Lower-case hex SHA-256 of the parts, each prefixed by its length so that no two lists of parts
// give the same input.
std::string cache_key(const std::vector<std::string_view>& parts);

class ResponseCache {
  public:
    static constexpr int kApplicationId = 0x564c5243;  // "VLRC"
    static constexpr int kFormat = 1;

    explicit ResponseCache(std::string path);
    ~ResponseCache();
    ResponseCache(const ResponseCache&) = delete;
    ResponseCache& operator=(const ResponseCache&) = delete;

    std::optional<CachedAnswer> find(const std::string& key);
    // Stores (or replaces) one answer, committed before it returns.
    void store(const std::string& key, const CachedAnswer& answer);
    std::size_t size();
    // False when the file could be opened for reading only (write-protected): every store would fail.
    bool writable() const;
    const std::string& path() const noexcept { return path_; }

  private:
    void check_identity();
    void prepare_statements();
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    void* db_ = nullptr;      // sqlite3*
    void* find_ = nullptr;    // sqlite3_stmt*
    void* insert_ = nullptr;  // sqlite3_stmt*
};

}  // namespace velora::core
