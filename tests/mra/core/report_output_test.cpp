#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "mra/core/report/output.hpp"

namespace velora::core {
namespace {

namespace fs = std::filesystem;

TEST(ReportFileName, StampsTheLocalTimeZeroPadded) {
    std::tm time{};
    time.tm_year = 2025 - 1900;
    time.tm_mon = 2;
    time.tm_mday = 1;
    time.tm_hour = 14;
    time.tm_min = 5;
    time.tm_sec = 9;
    EXPECT_EQ(report_file_name(time), "mra_report_2025-03-01_14-05-09.pdf");
}

TEST(ReportFileName, TakesTheExtensionOfTheFormat) {
    std::tm time{};
    time.tm_year = 2025 - 1900;
    time.tm_mday = 1;
    EXPECT_EQ(report_file_name(time, "html"), "mra_report_2025-01-01_00-00-00.html");
}

TEST(JoinPath, AddsOneSeparatorAsTheRuntimeJoinDoes) {
    EXPECT_EQ(join_path("/tmp/out", "a.pdf"), "/tmp/out/a.pdf");
    EXPECT_EQ(join_path("/tmp/out/", "a.pdf"), "/tmp/out/a.pdf");
    EXPECT_EQ(join_path("", "a.pdf"), "a.pdf");
    EXPECT_EQ(join_path("rel", "a.pdf"), "rel/a.pdf");
}

class PendingFileTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/report_output_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }

    size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(folder_), {})); }

    fs::path folder_;
};

TEST_F(PendingFileTest, BecomesTheTargetOnlyOnCommit) {
    const std::string target = (folder_ / "report.pdf").string();
    {
        PendingFile pending(target);
        EXPECT_EQ(fs::path(pending.temporary_path()).parent_path(), folder_);
        std::ofstream(pending.temporary_path()) << "complete";
        EXPECT_FALSE(fs::exists(target));
        pending.commit();
    }
    EXPECT_EQ(entries(), 1u);
    std::ifstream in(target);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "complete");
}

TEST_F(PendingFileTest, LeavesNothingWhenAbandoned) {
    const std::string target = (folder_ / "report.pdf").string();
    {
        PendingFile pending(target);
        std::ofstream(pending.temporary_path()) << "partial";
    }
    EXPECT_EQ(entries(), 0u);
}

TEST_F(PendingFileTest, CommitReplacesAnEarlierReport) {
    const std::string target = (folder_ / "report.pdf").string();
    std::ofstream(target) << "old";
    PendingFile pending(target);
    std::ofstream(pending.temporary_path()) << "new";
    pending.commit();
    std::ifstream in(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "new");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(PendingFileTest, ACommitToAFreeNameNeverReplacesAFile) {
    const std::string target = (folder_ / "mra_report_1.pdf").string();
    std::ofstream(target) << "earlier";
    std::ofstream(folder_ / "mra_report_1-2.pdf") << "earlier too";
    std::vector<std::string> written;
    for (const char* content : {"new", "newer"}) {
        PendingFile pending(target);
        std::ofstream(pending.temporary_path()) << content;
        written.push_back(pending.commit_to_free_name());
    }
    EXPECT_EQ(written, (std::vector<std::string>{(folder_ / "mra_report_1-3.pdf").string(),
                                                 (folder_ / "mra_report_1-4.pdf").string()}));
    std::ifstream in(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "earlier");
    EXPECT_EQ(entries(), 4u);
    PendingFile free_name((folder_ / "other.html").string());
    EXPECT_EQ(free_name.commit_to_free_name(), (folder_ / "other.html").string());  // no suffix when free
}

TEST_F(PendingFileTest, GetsTheModeOfAnOrdinaryNewFile) {
    const mode_t old_mask = ::umask(022);
    PendingFile pending((folder_ / "report.pdf").string());
    ::umask(old_mask);
    struct stat info {};
    ASSERT_EQ(::stat(pending.temporary_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(PendingFile, AMissingFolderNamesTheTarget) {
    try {
        PendingFile pending("/nonexistent-folder/report.pdf");
        FAIL() << "no error";
    } catch (const OutputFileError& error) {
        EXPECT_EQ(error.error_number(), ENOENT);
        EXPECT_EQ(error.path(), "/nonexistent-folder/report.pdf");
    }
}

}  // namespace
}  // namespace velora::core
