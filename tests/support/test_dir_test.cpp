// The test folder: one per process, fresh, and gone once its process ends,
// but not when a forked child (a death test) ends.
#include "test_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "process.h"

namespace {

namespace fs = std::filesystem;

// Run as a child of the cases below: writes a file into its own folder and
// prints the folder's path.
TEST(TestDir, ChildPrintsItsFolder) {
    if (std::getenv("HEXBURN_TEST_DIR_CHILD") == nullptr) {
        GTEST_SKIP() << "run by the other cases of this file";
    }
    std::ofstream(test_path("left.txt")) << "x";
    std::printf("[%s]\n", test_dir().c_str());
}

std::string child_folder() {
    ProcessResult child = run_process({fs::read_symlink("/proc/self/exe").string(),
                                       "--gtest_filter=TestDir.ChildPrintsItsFolder"},
                                      {"HEXBURN_TEST_DIR_CHILD=1"});
    EXPECT_EQ(child.exit_status, 0) << child.out;
    const std::size_t open = child.out.find('[');
    const std::size_t close = child.out.find("]\n", open);
    EXPECT_NE(close, std::string::npos) << child.out;
    return close == std::string::npos ? "" : child.out.substr(open + 1, close - open - 1);
}

TEST(TestDir, IsAFreshFolderUnderTheTemporaryOne) {
    const fs::path dir = test_dir();
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::equivalent(dir.parent_path(), fs::temp_directory_path())) << dir;
    EXPECT_TRUE(dir.filename().string().starts_with("hexburn-test-")) << dir;
    EXPECT_EQ(&test_dir(), &test_dir());
    EXPECT_EQ(test_path("a.bin"), test_dir() + "/a.bin");
}

TEST(TestDir, EachProcessHasItsOwnAndRemovesItAtExit) {
    const std::string first = child_folder();
    const std::string second = child_folder();
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, second);
    EXPECT_NE(first, test_dir());
    EXPECT_FALSE(fs::exists(first)) << "left behind";
    EXPECT_FALSE(fs::exists(second)) << "left behind";
}

TEST(TestDir, ForkedChildLeavesItAlone) {
    std::ofstream(test_path("kept.txt")) << "x";
    const pid_t pid = fork();
    if (pid == 0) {
        std::exit(0);  // static destructors run, as in a death test's child
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(fs::exists(test_path("kept.txt")));
}

}  // namespace
