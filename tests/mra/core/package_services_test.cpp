#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/log_format.hpp"
#include "common/pytext.hpp"
#include "mra/core/console/urls.hpp"
#include "mra/core/risk_catalogue.hpp"
#include "mra/core/score_string.hpp"

namespace velora::core {
namespace {

TEST(RiskCatalogue, ShippedFileReadsInOrder) {
    const auto catalogue =
        load_risk_catalogue(std::string(VELORA_SOURCE_DIR) +
                            "/src/python/velora_metrics_plugin/mra/catalogue/risk_catalogue.json");
    ASSERT_EQ(catalogue.risks.size(), 8u);
    EXPECT_EQ(catalogue.risks.front().id, "jailbreaking");
    for (const auto& risk : catalogue.risks) EXPECT_FALSE(risk.cards.empty()) << risk.id;
}

class CorruptCatalogue : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(CorruptCatalogue, NamesFileAndProblem) {
    // ctest runs the cases in parallel processes: one file each.
    const std::string path = testing::TempDir() + "catalogue-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << GetParam().first;
    try {
        load_risk_catalogue(path);
        FAIL() << "accepted " << GetParam().first;
    } catch (const CatalogueError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("risk catalogue " + path + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(GetParam().second), std::string::npos) << message;
    }
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Files, CorruptCatalogue,
    testing::Values(
        std::pair{"[", "is not valid JSON"}, std::pair{"[]", "needs an object"},
        std::pair{R"({"risks": [{"id": "", "title": "t", "cards": []}]})", "non-empty text \"id\""},
        std::pair{R"({"risks": [{"id": "a", "title": "t"}]})", "needs a list \"cards\""},
        std::pair{R"({"risks": [], "recipes": {"cards.a": 1}})", "recipe of cards.a is not a text"}));

TEST(RiskCatalogue, MissingFileIsNamed) {
    EXPECT_THROW(load_risk_catalogue("/nonexistent/catalogue.json"), CatalogueError);
}

TEST(ConsoleUrls, HostParsing) {
    EXPECT_EQ(url_host("https://User@EU.Varnel.Velora.Cloud:8443/app?q=1"), "eu.varnel.velora.cloud");
    EXPECT_EQ(url_host("varnel.velora.cloud."), "varnel.velora.cloud");
    EXPECT_EQ(url_host("http://[::1]:80/x"), "[::1]");
    EXPECT_EQ(url_host(""), "");
}

TEST(ScoreString, WrittenAndReadBack) {
    EXPECT_EQ(score_string(0.8, 0.05), "0.800 +/-  0.050");
    EXPECT_EQ(score_string("5.000", -0.1), "5.000 +/-  -0.100");
    EXPECT_EQ(score_value_text("0.8123 +/-  0.0150"), "0.8123");
    EXPECT_EQ(score_value("0.8123"), 0.8123);
    EXPECT_FALSE(score_value("0.8123±0.0150").has_value());
}

TEST(LogFormat, LevelsAndJsonLines) {
    EXPECT_EQ(parse_log_level("debug"), 10);
    EXPECT_EQ(parse_log_level("Warn"), 30);
    EXPECT_EQ(parse_log_level("25"), 25);
    EXPECT_FALSE(parse_log_level("loud").has_value());
    EXPECT_FALSE(parse_log_level("-1").has_value());
    EXPECT_EQ(json_log_line("t", "DEBUG", "a.b", "say \"hi\"\n"),
              R"({"time":"t","level":"DEBUG","logger":"a.b","message":"say \"hi\"\n"})");
}

TEST(LogFormat, PrintableTextDrivesNoTerminalAndShowsNoPassword) {
    EXPECT_EQ(printable_text("\x1b]0;owned\x07title\x1b[2J ok\tand\nnext\r\x7f"),
              "\\x1b]0;owned\\x07title\\x1b[2J ok\tand\nnext\\x0d\\x7f");
    EXPECT_EQ(printable_text("csi \xC2\x9b"
                             "2J, \xC3\xA9t\xC3\xA9"),
              "csi \\x9b2J, \xC3\xA9t\xC3\xA9");  // C1, not letters
    EXPECT_EQ(printable_text("GET http://u:p@h:1/x?a=b@c and https://tok@h2 and a@b"),
              "GET http://h:1/x?a=b@c and https://h2 and a@b");
    EXPECT_EQ(json_log_line("t", "WARNING", "a", "\x1b[2J"),
              R"({"time":"t","level":"WARNING","logger":"a","message":"\\x1b[2J"})");
}

TEST(PythonText, ReprChoosesQuotesAndEscapes) {
    EXPECT_EQ(python_repr("abc"), "'abc'");
    EXPECT_EQ(python_repr("it's"), "\"it's\"");
    EXPECT_EQ(python_repr("it's \"x\""), "'it\\'s \"x\"'");
    EXPECT_EQ(python_repr("a\\b\n\x01"), "'a\\\\b\\n\\x01'");
    EXPECT_EQ(python_list_repr({"a", "b"}), "['a', 'b']");
    EXPECT_EQ(python_list_repr({}), "[]");
}

}  // namespace
}  // namespace velora::core
