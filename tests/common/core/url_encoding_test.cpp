#include "common/http/url_encoding.hpp"

#include <gtest/gtest.h>

namespace velora::core {
namespace {

struct EncodeCase {
    std::string text;
    std::string encoded;
};

class PercentEncode : public testing::TestWithParam<EncodeCase> {};

TEST_P(PercentEncode, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(percent_encode(GetParam().text), GetParam().encoded);
}

TEST_P(PercentEncode, DecodesBackExactly) {
    EXPECT_EQ(percent_decode(GetParam().encoded), GetParam().text);
    EXPECT_EQ(percent_decode(GetParam().encoded, true), GetParam().text);  // no bare '+' survives encoding
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PercentEncode,
    testing::Values(
        EncodeCase{"", ""}, EncodeCase{"AZaz09-._~", "AZaz09-._~"}, EncodeCase{"a b", "a%20b"},
        EncodeCase{"1+1", "1%2B1"}, EncodeCase{"50%", "50%25"},
        EncodeCase{"a/b?c=d&e#f", "a%2Fb%3Fc%3Dd%26e%23f"}, EncodeCase{"\xC3\xA9", "%C3%A9"},
        // a console statement with brackets, quotes and a LIKE pattern
        EncodeCase{"SELECT [Metric].[Resource ID] FROM [Model] WHERE [Metric].[Description] LIKE '%jail%'",
                   "SELECT%20%5BMetric%5D.%5BResource%20ID%5D%20FROM%20%5BModel%5D%20WHERE%20%5BMetric%5D."
                   "%5BDescription%5D%20LIKE%20%27%25jail%25%27"}));

TEST(PercentDecode, KeepsMalformedEscapesAndReadsPlusOnlyInForms) {
    EXPECT_EQ(percent_decode("100%"), "100%");
    EXPECT_EQ(percent_decode("%zz%4"), "%zz%4");
    EXPECT_EQ(percent_decode("a+b"), "a+b");
    EXPECT_EQ(percent_decode("a+b", true), "a b");
    EXPECT_EQ(percent_decode("%2b%2B"), "++");
}

TEST(FormEncode, JoinsFieldsInOrderWithPlusForBlanks) {
    EXPECT_EQ(
        form_encode({{"apikey", "k y+/="}, {"grant_type", "urn:velora:params:oauth:grant-type:apikey"}}),
        "apikey=k+y%2B%2F%3D&grant_type=urn%3Avelora%3Aparams%3Aoauth%3Agrant-type%3Aapikey");
    EXPECT_EQ(form_encode({}), "");
    EXPECT_EQ(form_encode({{"a", ""}, {"b&c", "d"}}), "a=&b%26c=d");
}

struct UrlCase {
    std::string url;
    std::string shown;
};

class UrlForMessages : public testing::TestWithParam<UrlCase> {};

TEST_P(UrlForMessages, DropsUserInformationQueryAndFragment) {
    EXPECT_EQ(url_for_messages(GetParam().url), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlForMessages,
    testing::Values(UrlCase{"https://h.example/api/query?q=SELECT&token=abc", "https://h.example/api/query"},
                    UrlCase{"http://user:secret@h:8080/v1/models", "http://h:8080/v1/models"},
                    UrlCase{"http://h/a#frag", "http://h/a"},
                    UrlCase{"http://h/path@with-at", "http://h/path@with-at"}, UrlCase{"h:1/x?y", "h:1/x"}));

TEST(UrlWithoutUserInfo, KeepsEverythingButTheUserInformation) {
    EXPECT_EQ(url_without_user_info("https://ops:p@ss@h:8443/a/b?q=1#f"), "https://h:8443/a/b?q=1#f");
    EXPECT_EQ(url_without_user_info("https://h/app/x@y"), "https://h/app/x@y");
    EXPECT_EQ(url_without_user_info("https://u@h"), "https://h");
    EXPECT_EQ(url_without_user_info(""), "");
}

}  // namespace
}  // namespace velora::core
