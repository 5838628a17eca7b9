#include "common/response_cache.hpp"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <cstdio>

namespace velora::core {
namespace {

constexpr const char* kCreate =
    "CREATE TABLE answers (key TEXT PRIMARY KEY, text TEXT NOT NULL, finish_reason TEXT NOT NULL) "
    "WITHOUT ROWID";

sqlite3* db_of(void* db) { return static_cast<sqlite3*>(db); }
sqlite3_stmt* stmt_of(void* stmt) { return static_cast<sqlite3_stmt*>(stmt); }

// Resets a statement when the step that used it ends, however it ends.
struct StatementUse {
    sqlite3_stmt* stmt;
    ~StatementUse() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

std::string column_text(sqlite3_stmt* stmt, int column) {
    const auto* text = sqlite3_column_text(stmt, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

void bind_text(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::string cache_key(const std::vector<std::string_view>& parts) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    for (const auto part : parts) {
        const std::string length = std::to_string(part.size()) + ":";
        EVP_DigestUpdate(context, length.data(), length.size());
        EVP_DigestUpdate(context, part.data(), part.size());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context, digest, &size);
    EVP_MD_CTX_free(context);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

ResponseCache::ResponseCache(std::string path) : path_(std::move(path)) {
    sqlite3* db = nullptr;
    const int opened =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_ = db;
    if (opened != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(opened);
        sqlite3_close(db);
        db_ = nullptr;
        throw ResponseCacheError("Cannot open the response cache " + path_ + ": " + why);
    }
    try {
        sqlite3_busy_timeout(db, 10000);  // another process writing the same cache
        check_identity();
        prepare_statements();
    } catch (...) {
        sqlite3_close(db);
        db_ = nullptr;
        throw;
    }
}

ResponseCache::~ResponseCache() {
    sqlite3_finalize(stmt_of(find_));
    sqlite3_finalize(stmt_of(insert_));
    sqlite3_close(db_of(db_));
}

void ResponseCache::fail(const std::string& what) const {
    throw ResponseCacheError("Response cache " + path_ + ": " + what + ": " + sqlite3_errmsg(db_of(db_)));
}

// Nothing is written before the file is known to be ours or empty.
void ResponseCache::check_identity() {
    auto* db = db_of(db_);
    sqlite3_stmt* stmt = nullptr;
    const char* query =
        "SELECT (SELECT application_id FROM pragma_application_id), "
        "(SELECT user_version FROM pragma_user_version), (SELECT count(*) FROM sqlite_master)";
    if (sqlite3_prepare_v2(db, query, -1, &stmt, nullptr) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_ROW) {
        const int code = sqlite3_errcode(db);
        sqlite3_finalize(stmt);
        if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
            throw ResponseCacheError(
                path_ + " is not a response cache (not a SQLite database); it was left as it is");
        fail("cannot be read");
    }
    const int application = sqlite3_column_int(stmt, 0), format = sqlite3_column_int(stmt, 1);
    const int tables = sqlite3_column_int(stmt, 2);
    sqlite3_finalize(stmt);
    if (application == 0 && format == 0 && tables == 0) {
        const std::string create = std::string("BEGIN IMMEDIATE; ") + kCreate +
                                   "; PRAGMA application_id = " + std::to_string(kApplicationId) +
                                   "; PRAGMA user_version = " + std::to_string(kFormat) + "; COMMIT;";
        if (sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            // Another process may have made it meanwhile; then it is ours now.
            if (sqlite3_exec(db, "SELECT 1 FROM answers LIMIT 1", nullptr, nullptr, nullptr) != SQLITE_OK)
                fail("cannot be created");
        }
    } else if (application != kApplicationId) {
        throw ResponseCacheError(path_ +
                                 " is not a response cache (a SQLite database of something else); "
                                 "it was left as it is");
    } else if (format > kFormat) {
        throw ResponseCacheError(path_ + " is a response cache of a newer format (" + std::to_string(format) +
                                 ") than this version reads (" + std::to_string(kFormat) +
                                 "); it was left as it is");
    }
    // Write-ahead log: a commit is one append, and a crash never leaves a half-written answer.
    if (sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", nullptr, nullptr,
                     nullptr) != SQLITE_OK)
        fail("cannot be set up");
}

void ResponseCache::prepare_statements() {
    sqlite3_stmt* find = nullptr;
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db_of(db_), "SELECT text, finish_reason FROM answers WHERE key = ?", -1, &find,
                           nullptr) != SQLITE_OK)
        fail("has no answers table");
    find_ = find;
    if (sqlite3_prepare_v2(db_of(db_), "INSERT OR REPLACE INTO answers VALUES (?, ?, ?)", -1, &insert,
                           nullptr) != SQLITE_OK)
        fail("has no answers table");
    insert_ = insert;
}

std::optional<CachedAnswer> ResponseCache::find(const std::string& key) {
    auto* stmt = stmt_of(find_);
    StatementUse use{stmt};
    bind_text(stmt, 1, key);
    const int step = sqlite3_step(stmt);
    if (step == SQLITE_DONE) return std::nullopt;
    if (step != SQLITE_ROW) fail("cannot be read");
    return CachedAnswer{column_text(stmt, 0), column_text(stmt, 1)};
}

void ResponseCache::store(const std::string& key, const CachedAnswer& answer) {
    auto* stmt = stmt_of(insert_);
    StatementUse use{stmt};
    bind_text(stmt, 1, key);
    bind_text(stmt, 2, answer.text);
    bind_text(stmt, 3, answer.finish_reason);
    if (sqlite3_step(stmt) != SQLITE_DONE) fail("cannot be written");
}

bool ResponseCache::writable() const { return sqlite3_db_readonly(db_of(db_), "main") == 0; }

std::size_t ResponseCache::size() {
    sqlite3_stmt* stmt = nullptr;
    std::size_t count = 0;
    if (sqlite3_prepare_v2(db_of(db_), "SELECT count(*) FROM answers", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        count = static_cast<std::size_t>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    return count;
}

}  // namespace velora::core
