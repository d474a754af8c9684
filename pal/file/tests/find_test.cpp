// DOS wildcard matching and FindFirstFile/FindNextFile.
#include <set>
#include <vector>

#include "pal/file/tests/file_test_util.h"
#include "pal/file/wildcard.h"

using namespace filetest;

namespace {

TEST(WildcardTest, DosRules) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"*", "anything.at.all", true},
        {"*", ".", true},
        {"*.*", "noextension", true},
        {"*.*", "..", true},
        {"*.log", "VQAPL.LOG", true},
        {"*.log", "vqapl.log.bak", false},
        {"*.log", "vqapl.logx", false},
        {"vqapl.*", "vqapl.0315", true},
        {"vqapl.*", "VQAPL.0315a", true},
        {"vqapl.*", "vqapl", true},
        {"vqapl.*", "vqapl0315", false},
        {"*.", "README", true},
        {"*.", "readme.txt", false},
        {"a?c", "abc", true},
        {"a?c", "abbc", false},
        {"a?c", "ac", false},
        {"a??", "a", true},
        {"a??", "abcd", false},
        {"file?.txt", "file.txt", true},
        {"file?.txt", "file1.txt", true},
        {"file?.txt", "file12.txt", false},
        {"*a*b", "xaybzb", true},
        {"*a*b", "xaybz", false},
        {"Exact.Name", "exact.name", true},
        {"Exact.Name", "exact.nam", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pal::MatchFilePattern(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

std::vector<std::string> FindAll(const std::string& pattern, std::vector<WIN32_FIND_DATAA>* data = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd{};
    HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return {"<error " + std::to_string(GetLastError()) + ">"};
    do {
        names.push_back(fd.cFileName);
        if (data) data->push_back(fd);
    } while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    return names;
}

using Names = std::vector<std::string>;

TEST(FindFileTest, WildcardsMatchIgnoringCase) {
    WriteText(InDir("vqapl.log"), "12345");
    WriteText(InDir("VQERR.LOG"), "");
    WriteText(InDir("vqapl.0315"), "");
    WriteText(InDir("vqapl.0315a"), "");
    WriteText(InDir("notes.txt"), "");
    ASSERT_TRUE(CreateDirectoryA(InDir("Sub").c_str(), nullptr));

    EXPECT_EQ(FindAll(InDir("*.log")), (Names{"vqapl.log", "VQERR.LOG"}));
    EXPECT_EQ(FindAll(InDir("VQAPL.*")), (Names{"vqapl.0315", "vqapl.0315a", "vqapl.log"}));
    EXPECT_EQ(FindAll(InDir("vqapl.031?")), (Names{"vqapl.0315"}));
    EXPECT_EQ(FindAll(InDir("NOTES.TXT")), (Names{"notes.txt"}));  // the name as stored
    EXPECT_EQ(FindAll(TestDir() + "\\*"),
              (Names{".", "..", "notes.txt", "Sub", "vqapl.0315", "vqapl.0315a", "vqapl.log", "VQERR.LOG"}));

    std::vector<WIN32_FIND_DATAA> data;
    EXPECT_EQ(FindAll(InDir("*u*"), &data), (Names{"Sub"}));
    EXPECT_TRUE(data.at(0).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    data.clear();
    EXPECT_EQ(FindAll(InDir("vqapl.log"), &data), (Names{"vqapl.log"}));
    EXPECT_EQ(data.at(0).nFileSizeLow, 5u);
    EXPECT_EQ(data.at(0).nFileSizeHigh, 0u);
    EXPECT_FALSE(data.at(0).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    WIN32_FILE_ATTRIBUTE_DATA attrs{};
    ASSERT_TRUE(GetFileAttributesExA(InDir("vqapl.log").c_str(), GetFileExInfoStandard, &attrs));
    EXPECT_EQ(CompareFileTime(&attrs.ftLastWriteTime, &data.at(0).ftLastWriteTime), 0);
}

TEST(FindFileTest, FailuresAndDriveRoots) {
    TestDir();
    WIN32_FIND_DATAA fd{};
    EXPECT_EQ(FindFirstFileA(InDir("*.none").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA(InDir("nodir\\*").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A drive's root has no "." and "..".
    const auto names = FindAll("C:\\*");
    const std::set<std::string> found(names.begin(), names.end());
    EXPECT_EQ(found.count("."), 0u);
    EXPECT_EQ(found.count(".."), 0u);
}

}  // namespace
