// The size limit: the oldest records make room for new ones, numbers keep growing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>

#include "pal/core/root.h"
#include "pal/core/sqlite_store.h"

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/tests/eventlog_test_util.h"

namespace {

using namespace evtest;

DWORD FirstLength(HANDLE log) {
    Read r = ReadLog(log, kSeekFwd, Oldest(log), 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    return r.needed;
}

TEST(SizeLimit, OldestRecordsAreOverwrittenAndNumbersKeepGrowing) {
    AddSource("Small", "Small");
    HANDLE log = OpenEventLogA(nullptr, "Small");
    HANDLE src = RegisterEventSourceA(nullptr, "Small");
    ASSERT_TRUE(Write(src, 1, {"payload"}));
    const DWORD length = FirstLength(log);
    DeregisterEventSource(src);
    ASSERT_TRUE(ClearEventLogA(log, nullptr));

    // Room for ten records and a half; MaxSize is read when the source is registered.
    SetMaxSize("Small", 10 * length + length / 2);
    src = RegisterEventSourceA(nullptr, "Small");
    HANDLE reader = OpenEventLogA(nullptr, "Small");
    for (DWORD i = 1; i <= 10; ++i) ASSERT_TRUE(Write(src, i, {"payload"}));
    EXPECT_EQ(Oldest(log), 1u);
    EXPECT_EQ(Count(log), 10u);
    ASSERT_EQ(ReadLog(reader, kSeqFwd, 0, length).numbers, std::vector<DWORD>{1});

    for (DWORD i = 11; i <= 25; ++i) ASSERT_TRUE(Write(src, i, {"payload"}));
    EXPECT_EQ(Oldest(log), 16u);
    EXPECT_EQ(Count(log), 10u);
    pal::eventlog::LogInfo info;
    ASSERT_TRUE(pal::eventlog::GetLogInfo(log, info));
    EXPECT_EQ(info.size, 10u * length);
    EXPECT_EQ(info.nextNumber, 26u);

    // A reader left behind goes on at the oldest record that is left; the overwritten
    // ones cannot be sought.
    EXPECT_EQ(ReadLog(reader, kSeqFwd, 0, length).numbers, std::vector<DWORD>{16});
    EXPECT_EQ(ReadLog(log, kSeekFwd, 15, 0x10000).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadLog(log, kSeekBack, 25, 0x10000).numbers.size(), 10u);

    // A record longer than the whole log is refused and deletes nothing.
    std::vector<uint8_t> big(11 * length);
    EXPECT_FALSE(Write(src, 99, {}, big));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOG_FILE_FULL));
    EXPECT_EQ(Oldest(log), 16u);
    EXPECT_EQ(Count(log), 10u);
    DeregisterEventSource(src);
    CloseEventLog(reader);
    CloseEventLog(log);
}

TEST(SizeLimit, RecordsOfMixedSizesDeleteNoMoreThanNeeded) {
    AddSource("Mixed", "Mixed");
    const DWORD kMax = 4000;
    SetMaxSize("Mixed", kMax);
    HANDLE src = RegisterEventSourceA(nullptr, "Mixed");
    HANDLE log = OpenEventLogA(nullptr, "Mixed");
    std::mt19937 rng(7);
    std::vector<DWORD> length(1);  // of record i, learnt while it still exists
    for (DWORD i = 1; i <= 300; ++i) {
        ASSERT_TRUE(Write(src, i, {}, std::vector<uint8_t>(rng() % 700)));
        length.push_back(ReadLog(log, kSeekFwd, i, 0).needed);
        const DWORD oldest = Oldest(log);
        ASSERT_EQ(oldest + Count(log) - 1, i);
        uint64_t total = 0;
        for (DWORD n = oldest; n <= i; ++n) total += length[n];
        ASSERT_LE(total, kMax) << "after record " << i;
        // The record before the oldest would not have fitted beside the others.
        if (oldest > 1) {
            ASSERT_GT(total + length[oldest - 1], kMax) << "after record " << i;
            // Gone for readers, whether or not its row is purged yet.
            ASSERT_EQ(ReadLog(log, kSeekFwd, oldest - 1, 0x10000).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
        Read back = ReadLog(log, kSeekBack, i, 0x10000);
        ASSERT_EQ(back.numbers.size(), i - oldest + 1);
        ASSERT_EQ(back.numbers.back(), oldest);
    }
    // Overwritten rows do not pile up in the store: at most a sixteenth of the limit
    // waits to be purged beyond what the log holds.
    std::string why;
    auto db = pal::core::SqliteDb::Open(pal::core::RootDir() + "/eventlog.db", nullptr, why);
    ASSERT_TRUE(db) << why;
    auto sum = db->Prepare(
        "SELECT sum(length(record)) FROM records WHERE key >> 32 = (SELECT id FROM logs WHERE name = 'Mixed')");
    ASSERT_EQ(sum.Step(), SQLITE_ROW);
    EXPECT_LE(sum.Int(0), int64_t{kMax} + kMax / 16 + 800);
    DeregisterEventSource(src);
    CloseEventLog(log);
}

}  // namespace
