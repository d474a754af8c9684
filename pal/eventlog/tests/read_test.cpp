// Reading: sequential and seek reads in both directions, whole records per buffer, the
// short-buffer and end-of-log answers, and clearing (with its backup file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "pal/core/root.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/tests/eventlog_test_util.h"

namespace {

using namespace evtest;
using Numbers = std::vector<DWORD>;

// Application holds records 1..5 of growing length (record n has n strings).
class Reading : public testing::Test {
protected:
    void SetUp() override {
        log_ = OpenEventLogA(nullptr, "Application");
        ASSERT_NE(log_, nullptr);
        ASSERT_TRUE(ClearEventLogA(log_, nullptr));
        HANDLE src = RegisterEventSourceA(nullptr, "Reader");
        for (int n = 1; n <= 5; ++n) {
            std::vector<std::string> s(static_cast<size_t>(n), "string " + std::to_string(n));
            ASSERT_TRUE(Write(src, 1000 + static_cast<DWORD>(n), s));
        }
        DeregisterEventSource(src);
        for (int n = 1; n <= 5; ++n) length_[n] = LengthOf(static_cast<DWORD>(n));
    }
    void TearDown() override { CloseEventLog(log_); }

    DWORD LengthOf(DWORD number) {
        HANDLE h = OpenEventLogA(nullptr, "Application");
        Read r = ReadLog(h, kSeekFwd, number, 0);
        CloseEventLog(h);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        return r.needed;
    }

    HANDLE log_ = nullptr;
    DWORD length_[6] = {};
};

TEST_F(Reading, CountAndOldestDescribeTheLog) {
    EXPECT_EQ(Oldest(log_), 1u);
    EXPECT_EQ(Count(log_), 5u);
    ASSERT_TRUE(ClearEventLogA(log_, nullptr));
    EXPECT_EQ(Oldest(log_), 0u);
    EXPECT_EQ(Count(log_), 0u);
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, 4096).error, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ReadLog(log_, kSeqBack, 0, 4096).error, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(ReadLog(log_, kSeekFwd, 1, 4096).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Reading, SequentialForwardsFromTheOldestBackwardsFromTheNewest) {
    Read r = ReadLog(log_, kSeqFwd, 0, 0x10000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.numbers, (Numbers{1, 2, 3, 4, 5}));
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, 0x10000).error, static_cast<DWORD>(ERROR_HANDLE_EOF));

    HANDLE back = OpenEventLogA(nullptr, "Application");
    EXPECT_EQ(ReadLog(back, kSeqBack, 0, 0x10000).numbers, (Numbers{5, 4, 3, 2, 1}));
    EXPECT_EQ(ReadLog(back, kSeqBack, 0, 0x10000).error, static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseEventLog(back);
}

TEST_F(Reading, OnlyWholeRecordsFitAndTheNextReadGoesOn) {
    // Room for records 1 and 2 and most of 3.
    DWORD size = length_[1] + length_[2] + length_[3] - 1;
    Read r = ReadLog(log_, kSeqFwd, 0, size);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.numbers, (Numbers{1, 2}));
    EXPECT_EQ(r.bytes, length_[1] + length_[2]);
    EXPECT_EQ(r.buffer[r.bytes], 0xEE);  // nothing written past the last whole record
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, size).numbers, (Numbers{3, 4}));
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, size).numbers, (Numbers{5}));
}

TEST_F(Reading, ShortBufferGivesTheNeededSizeAndKeepsThePosition) {
    // The watch job's probe: a 56-byte header buffer on a seek read.
    Read probe = ReadLog(log_, kSeekFwd, 3, 56);
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(probe.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(probe.needed, length_[3]);
    EXPECT_EQ(probe.bytes, 0u);
    EXPECT_EQ(probe.buffer, std::vector<uint8_t>(56, 0xEE));
    Read got = ReadLog(log_, kSeekFwd, 3, probe.needed);
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.numbers, Numbers{3});

    // The tray monitor's probe: 1 byte, sequential backwards, then the size it learnt.
    HANDLE h = OpenEventLogA(nullptr, "Application");
    for (DWORD expect = 5; expect >= 4; --expect) {
        Read small = ReadLog(h, kSeqBack, 0, 1);
        EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(small.needed, length_[expect]);
        // Asking again changes nothing: the position did not move.
        EXPECT_EQ(ReadLog(h, kSeqBack, 0, 1).needed, length_[expect]);
        EXPECT_EQ(ReadLog(h, kSeqBack, 0, small.needed).numbers, Numbers{expect});
    }
    // A failed read in the middle leaves the position after record 4 as well.
    EXPECT_EQ(ReadLog(h, kSeqBack, 0, 0).needed, length_[3]);
    EXPECT_EQ(ReadLog(h, kSeqBack, 0, 0x10000).numbers, (Numbers{3, 2, 1}));
    CloseEventLog(h);
}

TEST_F(Reading, SeekReadsStartAtTheRecordAndSetThePosition) {
    EXPECT_EQ(ReadLog(log_, kSeekFwd, 2, 0x10000).numbers, (Numbers{2, 3, 4, 5}));
    EXPECT_EQ(ReadLog(log_, kSeekBack, 4, 0x10000).numbers, (Numbers{4, 3, 2, 1}));
    EXPECT_EQ(ReadLog(log_, kSeekFwd, 5, 0x10000).numbers, Numbers{5});

    // Sequential reads go on from the last record the seek read, in either direction.
    ASSERT_EQ(ReadLog(log_, kSeekFwd, 2, length_[2]).numbers, Numbers{2});
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, length_[3]).numbers, Numbers{3});
    EXPECT_EQ(ReadLog(log_, kSeqBack, 0, 0x10000).numbers, (Numbers{2, 1}));
    ASSERT_EQ(ReadLog(log_, kSeekBack, 4, length_[4]).numbers, Numbers{4});
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, 0x10000).numbers, Numbers{5});

    // Records not (or no longer) in the log cannot be sought, and the position stays.
    ASSERT_EQ(ReadLog(log_, kSeekFwd, 1, length_[1]).numbers, Numbers{1});
    for (DWORD missing : {0u, 6u, 0xFFFFFFFFu})
        for (DWORD flags : {kSeekFwd, kSeekBack})
            EXPECT_EQ(ReadLog(log_, flags, missing, 0x10000).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, length_[2]).numbers, Numbers{2});
}

TEST_F(Reading, BadFlagsAndHandlesAreRefused) {
    for (DWORD flags : {0u, EVENTLOG_SEQUENTIAL_READ, EVENTLOG_FORWARDS_READ, kSeqFwd | EVENTLOG_SEEK_READ,
                        kSeqFwd | EVENTLOG_BACKWARDS_READ})
        EXPECT_EQ(ReadLog(log_, flags, 1, 0x10000).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << flags;
    DWORD bytes = 0, needed = 0;
    uint8_t buf[256];
    EXPECT_FALSE(ReadEventLogA(log_, kSeqFwd, 0, nullptr, sizeof buf, &bytes, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE src = RegisterEventSourceA(nullptr, "Reader");
    EXPECT_FALSE(ReadEventLogA(src, kSeqFwd, 0, buf, sizeof buf, &bytes, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseEventLog(src));
    EXPECT_TRUE(DeregisterEventSource(src));
    EXPECT_FALSE(Write(src, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EVENTLOG_FULL_INFORMATION full{7};
    EXPECT_TRUE(GetEventLogInformation(log_, EVENTLOG_FULL_INFO, &full, sizeof full, &needed));
    EXPECT_EQ(full.dwFull, 0u);  // full logs overwrite
    // A buffer above the system's limit is used up to the limit.
    EXPECT_EQ(ReadLog(log_, kSeqFwd, 0, 0x100000).numbers.size(), 5u);
}

TEST_F(Reading, ClearRestartsNumberingAndResetsSequentialReaders) {
    HANDLE reader = OpenEventLogA(nullptr, "Application");
    ASSERT_EQ(ReadLog(reader, kSeqFwd, 0, 0x10000).numbers.size(), 5u);
    ASSERT_TRUE(ClearEventLogA(log_, nullptr));
    HANDLE src = RegisterEventSourceA(nullptr, "Reader");
    ASSERT_TRUE(Write(src, 1));
    ASSERT_TRUE(Write(src, 2));
    DeregisterEventSource(src);
    EXPECT_EQ(Oldest(log_), 1u);
    EXPECT_EQ(Count(log_), 2u);
    // The reader had reached record 5; after the clear it starts again at the oldest.
    EXPECT_EQ(ReadLog(reader, kSeqFwd, 0, 0x10000).numbers, (Numbers{1, 2}));
    CloseEventLog(reader);
}

TEST_F(Reading, ClearWithBackupWritesTheRecordsFirst) {
    std::vector<std::vector<uint8_t>> before = AllRecords("Application");
    ASSERT_EQ(before.size(), 5u);
    std::string path = pal::core::RootDir() + "/backup-" + std::to_string(getpid()) + ".evt";
    unlink(path.c_str());
    ASSERT_TRUE(ClearEventLogA(log_, path.c_str()));
    EXPECT_EQ(Count(log_), 0u);

    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto dw = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, file.data() + at, 4);
        return v;
    };
    size_t body = 0;
    for (const auto& r : before) body += r.size();
    ASSERT_EQ(file.size(), 0x30 + body + 0x28);
    const DWORD end = static_cast<DWORD>(0x30 + body);
    // Header: size, signature, version 1.1, start, end, next number, oldest, max size.
    DWORD header[] = {0x30, 0x654C664C, 1, 1, 0x30, end, 6, 1, pal::eventlog::kDefaultMaxSize, 0, 0, 0x30};
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(dw(4 * i), header[i]) << "header DWORD " << i;
    size_t at = 0x30;
    for (const auto& r : before) {
        EXPECT_TRUE(std::equal(r.begin(), r.end(), file.begin() + static_cast<long>(at)));
        at += r.size();
    }
    DWORD eof[] = {0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x30, end, 6, 1, 0x28};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(dw(end + 4 * i), eof[i]) << "end DWORD " << i;

    // A backup file that exists already: nothing is cleared.
    HANDLE src = RegisterEventSourceA(nullptr, "Reader");
    ASSERT_TRUE(Write(src, 1));
    DeregisterEventSource(src);
    EXPECT_FALSE(ClearEventLogA(log_, path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(Count(log_), 1u);
    unlink(path.c_str());
}

TEST(Writing, BadArgumentsWriteNothing) {
    HANDLE log = OpenEventLogA(nullptr, "Application");
    ASSERT_TRUE(ClearEventLogA(log, nullptr));
    HANDLE src = RegisterEventSourceA(nullptr, "Writer");
    LPCSTR withNull[] = {"a", nullptr};
    EXPECT_FALSE(ReportEventA(src, 1, 0, 1, nullptr, 2, 0, withNull, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReportEventA(src, 1, 0, 1, nullptr, 0, 4, nullptr, nullptr));
    uint8_t badSid[8] = {2, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_FALSE(ReportEventA(src, 1, 0, 1, badSid, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<uint8_t> huge(0x80000);
    EXPECT_FALSE(Write(src, 1, {}, huge));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Count(log), 0u);
    DeregisterEventSource(src);
    CloseEventLog(log);
}

}  // namespace
