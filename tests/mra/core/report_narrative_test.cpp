#include <gtest/gtest.h>

#include "mra/core/report/narrative.hpp"

namespace velora::core {
namespace {

struct CapturingSink final : LogSink {
    std::vector<std::string> lines;
    void debug(const std::string& message) override { lines.push_back(message); }
    void warning(const std::string& message) override { lines.push_back("WARNING " + message); }
};

struct IntroCase {
    std::vector<std::string> names;
    std::string intro;
    std::string conclusion;
};

class IntroConclusionText : public testing::TestWithParam<IntroCase> {};

TEST_P(IntroConclusionText, JoinsTheDisplayNamesByCount) {
    const auto texts = risk_intro_conclusion("toxic-output", GetParam().names);
    EXPECT_EQ(texts.intro, GetParam().intro);
    EXPECT_EQ(texts.conclusion, GetParam().conclusion);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntroConclusionText,
    testing::Values(
        IntroCase{
            {"A"},
            "As mentioned earlier, toxic-output risk was tested using A dataset. We now outline the results "
            "of "
            "the testing on this dataset and also provide an overview of dataset",
            "This concludes the details of the testing done for the toxic-output category using A dataset."},
        IntroCase{
            {"A", "B"},
            "As mentioned earlier, toxic-output risk was tested using A and B. We now outline the results of "
            "the "
            "testing on these two datasets and also provide an overview of these datasets",
            "This concludes the details of the testing done for the toxic-output category using A and B."},
        IntroCase{{"A", "B", "C"},
                  "As mentioned earlier, toxic-output risk was tested using A, B, and C. We now outline the "
                  "results of "
                  "the testing on these datasets and also provide an overview of these datasets",
                  "This concludes the details of the testing done for the toxic-output category using A, B, "
                  "and C."},
        IntroCase{
            {"A", "B", "C", "D"},
            "As mentioned earlier, toxic-output risk was tested using A, B, C, and D. We now outline the "
            "results "
            "of the testing on these datasets and also provide an overview of these datasets",
            "This concludes the details of the testing done for the toxic-output category using A, B, C, and "
            "D."}));

TEST(DuplicationPointer, PointsAtWhicheverOfTheTwoCameFirst) {
    EXPECT_EQ(
        duplication_pointer("jailbreaking", "<h3>PROMPT-INJECTION</h3>..."),
        "<h3>JAILBREAKING</h3>The JAILBREAKING risk category is evaluated using the same benchmarks as the "
        "prompt injection category mentioned above.<br><br><br>");
    EXPECT_EQ(duplication_pointer("prompt-injection", "<h3>JAILBREAKING</h3>..."),
              "<h3>PROMPT-INJECTION</h3>The PROMPT-INJECTION risk category is evaluated using the same "
              "benchmarks as "
              "the jailbreaking category mentioned above.<br><br><br>");
    EXPECT_EQ(duplication_pointer("jailbreaking", "<h3>JAILBREAKING</h3>"), std::nullopt);
    EXPECT_EQ(duplication_pointer("prompt-injection", "prompt-injection jailbreaking"),
              std::nullopt);  // case matters
    EXPECT_EQ(duplication_pointer("toxic-output", "JAILBREAKING PROMPT-INJECTION"), std::nullopt);
}

SummaryCard card(std::string id, std::string name, std::string summary = "About it.") {
    return SummaryCard{std::move(id), std::move(name), std::move(summary), std::nullopt};
}

TEST(BuildSummary, SectionsListEachBenchmarkOnceAndRateTheRisk) {
    CapturingSink log;
    const std::vector<SummaryRisk> risks{
        {"harmful-output", {card("c.a", "Alpha"), card("c.b", "Beta")}, "RED"},
        {"toxic-output", {card("c.b", "Beta"), card("c.c", "Gamma & Co")}, std::nullopt},
    };
    const std::string summary = build_summary(risks, BiasFamily{"", "", "cards.safety.bbq.Age"}, log);
    EXPECT_EQ(
        summary,
        "<h3>HARMFUL-OUTPUT</h3>The risk category of HARMFUL-OUTPUT was tested using benchmarks such as "
        "Alpha and "
        "Beta.<ul><li style=\"padding-top: 20px;\" >The 'Alpha': About it.</li>"
        "<li style=\"padding-top: 20px;\" >The 'Beta': About it.</li></ul>"
        "The Model overall score for harmful-output falls within the RED category. A Red rating reflects a "
        "high-risk profile, which may indicate model vulnerability/weaknesses or potential stability "
        "concerns "
        "for this risk dimension.<br><br><br><br>"
        "<h3>TOXIC-OUTPUT</h3>The risk category of TOXIC-OUTPUT was tested using benchmarks such as Beta and "
        "Gamma &amp; Co.<ul><li>The 'Beta' was discussed before for a previous risk category above. </li><br>"
        "<li style=\"padding-top: 20px;\" >The 'Gamma &amp; Co': About it.</li></ul><br><br><br><br>");
    EXPECT_TRUE(log.lines.empty());  // the bias family's lead card is only needed for bias cards
}

TEST(BuildSummary, RiskNamesAreTextNotMarkup) {
    CapturingSink log;
    const std::vector<SummaryRisk> risks{{"<a href=\"x\">r</a>", {card("c.a", "Alpha")}, "GREEN"}};
    const std::string summary = build_summary(risks, BiasFamily{"", "", "cards.safety.bbq.Age"}, log);
    EXPECT_EQ(summary.find("<a"), std::string::npos);
    EXPECT_NE(summary.find("<h3>&lt;A HREF=\"X\"&gt;R&lt;/A&gt;</h3>"), std::string::npos);
    EXPECT_NE(summary.find("score for &lt;a href=\"x\"&gt;r&lt;/a&gt; falls"), std::string::npos);
}

TEST(BuildSummary, JailbreakingAfterPromptInjectionIsOnlyAPointer) {
    CapturingSink log;
    const std::vector<SummaryRisk> risks{{"prompt-injection", {card("c.p", "P")}, "GREEN"},
                                         {"jailbreaking", {card("c.j", "J")}, "GREEN"}};
    const std::string summary = build_summary(risks, BiasFamily{}, log);
    const std::string pointer =
        "<h3>JAILBREAKING</h3>The JAILBREAKING risk category is evaluated using the same benchmarks as the "
        "prompt "
        "injection category mentioned above.<br><br><br><br><br>";
    ASSERT_GE(summary.size(), pointer.size());
    EXPECT_EQ(summary.substr(summary.size() - pointer.size()), pointer);
    EXPECT_EQ(summary.find("'J'"), std::string::npos);
}

TEST(BuildSummary, BiasFamilyIsDescribedOnceThroughItsLeadCard) {
    CapturingSink log;
    const BiasFamily family{"BBQ - Age", "Family summary.", std::nullopt};
    const std::vector<SummaryRisk> risks{
        {"output-bias",
         {card("cards.safety.bbq.Age", "BBQ - Age"), card("cards.safety.bbq.SES", "BBQ - SES"),
          card("c.d", "Disc")},
         "ORANGE"},
        {"other-bias", {card("cards.safety.bbq.Religion", "BBQ - Religion")}, std::nullopt},
    };
    const std::string summary = build_summary(risks, family, log);
    EXPECT_NE(
        summary.find("was tested using the bias benchmark family, introduced here through 'BBQ - Age'. This "
                     "family covers BBQ in two categories: Age and SES. Family summary.<br><br><br><br>"
                     "The risk category of OUTPUT-BIAS was also tested using benchmarks such as Disc.<ul>"),
        std::string::npos);
    EXPECT_NE(summary.find("falls within the ORANGE category. A Orange rating"), std::string::npos);
    EXPECT_NE(summary.find(
                  "<h3>OTHER-BIAS</h3>The risk category of OTHER-BIAS was tested using the bias benchmark "
                  "family introduced through 'BBQ - Age'. The family 'BBQ - Age' was discussed before for a "
                  "previous risk category above.<br> <br><br>"),
              std::string::npos);
}

TEST(BuildSummary, CardsWithoutMetadataAreLoggedAndLeftOut) {
    CapturingSink log;
    SummaryCard missing{"c.gone", "", "", "c.gone"};
    SummaryCard no_name{"c.partial", "", "", "Name"};
    const std::vector<SummaryRisk> risks{{"r", {missing, card("c.a", "Alpha"), no_name}, std::nullopt},
                                         {"s", {card("cards.safety.bbq.Age", "BBQ - Age")}, std::nullopt}};
    const std::string summary = build_summary(risks, BiasFamily{"", "", "cards.safety.bbq.Age"}, log);
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"No metadata found for c.gone", "No metadata found for Name",
                                        "No metadata found for cards.safety.bbq.Age"}));
    EXPECT_NE(summary.find("benchmarks such as Alpha.<ul>"), std::string::npos);
    // Without the family's lead card, a bias card is described on its own.
    EXPECT_NE(summary.find("benchmarks such as BBQ - Age.<ul>"), std::string::npos);
}

TEST(BuildSummary, AnUnknownRatingHasNoSentence) {
    CapturingSink log;
    EXPECT_THROW(build_summary({{"r", {card("c.a", "A")}, "BLUE"}}, BiasFamily{}, log), UnknownCategory);
}

TEST(BiasFamilyCard, IsRecognisedByItsIdentifier) {
    EXPECT_TRUE(is_bias_family_card("cards.safety.bbq.Age"));
    EXPECT_TRUE(is_bias_family_card("x.cards.safety.bbq"));
    EXPECT_FALSE(is_bias_family_card("cards.safety.discrim_eval.explicit"));
}

}  // namespace
}  // namespace velora::core
