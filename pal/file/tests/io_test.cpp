// ReadFile/WriteFile at the file pointer and at OVERLAPPED offsets, the file pointer,
// end of file, sizes, compression and file times on handles.
#include <cstring>

#include "pal/file/file_object.h"
#include "pal/file/tests/file_test_util.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

using namespace filetest;

namespace {

class FileIoTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = InDir("io.bin");
        WriteText(path_, "0123456789");
        h_ = Open(path_, kReadWrite, kShareAll, OPEN_EXISTING);
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { CloseHandle(h_); }

    std::string ReadAt(uint64_t offset, DWORD size) {
        std::string buf(size, '\0');
        OVERLAPPED ov = At(offset);
        DWORD n = 0;
        if (!ReadFile(h_, buf.data(), size, &n, &ov)) return "<error " + std::to_string(GetLastError()) + ">";
        return buf.substr(0, n);
    }
    std::string ReadHere(DWORD size) {
        std::string buf(size, '\0');
        DWORD n = 0;
        if (!ReadFile(h_, buf.data(), size, &n, nullptr)) return "<error " + std::to_string(GetLastError()) + ">";
        return buf.substr(0, n);
    }
    DWORD Pointer() { return SetFilePointer(h_, 0, nullptr, FILE_CURRENT); }

    std::string path_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileIoTest, PointerTransfersAdvanceThePointer) {
    EXPECT_EQ(ReadHere(4), "0123");
    EXPECT_EQ(ReadHere(4), "4567");
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h_, "ab", 2, &n, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ReadHere(10), "");  // end of file: success with nothing read
    EXPECT_EQ(ReadText(path_), "01234567ab");
    ASSERT_TRUE(WriteFile(h_, "", 0, &n, nullptr));  // a null write changes nothing
    EXPECT_EQ(GetFileSize(h_, nullptr), 10u);
}

TEST_F(FileIoTest, OverlappedOffsetsPlaceTheTransfer) {
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED ov = At(4);
    ov.hEvent = ev;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h_, "AB", 2, &n, &ov));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ReadText(path_), "0123AB6789");

    char buf[8] = {};
    ov = At(2);
    ov.hEvent = ev;
    ResetEvent(ev);
    ASSERT_TRUE(ReadFile(h_, buf, 4, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "23AB");
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(h_, &ov, &transferred, FALSE));
    EXPECT_EQ(transferred, 4u);
    // On a synchronous handle the pointer follows positioned I/O.
    EXPECT_EQ(Pointer(), 6u);
    EXPECT_EQ(ReadHere(4), "6789");

    // A positioned read at the end reports it, through GetOverlappedResult too.
    ov = At(10);
    EXPECT_FALSE(ReadFile(h_, buf, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(GetOverlappedResult(h_, &ov, &transferred, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);

    // Writing past the end fills the gap with zeros.
    ov = At(12);
    ASSERT_TRUE(WriteFile(h_, "Z", 1, &n, &ov));
    EXPECT_EQ(ReadText(path_), std::string("0123AB6789\0\0Z", 13));
    CloseHandle(ev);
}

TEST_F(FileIoTest, OverlappedHandleKeepsNoPointer) {
    HANDLE h = Open(path_, kReadWrite, kShareAll, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = At(8);
    char buf[4] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, 2, nullptr, &ov));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "89");
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0u);
    ov = At(~0ull);  // all ones: append
    ASSERT_TRUE(WriteFile(h, "+", 1, &n, &ov));
    EXPECT_EQ(ReadText(path_), "0123456789+");
    CloseHandle(h);
}

TEST_F(FileIoTest, FilePointerMovesFromEachOrigin) {
    EXPECT_EQ(SetFilePointer(h_, 3, nullptr, FILE_BEGIN), 3u);
    EXPECT_EQ(SetFilePointer(h_, 2, nullptr, FILE_CURRENT), 5u);
    EXPECT_EQ(SetFilePointer(h_, -4, nullptr, FILE_END), 6u);

    // Before the start: refused, pointer unchanged.
    EXPECT_EQ(SetFilePointer(h_, -7, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(Pointer(), 6u);
    LARGE_INTEGER d{}, pos{};
    d.QuadPart = -11;
    EXPECT_FALSE(SetFilePointerEx(h_, d, &pos, FILE_END));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Beyond the end: allowed; the size changes only when something is written there.
    EXPECT_EQ(SetFilePointer(h_, 100, nullptr, FILE_BEGIN), 100u);
    EXPECT_EQ(GetFileSize(h_, nullptr), 10u);
    EXPECT_EQ(ReadHere(4), "");
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h_, "x", 1, &n, nullptr));
    EXPECT_EQ(GetFileSize(h_, nullptr), 101u);

    // 64-bit positions through the high part.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h_, 16, &high, FILE_BEGIN), 16u);
    EXPECT_EQ(high, 1);
    EXPECT_EQ(SetFilePointer(h_, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);  // needs a high part
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    d.QuadPart = -16;
    ASSERT_TRUE(SetFilePointerEx(h_, d, &pos, FILE_CURRENT));
    EXPECT_EQ(pos.QuadPart, 0x100000000LL);
    ASSERT_TRUE(WriteFile(h_, "y", 1, &n, nullptr));
    DWORD sizeHigh = 0;
    EXPECT_EQ(GetFileSize(h_, &sizeHigh), 1u);
    EXPECT_EQ(sizeHigh, 1u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h_, &size));
    EXPECT_EQ(size.QuadPart, 0x100000001LL);
}

TEST_F(FileIoTest, SetEndOfFileCutsAndExtends) {
    SetFilePointer(h_, 4, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(h_));
    EXPECT_EQ(ReadText(path_), "0123");
    EXPECT_EQ(Pointer(), 4u);
    SetFilePointer(h_, 6, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(h_));
    EXPECT_EQ(ReadText(path_), std::string("0123\0\0", 6));
}

TEST_F(FileIoTest, CompressionRequestSucceeds) {
    // As the application log creates its backups.
    HANDLE h = Open(InDir("backup.0315"), kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW,
                    FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_COMPRESSED | FILE_FLAG_SEQUENTIAL_SCAN);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD n = 99;
    EXPECT_TRUE(DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WriteFile(h, "log", 3, &n, nullptr));
    format = 9;
    EXPECT_FALSE(DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(h, 0x00070000, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(GetFileType(h), static_cast<DWORD>(FILE_TYPE_DISK));
    CloseHandle(h);
    EXPECT_EQ(ReadText(InDir("backup.0315")), "log");
}

TEST_F(FileIoTest, FileTimesRoundTrip) {
    SYSTEMTIME st{2021, 3, 0, 15, 12, 34, 56, 789};
    FILETIME write{}, access{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &write));
    st.wYear = 2020;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &access));
    write.dwLowDateTime += 1234;  // below a millisecond: kept to the 100 ns tick
    ASSERT_TRUE(SetFileTime(h_, nullptr, &access, &write));

    FILETIME c{}, a{}, w{};
    ASSERT_TRUE(GetFileTime(h_, &c, &a, &w));
    EXPECT_EQ(CompareFileTime(&w, &write), 0);
    EXPECT_EQ(CompareFileTime(&a, &access), 0);

    // A null time leaves that time alone.
    FILETIME later = write;
    later.dwHighDateTime += 1;
    ASSERT_TRUE(SetFileTime(h_, nullptr, nullptr, &later));
    ASSERT_TRUE(GetFileTime(h_, nullptr, &a, &w));
    EXPECT_EQ(CompareFileTime(&a, &access), 0);
    EXPECT_EQ(CompareFileTime(&w, &later), 0);
}

}  // namespace

// A write-through handle's writes are on disk when they return; its flush goes to the disk
// only for what is not: its own cuts and anything changed through another handle.
TEST(FileFlushTest, WriteThroughHandleSyncsOnlyWhatIsNotOnDiskYet) {
    using pal::FileObject;
    const std::string path = InDir("flush.bin");
    HANDLE through = Open(path, kReadWrite, kShareAll, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH);
    HANDLE buffered = Open(path, kReadWrite, kShareAll, OPEN_EXISTING);
    ASSERT_NE(through, INVALID_HANDLE_VALUE);
    ASSERT_NE(buffered, INVALID_HANDLE_VALUE);
    auto writeAt = [](HANDLE h, uint64_t offset, const char* text) {
        OVERLAPPED ov = At(offset);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, text, static_cast<DWORD>(std::strlen(text)), &n, &ov));
    };
    auto syncsBy = [](HANDLE h) {
        const uint64_t before = FileObject::SyncsIssued();
        EXPECT_TRUE(FlushFileBuffers(h));
        return FileObject::SyncsIssued() - before;
    };

    writeAt(through, 0, "aaaa");
    EXPECT_EQ(syncsBy(through), 1u) << "nothing is known of the file before its first flush";
    writeAt(through, 4, "bbbb");
    EXPECT_EQ(syncsBy(through), 0u) << "written through";
    EXPECT_EQ(syncsBy(through), 0u);

    // Change times are taken from the clock; a pause keeps the other handle's change
    // apart from the last sync on file systems whose times are coarse.
    Sleep(20);
    writeAt(buffered, 8, "cccc");
    EXPECT_EQ(syncsBy(through), 1u) << "another handle's write is not written through";
    EXPECT_EQ(syncsBy(through), 0u);

    Sleep(20);
    SetFilePointer(through, 6, nullptr, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(through));
    EXPECT_EQ(syncsBy(through), 1u) << "a cut is not written through";
    writeAt(through, 0, "AA");
    EXPECT_EQ(syncsBy(through), 0u);

    EXPECT_EQ(syncsBy(buffered), 1u) << "a buffered handle always syncs";
    EXPECT_EQ(syncsBy(buffered), 1u);
    CloseHandle(buffered);
    CloseHandle(through);
    EXPECT_EQ(ReadText(path), "AAaabb");
}
