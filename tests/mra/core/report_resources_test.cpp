#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "mra/core/report/resources.hpp"

namespace velora::core {
namespace {

namespace fs = std::filesystem;

// A package folder with templates/ and resources/, a file beside them, and a link that leads out.
class ReportResourcePath : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/report_resources_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = fs::canonical(pattern);
        fs::create_directories(root_ / "templates");
        fs::create_directories(root_ / "resources");
        std::ofstream(root_ / "templates" / "error.svg") << "<svg/>";
        std::ofstream(root_ / "templates" / "a b.css") << "p{}";
        std::ofstream(root_ / "secret.txt") << "secret";
        fs::create_symlink(root_ / "secret.txt", root_ / "templates" / "link.svg");
    }
    void TearDown() override { fs::remove_all(root_); }

    std::optional<std::string> resolve(const std::string& url) const {
        return report_resource_path(url, {(root_ / "templates").string(), (root_ / "resources").string()});
    }

    fs::path root_;
};

TEST_F(ReportResourcePath, ServesOnlyExistingFilesInsideTheFolders) {
    const std::string icon = (root_ / "templates" / "error.svg").string();
    EXPECT_EQ(resolve("file://" + icon), icon);
    EXPECT_EQ(resolve("file://localhost" + icon), icon);
    EXPECT_EQ(resolve("FILE:" + icon + "?v=1#top"), icon);
    EXPECT_EQ(resolve("file://" + (root_ / "templates" / "a%20b.css").string()),
              (root_ / "templates" / "a b.css").string());

    for (const std::string& refused : std::vector<std::string>{
             "file://" + (root_ / "secret.txt").string(),                       // beside the folders
             "file://" + (root_ / "templates" / ".." / "secret.txt").string(),  // climbing out
             "file://" + (root_ / "templates" / "link.svg").string(),           // a link leading out
             "file://" + (root_ / "templates").string(),                        // the folder itself
             "file://" + (root_ / "templates" / "missing.svg").string(), "file://otherhost" + icon,
             "file:///etc/passwd", "http://127.0.0.1:8000/error.svg", "https://example.org" + icon,
             "data:image/svg+xml;base64,PHN2Zy8+", "error.svg", ""}) {
        EXPECT_EQ(resolve(refused), std::nullopt) << refused;
    }
}

TEST(Base64, EncodesWithPadding) {
    const std::pair<const char*, const char*> cases[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : cases) EXPECT_EQ(base64_encode(plain), encoded) << plain;
    EXPECT_EQ(base64_encode(std::string("\xff\x00\xfe", 3)), "/wD+");
    EXPECT_EQ(data_uri(mime_type_of("/t/error.svg"), "<svg/>"), "data:image/svg+xml;base64,PHN2Zy8+");
}

}  // namespace
}  // namespace velora::core
