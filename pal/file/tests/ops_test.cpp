// Names: move, copy, delete, directories and attributes.
#include "pal/file/tests/file_test_util.h"

using namespace filetest;

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

TEST(MoveFileTest, ExistingTargetNeedsReplaceExisting) {
    const std::string a = InDir("a.txt"), b = InDir("b.txt");
    WriteText(a, "from a");
    WriteText(b, "from b");
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadText(a), "from a");
    EXPECT_EQ(ReadText(b), "from b");
    EXPECT_FALSE(MoveFileExA(a.c_str(), InDir("B.TXT").c_str(), 0));  // same name in another case
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    ASSERT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(Attributes(a), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadText(b), "from a");

    ASSERT_TRUE(MoveFileA(b.c_str(), InDir("c.txt").c_str()));
    EXPECT_EQ(ReadText(InDir("c.txt")), "from a");
    EXPECT_FALSE(MoveFileA(b.c_str(), InDir("d.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileA(InDir("c.txt").c_str(), InDir("nodir\\c.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A rename that only changes case takes the new spelling.
    ASSERT_TRUE(MoveFileA(InDir("c.txt").c_str(), InDir("C.TXT").c_str()));
    WIN32_FIND_DATAA fd{};
    HANDLE f = FindFirstFileA(InDir("c.txt").c_str(), &fd);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.cFileName, "C.TXT");
    FindClose(f);
}

TEST(MoveFileTest, OpenFilesNeedDeleteSharing) {
    const std::string p = InDir("open.txt");
    WriteText(p, "x");
    HANDLE h = Open(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_FALSE(DeleteFileA(p.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA(p.c_str(), InDir("moved.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(h);

    h = Open(p, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_TRUE(MoveFileA(p.c_str(), InDir("moved.txt").c_str()));
    ASSERT_TRUE(DeleteFileA(InDir("moved.txt").c_str()));
    CloseHandle(h);
    EXPECT_FALSE(DeleteFileA(InDir("moved.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(CopyFileTest, CopiesDataAndLastWriteTime) {
    const std::string src = InDir("src.bin"), dst = InDir("dst.bin");
    WriteText(src, std::string(100000, 'q'));
    HANDLE h = Open(src, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    SYSTEMTIME st{2019, 7, 0, 4, 1, 2, 3, 0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);

    ASSERT_TRUE(CopyFileA(src.c_str(), dst.c_str(), TRUE));
    EXPECT_EQ(ReadText(dst), std::string(100000, 'q'));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(dst.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &ft), 0);

    EXPECT_FALSE(CopyFileA(src.c_str(), dst.c_str(), TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    WriteText(src, "short");
    ASSERT_TRUE(CopyFileA(src.c_str(), dst.c_str(), FALSE));
    EXPECT_EQ(ReadText(dst), "short");

    EXPECT_FALSE(CopyFileA(src.c_str(), src.c_str(), FALSE));  // onto itself
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadText(src), "short");
}

TEST(DirectoryTest, CreateRemoveAndAttributes) {
    const std::string d = InDir("Dir");
    ASSERT_TRUE(CreateDirectoryA(d.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(InDir("DIR").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA(InDir("none\\Dir").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Attributes(d), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    WriteText(d + "\\f.txt", "x");
    EXPECT_EQ(Attributes(d + "\\F.TXT") & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(RemoveDirectoryA(d.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryA((d + "\\f.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(DeleteFileA(d.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    ASSERT_TRUE(SetFileAttributesA((d + "\\f.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA((d + "\\f.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(SetFileAttributesA((d + "\\f.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileA((d + "\\f.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryA(d.c_str()));
    EXPECT_FALSE(RemoveDirectoryA(d.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(Attributes(InDir("none\\x")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Attributes(InDir("x")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
