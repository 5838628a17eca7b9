#include "common/response_cache.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace velora::core {
namespace {

namespace fs = std::filesystem;

fs::path fresh_path(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("response_cache_test_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path path = folder / name;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix);
    return path;
}

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(ResponseCache, KeepsAnswersAcrossReopening) {
    const auto path = fresh_path("answers.sqlite");
    const std::string key = cache_key({"http://h/v1/chat/completions", "{\"model\":\"m\"}"});
    {
        ResponseCache cache(path.string());
        EXPECT_EQ(cache.find(key), std::nullopt);
        cache.store(key, {"an answer", "length"});
        cache.store(key, {"the answer", "stop"});  // replaces
    }
    ResponseCache reopened(path.string());
    const auto found = reopened.find(key);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->text, "the answer");
    EXPECT_EQ(found->finish_reason, "stop");
    EXPECT_EQ(reopened.size(), 1u);
}

TEST(ResponseCache, KeysTellPartBoundariesApart) {
    EXPECT_NE(cache_key({"ab", "c"}), cache_key({"a", "bc"}));
    EXPECT_EQ(cache_key({"ab", "c"}).size(), 64u);
}

struct ForeignFile {
    const char* name;
    const char* setup;  // SQL run on a new database; nullptr: a text file
    const char* says;
};

class RefusedCache : public ::testing::TestWithParam<ForeignFile> {};

TEST_P(RefusedCache, NamesTheFileAndLeavesItAsItIs) {
    const auto& param = GetParam();
    const auto path = fresh_path(std::string(param.name) + ".db");
    if (param.setup == nullptr) {
        std::ofstream(path) << "a shopping list\nnot a database\n";
    } else {
        sqlite3* db = nullptr;
        sqlite3_open(path.string().c_str(), &db);
        sqlite3_exec(db, param.setup, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const std::string before = bytes_of(path);
    try {
        ResponseCache cache(path.string());
        FAIL() << "accepted " << param.name;
    } catch (const ResponseCacheError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind(path.string() + " is ", 0), 0u) << message;
        EXPECT_NE(message.find(param.says), std::string::npos) << message;
    }
    EXPECT_EQ(bytes_of(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedCache,
    ::testing::Values(ForeignFile{"text", nullptr, "not a SQLite database"},
                      ForeignFile{"foreign", "CREATE TABLE notes (x)", "of something else"},
                      ForeignFile{"newer",
                                  "CREATE TABLE answers (x); PRAGMA application_id = 1447842371; "
                                  "PRAGMA user_version = 2",
                                  "newer format (2)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velora::core
