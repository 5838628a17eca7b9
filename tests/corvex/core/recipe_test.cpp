#include "corvex/core/recipe.hpp"

#include <gtest/gtest.h>

#include "corvex/core/error.hpp"

namespace velora::core::corvex {
namespace {

TEST(Recipe, CardAlone) {
    const auto r = parse_recipe("card=cards.harmful_code.frr.frr_cse_benchmark");
    EXPECT_EQ(r.card, "cards.harmful_code.frr.frr_cse_benchmark");
    EXPECT_FALSE(r.max_test_instances.has_value());
}

TEST(Recipe, CapAndBlanksInAnyOrder) {
    const auto r = parse_recipe(" max_test_instances = 100 , card = cards.x.y ");
    EXPECT_EQ(r.card, "cards.x.y");
    ASSERT_TRUE(r.max_test_instances.has_value());
    EXPECT_EQ(*r.max_test_instances, 100u);
    EXPECT_EQ(*parse_recipe("card=cards.x,max_test_instances=0").max_test_instances, 0u);
}

struct BadRecipe {
    const char* text;
    const char* says;
};

class BadRecipes : public testing::TestWithParam<BadRecipe> {};

TEST_P(BadRecipes, AreCorvexErrors) {
    try {
        parse_recipe(GetParam().text);
        FAIL() << "accepted " << GetParam().text;
    } catch (const CorvexError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().says), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadRecipes,
    testing::Values(BadRecipe{"", "not a key=value pair"},
                    BadRecipe{"max_test_instances=5", "card is required"},
                    BadRecipe{"card=a,card=b", "card is given twice"},
                    BadRecipe{"card=cards.x,split=train", "unknown key \"split\""},
                    BadRecipe{"card=cards.x,max_test_instances=-1", "whole number >= 0"},
                    BadRecipe{"card=cards.x,max_test_instances=1.5", "whole number >= 0"},
                    BadRecipe{"card=cards.x,max_test_instances=", "max_test_instances has no value"},
                    BadRecipe{"card=cards.x,", "not a key=value pair"},
                    BadRecipe{"=cards.x", "a pair has no key"},
                    BadRecipe{"cards.x", "not a key=value pair"}));

}  // namespace
}  // namespace velora::core::corvex
