// Whole files: the bounded reader the tools use, and the atomic replacement the state
// files (devices, tray, display) use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "pal/core/root.h"
#include "pal/file/whole_file.h"

namespace {

namespace fs = std::filesystem;

std::string Dir(const char* name) {
    std::string dir = pal::core::RootDir() + "/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(ReplaceFileAtomically, ReplacesWholeWithReadableModeAndLeavesNoTemporaryFile) {
    const std::string dir = Dir("replace");
    const std::string path = dir + "/state";
    std::ofstream(path) << "old text that is longer than the new one\n";
    ASSERT_TRUE(pal::ReplaceFileAtomically(path, "new\n"));
    std::string bytes, why;
    ASSERT_EQ(pal::ReadWholeFile(path, 1024, bytes, why), 0) << why;
    EXPECT_EQ(bytes, "new\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);

    ASSERT_TRUE(pal::ReplaceFileAtomically(dir + "/empty", ""));
    EXPECT_EQ(fs::file_size(dir + "/empty"), 0u);
}

TEST(ReplaceFileAtomically, AFailureSaysWhyAndLeavesTheOldFile) {
    const std::string dir = Dir("replace_fail");
    errno = 0;
    EXPECT_FALSE(pal::ReplaceFileAtomically(dir + "/missing/state", "x"));
    EXPECT_EQ(errno, ENOENT);
    // A directory under the name cannot be replaced by a file; the temporary file goes.
    fs::create_directories(dir + "/taken");
    EXPECT_FALSE(pal::ReplaceFileAtomically(dir + "/taken", "x"));
    EXPECT_TRUE(fs::is_directory(dir + "/taken"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

TEST(WriteAll, WritesMoreThanAPipeHoldsAtOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text(1 << 20, 'v');
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_TRUE(pal::WriteAll(fds[1], text.data(), text.size()));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, text);
}

}  // namespace
