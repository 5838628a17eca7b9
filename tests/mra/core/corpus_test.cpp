#include "mra/core/report/corpus.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "mra/core/report/percentile.hpp"
#include "mra/core/risk_catalogue.hpp"

namespace velora::core {
namespace {

using Records = std::vector<std::vector<std::string>>;

struct CsvCase {
    std::string text;
    Records expected;
};

class CsvParsing : public testing::TestWithParam<CsvCase> {};

TEST_P(CsvParsing, MatchesTheRuntimeCsvReader) { EXPECT_EQ(parse_csv(GetParam().text), GetParam().expected); }

// Expected records are what csv.reader(open(path)) yields for the same file content.
INSTANTIATE_TEST_SUITE_P(Cases, CsvParsing,
                         testing::Values(CsvCase{"a,b,c\n", {{"a", "b", "c"}}},
                                         CsvCase{"a,\"b,c\",d\r\ne\n", {{"a", "b,c", "d"}, {"e"}}},
                                         CsvCase{"\n\nx\n", {{}, {}, {"x"}}},
                                         CsvCase{"a,\"b\nc\"d,e\n\"x", {{"a", "b\ncd", "e"}, {"x"}}},
                                         CsvCase{"a,\"b\"\"c\"x, \"q\"", {{"a", "b\"cx", " \"q\""}}},
                                         CsvCase{"a,\"b", {{"a", "b"}}}, CsvCase{"a,\"\"", {{"a", ""}}},
                                         CsvCase{"a,\r\rb", {{"a", ""}, {}, {"b"}}},
                                         CsvCase{"x,y,\n", {{"x", "y", ""}}}, CsvCase{",", {{"", ""}}},
                                         CsvCase{"\"a\"b,c", {{"ab", "c"}}},
                                         CsvCase{std::string("a\0b,c\n", 6), {{std::string("a\0b", 3), "c"}}},
                                         CsvCase{"", {}},
                                         CsvCase{"\"unterminated\nline two", {{"unterminated\nline two"}}}));

TEST(CsvParsing, RefusesAFieldLongerThanTheRuntimeLimit) {
    EXPECT_NO_THROW(parse_csv(std::string(131072, 'x')));
    EXPECT_THROW(parse_csv(std::string(131073, 'x')), CsvFieldTooLong);
    // The limit counts characters: 131072 two-byte characters still fit.
    std::string wide;
    for (int i = 0; i < 131072; ++i) wide += "\xc3\xa9";
    EXPECT_NO_THROW(parse_csv(wide));
}

TEST(PythonStrip, RemovesWhatTheRuntimeCountsAsWhiteSpace) {
    EXPECT_EQ(python_strip(" \t\n 0.5\r\f\v"), "0.5");
    EXPECT_EQ(python_strip("\x1c\x1f"
                           "0.5\x1d"),
              "0.5");
    EXPECT_EQ(python_strip("\xc2\xa0"
                           "0.5\xe3\x80\x80"),
              "0.5");  // no-break space, ideographic space
    EXPECT_EQ(python_strip("\xe2\x80\x8b"
                           "0.5"),
              "\xe2\x80\x8b"
              "0.5");  // zero-width space is not white space
    EXPECT_EQ(python_strip("   "), "");
}

struct ScoreListCase {
    const char* field;
    bool ok;
    std::vector<double> expected;
};

class ScoreList : public testing::TestWithParam<ScoreListCase> {};

TEST_P(ScoreList, ParsesLikeStripSplitFloat) {
    std::vector<double> out;
    ASSERT_EQ(parse_score_list(GetParam().field, out), GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(out, GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScoreList,
    testing::Values(ScoreListCase{"[0.1, 0.2, 0.3]", true, {0.1, 0.2, 0.3}},
                    ScoreListCase{"[0.1, , 0.3]", true, {0.1, 0.3}}, ScoreListCase{"[]", true, {}},
                    ScoreListCase{"", true, {}}, ScoreListCase{"[[1,2]]", true, {1, 2}},
                    ScoreListCase{"0.5,1e-3,", true, {0.5, 0.001}}, ScoreListCase{"[1,[2]", false, {}},
                    ScoreListCase{"[0.1; 0.3]", false, {}}, ScoreListCase{"[0.1, abc]", false, {}}));

struct CapturingSink final : LogSink {
    std::vector<std::string> lines;
    void debug(const std::string& message) override { lines.push_back(message); }
    void warning(const std::string& message) override { lines.push_back("WARNING " + message); }
};

TEST(ReadCorpus, KeepsGoodRowsAndLogsEveryRejectedOne) {
    const auto records = parse_csv(
        "card_name,Higher-Better,lower,upper,scores\n"
        "short,TRUE,0.1\n"
        "good,true,0.2, 0.8 ,\"[0.1, 0.5, 0.9]\"\n"
        "blank_flag, TRUE,0.2,0.8,[]\n"
        "bad_bounds,FALSE,low,0.8,[]\n"
        "bad_scores,FALSE,0.1,0.8,\"[0.1; 0.3]\"\n"
        "good,FALSE,0.0,1.0,[]\n"
        "lower,FaLsE,1,2,,extra,columns\n"
        "separator,TRUE,\x1c"
        "1,2,[]\n");
    CapturingSink log;
    const auto rows = read_corpus(records, log);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].card_name, "good");
    EXPECT_TRUE(rows[0].higher_is_better);
    EXPECT_EQ(rows[0].lower_bound, 0.2);
    EXPECT_EQ(rows[0].upper_bound, 0.8);
    EXPECT_EQ(rows[0].scores, (std::vector<double>{0.1, 0.5, 0.9}));
    EXPECT_EQ(rows[1].card_name, "lower");
    EXPECT_FALSE(rows[1].higher_is_better);
    EXPECT_TRUE(rows[1].scores.empty());
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "Unexpected boolean value: Higher-Better",
                             "Skipping malformed row: ['short', 'TRUE', '0.1']",
                             "Unexpected boolean value:  TRUE",
                             "Invalid bounds in row: ['bad_bounds', 'FALSE', 'low', '0.8', '[]']",
                             "Invalid corpus score list: [0.1; 0.3]",
                             "Duplicate card name found: good",
                             // float() does not strip the ASCII separators that str.strip() does.
                             "Invalid bounds in row: ['separator', 'TRUE', '\\x1c1', '2', '[]']",
                         }));
}

TEST(ReadCorpus, UpperCasesTheFlagAsTheRuntimeDoes) {
    // "ſ" (long s) upper-cases to "S", so this is FALSE; a dotless "ı" is no "I" in TRUE anyway.
    CapturingSink log;
    const auto rows = read_corpus(parse_csv("c,fal\xc5\xbf"
                                            "e,0,1,[]\nd,tru\xc3\xa9,0,1,[]\n"),
                                  log);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0].higher_is_better);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(ReadFileBytes, ReportsTheErrnoOfAMissingFile) {
    try {
        read_file_bytes("/nonexistent/corpus.csv");
        FAIL() << "no error";
    } catch (const FileReadError& error) {
        EXPECT_EQ(error.error_number(), ENOENT);
        EXPECT_EQ(error.path(), "/nonexistent/corpus.csv");
    }
    try {
        read_file_bytes("/");
        FAIL() << "no error";
    } catch (const FileReadError& error) {
        EXPECT_EQ(error.error_number(), EISDIR);
    }
}

// The shipped corpus: one row per card that the risk catalogue scores, nine scores each, and
// bounds that are the 25th and 75th percentiles of those scores.
TEST(ShippedCorpus, HasOneConsistentRowPerScoredCard) {
    const std::string package = std::string(VELORA_SOURCE_DIR) + "/src/python/velora_metrics_plugin/mra";
    CapturingSink log;
    const auto rows = read_corpus(
        parse_csv(read_file_bytes(package + "/resources/22_cards_benchmark_results-25-75-corpus.csv")), log);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Unexpected boolean value: Higher-Better"});

    // Cards the evaluator never runs, whatever the catalogue lists.
    const std::vector<std::string> excluded = {"cards.safety.goadset",
                                               "cards.data_leakage.empty_data_leakage_card",
                                               "cards.safety.simple_safety_tests",
                                               "cards.toxigen",
                                               "cards.pop_qa",
                                               "cards.ethos_binary",
                                               "cards.prompt_leakage.glue_qnli_with_system_prompt"};
    std::vector<std::string> scored;
    for (const auto& risk : load_risk_catalogue(package + "/catalogue/risk_catalogue.json").risks) {
        for (const auto& card : risk.cards) {
            // A card that measures two risks (jailbreaking and prompt injection share theirs) has one row.
            if (std::find(excluded.begin(), excluded.end(), card) == excluded.end() &&
                std::find(scored.begin(), scored.end(), card) == scored.end()) {
                scored.push_back(card);
            }
        }
    }
    ASSERT_EQ(scored.size(), 25u);
    std::vector<std::string> names;
    for (const auto& row : rows) names.push_back(row.card_name);
    EXPECT_EQ(names, scored);

    for (const auto& row : rows) {
        SCOPED_TRACE(row.card_name);
        ASSERT_EQ(row.scores.size(), 9u);
        for (const double score : row.scores) {
            EXPECT_GE(score, 0.0);
            EXPECT_LE(score, 1.0);
        }
        EXPECT_EQ(row.lower_bound, linear_percentile(row.scores, 25));
        EXPECT_EQ(row.upper_bound, linear_percentile(row.scores, 75));
        EXPECT_LT(row.lower_bound, row.upper_bound);
    }
}

}  // namespace
}  // namespace velora::core
