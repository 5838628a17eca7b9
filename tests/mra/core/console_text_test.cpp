// Statements, escaping and the runtime's text rules the console client relies on.
#include <gtest/gtest.h>

#include "common/http/url_encoding.hpp"
#include "mra/core/console/errors.hpp"
#include "mra/core/console/json.hpp"
#include "mra/core/console/statements.hpp"

namespace velora::core::console {
namespace {

TEST(ConsoleStatements, ValuesWithoutQuotesGiveTheStatementsAsWritten) {
    EXPECT_EQ(model_id_statement(QueryForm::Get, "granite-x"),
              "SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('granite-x')");
    EXPECT_EQ(model_id_statement(QueryForm::Post, "granite-x"),
              "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('granite-x')");
    EXPECT_EQ(metric_definitions_statement(QueryForm::Get, "MOD-1", "prompt-injection"),
              "SELECT [Metric].[Resource ID] FROM [Model] JOIN [Metric] ON PARENT([Model]) WHERE "
              "[Model].[Resource ID]='MOD-1' AND [Metric].[Description] LIKE '%prompt-injection%'");
    EXPECT_EQ(
        metric_definitions_statement(QueryForm::Post, "MOD-1", "prompt-injection"),
        "SELECT [Metric].[Resource ID], [Metric].[Name], [Metric].[Description] FROM [Model] JOIN [Metric] "
        "ON PARENT([Model]) WHERE [Model].[Resource ID]='MOD-1' AND [Metric].[Description] LIKE "
        "'%prompt-injection%'");
    EXPECT_EQ(metric_values_statement("5001"),
              "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) WHERE "
              "[Metric].[Resource ID]='5001'");
}

TEST(ConsoleStatements, SingleQuotesAreDoubled) {
    EXPECT_EQ(escape_literal("O'Brien's"), "O''Brien''s");
    EXPECT_EQ(escape_literal("''"), "''''");
    EXPECT_EQ(escape_literal(""), "");
    EXPECT_EQ(model_id_statement(QueryForm::Post, "x') OR ('1'='1"),
              "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('x'') OR (''1''=''1')");
    EXPECT_EQ(metric_values_statement("1' OR '1'='1"),
              "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) WHERE "
              "[Metric].[Resource ID]='1'' OR ''1''=''1'");
}

TEST(ConsoleStatements, GetFormCarriesTheStatementTextExactly) {
    const std::string statement = metric_definitions_statement(QueryForm::Get, "M 1+2&x=%", "it's");
    const std::string url = query_get_url("https://c.example/base", statement);
    const std::string prefix = "https://c.example/base/api/query?q=";
    ASSERT_EQ(url.substr(0, prefix.size()), prefix);
    const std::string encoded = url.substr(prefix.size());
    EXPECT_EQ(encoded.find_first_of(" '[]()&+="), std::string::npos) << encoded;
    EXPECT_EQ(percent_decode(encoded), statement);
    EXPECT_EQ(percent_decode(encoded, true), statement);  // also for a server that reads '+' as a blank
}

TEST(ConsoleStatements, BaseUrlLosesEveryTrailingSlash) {
    EXPECT_EQ(console_base_url("https://c.example///"), "https://c.example");
    EXPECT_EQ(console_base_url("https://c.example"), "https://c.example");
    EXPECT_EQ(console_base_url("/"), "");
    EXPECT_EQ(query_post_body("S 'x'"), R"({"statement":"S 'x'","skipCount":0})");
}

struct DecodeCase {
    const char* body;
    const char* message;  // what the runtime's decoder says, where it says the same
};

class ConsoleDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(ConsoleDecode, PositionsAreTheRuntimes) {
    try {
        parse_body(GetParam().body);
        FAIL() << "parsed";
    } catch (const ConsoleDecodeError& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleDecode,
    testing::Values(DecodeCase{"", "Expecting value: line 1 column 1 (char 0)"},
                    DecodeCase{"<html>", "Expecting value: line 1 column 1 (char 0)"},
                    DecodeCase{"  \n <p>", "Expecting value: line 2 column 2 (char 4)"},
                    DecodeCase{"{\"a\": }", "Invalid JSON: line 1 column 7 (char 6)"},
                    DecodeCase{"{\"\xc3\xa9\": x}", "Invalid JSON: line 1 column 7 (char 6)"},  // characters
                    // The runtime points at the opening quote of an unterminated string;
                    // we point where reading stopped.
                    DecodeCase{"{\"access_token\": \"secret-tok", "Invalid JSON: line 1 column 29 (char 28)"},
                    // Beyond a double: refused as undecodable, never an escape.
                    DecodeCase{"{\"id\": -1e375}", "Number out of range: line 1 column 1 (char 0)"}));

TEST(ConsoleDecode, NestingBeyondTheLimitIsRefused) {
    const auto nested = [](size_t depth, const std::string& inside) {
        return std::string(depth, '[') + inside + std::string(depth, ']');
    };
    EXPECT_NO_THROW(parse_body(nested(kMaxJsonNesting, "\"[[[\"")));  // brackets in text do not count
    try {
        parse_body(nested(kMaxJsonNesting + 1, ""));
        FAIL() << "parsed";
    } catch (const ConsoleDecodeError& error) {
        EXPECT_STREQ(error.what(), "Document nested too deeply: line 1 column 513 (char 512)");
    }
}

TEST(ConsoleDecode, MessageNeverQuotesTheBody) {
    try {
        parse_body(R"({"access_token": "tok-123)");
    } catch (const ConsoleDecodeError& error) {
        EXPECT_EQ(std::string(error.what()).find("tok-123"), std::string::npos);
    }
}

TEST(ConsoleJsonText, PythonTextOfDecodedValues) {
    EXPECT_EQ(python_text(Json("MOD-1")), "MOD-1");
    EXPECT_EQ(python_text(Json(5001)), "5001");
    EXPECT_EQ(python_text(Json(nullptr)), "None");
    EXPECT_EQ(python_text(Json(true)), "True");
    EXPECT_EQ(python_text(Json(0.5)), "0.5");
    EXPECT_EQ(python_text(Json(1.0)), "1.0");
    EXPECT_EQ(python_float_repr(1e16), "1e+16");
    EXPECT_EQ(python_float_repr(1.5e-05), "1.5e-05");
    EXPECT_EQ(python_float_repr(0.0001), "0.0001");
    EXPECT_EQ(python_float_repr(0.00015), "0.00015");
    EXPECT_EQ(python_float_repr(1e-05), "1e-05");
    EXPECT_EQ(python_float_repr(1e22), "1e+22");
    EXPECT_EQ(python_float_repr(1234567890123456.0), "1234567890123456.0");
    EXPECT_EQ(python_float_repr(123456789012345.0), "123456789012345.0");
    EXPECT_EQ(python_float_repr(-0.0), "-0.0");
}

TEST(ConsoleJsonText, TruthinessIsTheRuntimes) {
    for (const char* falsy : {"null", "false", "0", "0.0", "\"\"", "[]", "{}"}) {
        EXPECT_FALSE(python_truthy(Json::parse(falsy))) << falsy;
    }
    for (const char* truthy : {"true", "1", "-0.5", "\" \"", "[0]", "{\"a\":null}"}) {
        EXPECT_TRUE(python_truthy(Json::parse(truthy))) << truthy;
    }
}

TEST(ConsoleJsonText, IntOfMetricIds) {
    EXPECT_EQ(python_int(Json("5001")), 5001);
    EXPECT_EQ(python_int(Json(" -7\n")), -7);
    EXPECT_EQ(python_int(Json("1_000")), 1000);
    EXPECT_EQ(python_int(Json(12.9)), 12);
    EXPECT_EQ(python_int(Json(-12.9)), -12);
    EXPECT_EQ(python_int(Json(true)), 1);
    for (const char* bad : {"MET-1", "1__0", "_1", "1_", "4.5", "", "+"}) {
        EXPECT_THROW(python_int(Json(bad)), ConsoleValueError) << bad;
    }
    try {
        python_int(Json("MET-1"));
    } catch (const ConsoleValueError& error) {
        EXPECT_STREQ(error.what(), "invalid literal for int() with base 10: 'MET-1'");
    }
    EXPECT_THROW(python_int(Json(nullptr)), ConsoleTypeError);
    EXPECT_THROW(python_int(Json::array()), ConsoleTypeError);
}

}  // namespace
}  // namespace velora::core::console
