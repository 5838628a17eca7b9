// Catalogue and dataset rules, on card folders written to a temporary directory.
#include "corvex/core/catalog.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "corvex/core/dataset.hpp"
#include "corvex/core/error.hpp"
#include "corvex/core/input_files.hpp"

namespace velora::core::corvex {
namespace {

namespace fs = std::filesystem;

class Catalogue : public testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("corvex_catalog_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "cards");
        fs::create_directories(root_ / "data");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& relative, const std::string& text) {
        std::ofstream(root_ / relative) << text;
    }
    void write_mc_card(const std::string& extra_task = "") {
        write("cards/cards.t.mc.json", R"({"id": "cards.t.mc", "description": "d", "provenance": "ours",
          "splits": {"test": "data/mc.jsonl"},
          "task": {"format": "multiple_choice", )" +
                                           extra_task + R"(
                   "fields": {"question": "q", "choices": "options", "answer": "gold"}},
          "metric": {"family": "multiple_choice", "main": "accuracy",
                     "orientation": {"accuracy": "higher_is_better"}}, "judge": null})");
    }
    std::string expect_error(const std::function<void()>& action) {
        try {
            action();
        } catch (const CorvexError& error) {
            return error.what();
        }
        ADD_FAILURE() << "no CorvexError";
        return {};
    }
    std::string root() const { return root_.string(); }

    fs::path root_;
};

TEST_F(Catalogue, BuildsMultipleChoicePromptsAndTaskData) {
    write_mc_card();
    write("data/mc.jsonl",
          "{\"id\": 1, \"q\": \"Sky colour?\", \"options\": [\"Blue\", \"Green\"], \"gold\": 0}\n\n"
          "{\"id\": \"two\", \"q\": \"Two plus two?\", \"options\": [\"3\", \"4\", \"5\"], \"gold\": 1}\n");
    const auto card = load_card(root(), "cards.t.mc");
    const auto instances = load_instances(card, "test", std::nullopt);
    ASSERT_EQ(instances.size(), 2u);
    EXPECT_EQ(instances[0]["source"],
              "Sky colour?\nA. Blue\nB. Green\nAnswer with the letter of the correct option.");
    EXPECT_EQ(instances[1]["references"], ordered_json::array({"B"}));
    EXPECT_EQ(instances[1]["task_data"].dump(),
              R"({"card":"cards.t.mc","id":"two","choices":["3","4","5"],"answer":1})");
    EXPECT_EQ(load_instances(card, "test", 1).size(), 1u);
    EXPECT_EQ(load_instances(card, "test", 0).size(), 0u);
}

TEST_F(Catalogue, UnknownCardsAndSplits) {
    write_mc_card();
    write("data/mc.jsonl", "");
    EXPECT_NE(
        expect_error([&] { load_card(root(), "cards.t.nothing"); }).find("unknown card cards.t.nothing"),
        std::string::npos);
    EXPECT_NE(expect_error([&] { load_card(root(), "cards.../../etc"); }).find("unknown card"),
              std::string::npos);
    EXPECT_NE(expect_error([&] { load_card(root(), "safety.x"); }).find("begin with \"cards.\""),
              std::string::npos);
    const auto card = load_card(root(), "cards.t.mc");
    EXPECT_NE(
        expect_error([&] { load_instances(card, "train", std::nullopt); }).find("has no split \"train\""),
        std::string::npos);
}

struct BadRecord {
    const char* line;
    const char* says;
};

class CorruptData : public Catalogue, public testing::WithParamInterface<BadRecord> {};

TEST_P(CorruptData, NamesTheFileAndLine) {
    write_mc_card();
    write("data/mc.jsonl",
          std::string("{\"id\": 1, \"q\": \"ok\", \"options\": [\"a\", \"b\"], \"gold\": 0}\n") +
              GetParam().line + "\n");
    const auto card = load_card(root(), "cards.t.mc");
    // A cap that stops before the bad line still reports it: the file is checked whole.
    const std::string message = expect_error([&] { load_instances(card, "test", 1); });
    EXPECT_NE(message.find("card cards.t.mc"), std::string::npos) << message;
    EXPECT_NE(message.find((root_ / "data/mc.jsonl").string() + " line 2"), std::string::npos) << message;
    EXPECT_NE(message.find(GetParam().says), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Records, CorruptData,
    testing::Values(
        BadRecord{"{\"id\": 2, \"q\": \"x\"", "not valid JSON"}, BadRecord{"[1, 2]", "not a JSON object"},
        BadRecord{"{\"q\": \"x\", \"options\": [\"a\", \"b\"], \"gold\": 0}", "no \"id\""},
        BadRecord{"{\"id\": 2, \"options\": [\"a\", \"b\"], \"gold\": 0}", "no field \"q\""},
        BadRecord{"{\"id\": 2, \"q\": \"x\", \"options\": [\"a\"], \"gold\": 0}", "2 to 26 options"},
        BadRecord{"{\"id\": 2, \"q\": \"x\", \"options\": [\"a\", \"b\"], \"gold\": 2}",
                  "not an option index"},
        BadRecord{"{\"id\": 2, \"q\": 5, \"options\": [\"a\", \"b\"], \"gold\": 0}", "not a text"},
        BadRecord{"{\"id\": 2, \"q\": \"caf\xe9\", \"options\": [\"a\", \"b\"], \"gold\": 0}",
                  "is not UTF-8 text (byte 20)"},
        BadRecord{"{\"id\": 2, \"q\": \"x\", \"options\": [\"a\", \"b\"], \"gold\": 1e400}",
                  "not valid JSON"},
        BadRecord{
            "{\"id\": 2, \"deep\": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}",
            "deeper than 32 levels"}));

const std::string kPlainTask = R"("task": {"format": "plain", "fields": {"prompt": "prompt"}})";
const std::string kRefusalMetric =
    R"("metric": {"family": "refusal", "main": "refusal_rate", "params": {"expected": "refuse"},
                  "orientation": {"refusal_rate": "higher_is_better"}})";

std::string card_json(const std::string& metric = kRefusalMetric, const std::string& task = kPlainTask) {
    return R"({"id": "cards.t.r", "description": "d", "provenance": "ours", "splits": {"test": "data/r.jsonl"}, )" +
           task + ", " + metric + R"(, "judge": null})";
}

std::string edited(const std::string& from, const std::string& to, std::string text = card_json()) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

std::string leakage_metric(const std::string& params) {
    return R"("metric": {"family": "leakage", "main": "leakage_rate", "params": )" + params +
           R"(, "orientation": {"leakage_rate": "lower_is_better", "exact_leakage_rate": "lower_is_better"}})";
}

struct BadCard {
    std::string text;
    const char* says;
};

class CorruptCards : public testing::TestWithParam<BadCard> {};

TEST_P(CorruptCards, NameTheCardFileAndProblem) {
    try {
        parse_card(GetParam().text, "cards.t.r", "cards/cards.t.r.json");
        FAIL() << "parsed";
    } catch (const CorvexError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("card cards.t.r: card file cards/cards.t.r.json ", 0), 0u) << message;
        EXPECT_NE(message.find(GetParam().says), std::string::npos) << message;
    }
}

const std::string kSecretTask = R"("task": {"format": "plain", "fields": {"prompt": "p", "secret": "s"}})";

INSTANTIATE_TEST_SUITE_P(
    Cases, CorruptCards,
    testing::Values(
        BadCard{edited("\"judge\": null}", "\"judge\": null"), "not valid JSON"},
        BadCard{edited("\"id\": \"cards.t.r\"", "\"id\": \"cards.t.other\""), "names another card"},
        BadCard{edited("\"format\": \"plain\"", "\"format\": \"essay\""), "unknown task format"},
        BadCard{edited("{\"prompt\": \"prompt\"}", "{\"text\": \"prompt\"}"), "unknown task role \"text\""},
        BadCard{edited("{\"prompt\": \"prompt\"}", "{}"), "role \"prompt\""},
        BadCard{edited("\"refuse\"", "\"maybe\""), "select no metric"},
        BadCard{edited("\"main\": \"refusal_rate\"", "\"main\": \"accuracy\""), "does not report"},
        BadCard{edited("\"higher_is_better\"", "\"good\""), "orientation other than"},
        BadCard{edited("{\"refusal_rate\": \"higher_is_better\"}", "{}"),
                "no orientation for \"refusal_rate\""},
        BadCard{edited("\"data/r.jsonl\"", "\"../r.jsonl\""), "outside the catalogue"},
        // Hostile or damaged files: bytes, nesting, sizes and types a reader must not trust.
        BadCard{edited("\"d\"", "\"caf\xe9\""), "is not UTF-8 text (byte"},
        BadCard{"\xff\xfe{}", "is not UTF-8 text (byte 1)"}, BadCard{" \n ", "is empty"},
        BadCard{edited("\"judge\": null",
                       "\"judge\": null, \"x\": " + std::string(40, '[') + std::string(40, ']')),
                "deeper than 32 levels"},
        BadCard{edited("\"judge\": null", "\"judge\": null, \"x\": 1e400"), "not valid JSON"},
        BadCard{edited("\"d\"", "5"), "has a \"description\" that is not a text"},
        BadCard{edited("\"refuse\"", "5"), "select no metric"},
        BadCard{edited("\"judge\": null", "\"judge\": null, \"bootstrap\": {\"resamples\": 1000000000000}"),
                "\"resamples\" from 1 to 100000"},
        BadCard{card_json(leakage_metric("{\"ngram\": 1e300}"), kSecretTask),
                "\"ngram\" that is not a whole number"},
        BadCard{card_json(leakage_metric("{\"coverage\": \"half\"}"), kSecretTask),
                "\"coverage\" that is not a number"},
        BadCard{card_json(R"("metric": {"family": "toxicity", "main": "toxicity_rate",
                          "params": {"lexicon": "../../etc/passwd"}, "orientation": {"toxicity_rate": "lower_is_better"}})"),
                "lexicon that is not a file path inside the catalogue"},
        BadCard{card_json(R"("metric": {"family": "llm_judge", "main": "m", "params": {"metrics": ["m", 7]},
                          "orientation": {"m": "higher_is_better"}})"),
                "\"metrics\" that are not all metric names"}));

TEST_F(Catalogue, CardFilesAreReadOnlyWhenRegularAndSmall) {
    write("cards/cards.t.big.json", std::string(kMaxCardFileBytes + 1, ' '));
    EXPECT_NE(expect_error([&] { load_card(root(), "cards.t.big"); }).find("is larger than 1048576 bytes"),
              std::string::npos);
    fs::create_directories(root_ / "cards/cards.t.dir.json");
    EXPECT_NE(expect_error([&] { load_card(root(), "cards.t.dir"); }).find("is not a regular file"),
              std::string::npos);
}

TEST_F(Catalogue, ADatasetWithoutRecordsIsCorrupt) {
    write_mc_card();
    write("data/mc.jsonl", "\n  \n");
    const auto card = load_card(root(), "cards.t.mc");
    EXPECT_NE(expect_error([&] { load_instances(card, "test", 0); }).find("mc.jsonl holds no records"),
              std::string::npos);
}

TEST_F(Catalogue, ListsCardFiles) {
    write_mc_card();
    write("cards/cards.a.json", "{}");
    write("cards/notes.txt", "");
    EXPECT_EQ(list_cards(root()), (std::vector<std::string>{"cards.a", "cards.t.mc"}));
}

}  // namespace
}  // namespace velora::core::corvex
