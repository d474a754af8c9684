// Reading .evt backups back (plain, wrapped, damaged) and importing their records.
#include <gtest/gtest.h>

#include <cstring>

#include "pal/eventlog/backup.h"
#include "pal/eventlog/backup_reader.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/tests/eventlog_test_util.h"

namespace {

using namespace pal::eventlog;
using Image = std::vector<uint8_t>;

Image Record(DWORD number, const std::string& text, size_t dataBytes = 0) {
    static const uint8_t sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
    std::vector<uint8_t> data(dataBytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + number);
    RecordFields f;
    f.recordNumber = number;
    f.timeGenerated = 946684800 + number;
    f.timeWritten = 946684900 + number;
    f.eventId = 0xC0000000u | number;
    f.eventType = EVENTLOG_WARNING_TYPE;
    f.category = static_cast<WORD>(number * 3);
    f.source = "Src";
    f.computer = "FAR-PC";
    f.sid = sid;
    f.sidLength = sizeof sid;
    f.strings = {text, "second"};
    f.data = data.data();
    f.dataLength = static_cast<DWORD>(data.size());
    return BuildRecord(f);
}

void PutDword(Image& b, size_t at, DWORD v) { std::memcpy(b.data() + at, &v, 4); }

BackupContents Read(const Image& file) { return ReadBackup(file.data(), file.size()); }

std::vector<DWORD> Numbers(const BackupContents& c) {
    std::vector<DWORD> n;
    for (const auto& r : c.records) {
        DWORD v;
        std::memcpy(&v, r.data() + 8, 4);
        n.push_back(v);
    }
    return n;
}

// A ring that wrapped: record 1 sits at the file's end, record 2 runs from there over the
// end into offset 0x30, record 3 follows, then the end-of-file record and stale bytes up
// to the start offset.
Image WrappedRing(const std::vector<Image>& r, size_t splitAfter) {
    const size_t tailOfSecond = r[1].size() - splitAfter;
    const size_t end = kBackupHeaderSize + tailOfSecond + r[2].size();
    const size_t start = end + kBackupEofSize + 24;
    const size_t size = start + r[0].size() + splitAfter;
    Image f(size, 0xAB);
    const DWORD header[] = {kBackupHeaderSize, ELF_LOG_SIGNATURE, 1, 1, static_cast<DWORD>(start),
                            static_cast<DWORD>(end), 4, 1, 0x10000, 2 /* wrapped */, 0, kBackupHeaderSize};
    std::memcpy(f.data(), header, sizeof header);
    std::memcpy(f.data() + start, r[0].data(), r[0].size());
    std::memcpy(f.data() + start + r[0].size(), r[1].data(), splitAfter);
    std::memcpy(f.data() + kBackupHeaderSize, r[1].data() + splitAfter, tailOfSecond);
    std::memcpy(f.data() + kBackupHeaderSize + tailOfSecond, r[2].data(), r[2].size());
    const DWORD eof[] = {kBackupEofSize, 0x11111111, 0x22222222, 0x33333333, 0x44444444,
                         static_cast<DWORD>(start), static_cast<DWORD>(end), 4, 1, kBackupEofSize};
    std::memcpy(f.data() + end, eof, sizeof eof);
    return f;
}

}  // namespace

TEST(BackupReader, ReadsWhatTheBackupWriterWroteAndAWrappedRing) {
    const std::vector<Image> records = {Record(7, "one", 5), Record(8, "two", 0), Record(9, "three", 40)};
    BackupContents c = Read(BackupImage(records, 10, 0x80000));
    EXPECT_FALSE(c.damaged) << c.damage;
    EXPECT_EQ(c.records, records);
    EXPECT_EQ(c.nextNumber, 10u);
    EXPECT_EQ(c.oldestNumber, 7u);
    EXPECT_FALSE(c.wrapped);

    c = Read(BackupImage({}, 1, 0x80000));
    EXPECT_FALSE(c.damaged) << c.damage;
    EXPECT_TRUE(c.records.empty());

    // Split inside the header, inside the strings, and just before the trailing length.
    for (size_t split : {size_t{12}, size_t{70}, records[1].size() - 4}) {
        c = Read(WrappedRing(records, split));
        EXPECT_FALSE(c.damaged) << split << ": " << c.damage;
        EXPECT_TRUE(c.wrapped);
        EXPECT_EQ(c.records, records) << "split after " << split;
    }
    // A wrapped ring whose start offset lies at the file's end cannot be followed at all.
    Image bad = WrappedRing(records, 12);
    PutDword(bad, 16, static_cast<DWORD>(bad.size()));
    c = Read(bad);
    EXPECT_TRUE(c.damaged);
    EXPECT_TRUE(c.records.empty());
}

TEST(BackupReader, DamageKeepsTheCompleteRecordsBeforeItAndSaysWhere) {
    const std::vector<Image> records = {Record(1, "a", 3), Record(2, "b", 3), Record(3, "c", 3)};
    const Image whole = BackupImage(records, 4, 0x80000);
    const size_t second = kBackupHeaderSize + records[0].size();
    const size_t end = second + records[1].size() + records[2].size();
    struct Case {
        const char* what;
        Image file;
        size_t kept;
        size_t offset;
        const char* says;
    };
    std::vector<Case> cases;
    auto cut = [&](size_t n) { return Image(whole.begin(), whole.begin() + static_cast<long>(n)); };
    auto patched = [&](size_t at, DWORD v) {
        Image f = whole;
        PutDword(f, at, v);
        return f;
    };
    cases.push_back({"cut inside record 2", cut(second + 30), 1, second, "ends before record 2"});
    cases.push_back({"cut after record 2's length", cut(second + 2), 1, second, "ends before record 2"});
    cases.push_back({"cut before the end record", cut(end), 3, end, "end-of-file record is missing"});
    cases.push_back({"garbled end record", patched(end + 4, 0), 3, end, "no end-of-file record"});
    cases.push_back({"record 2's trailing length", patched(second + records[1].size() - 4, 1), 1, second,
                     "record 2 of the file is malformed"});
    cases.push_back({"record 2's huge length", patched(second, 0x7FFFFFF0), 1, second, "impossible length"});
    cases.push_back({"record 2's signature", patched(second + 4, 0), 1, second, "malformed"});
    cases.push_back({"end offset inside record 3", patched(20, static_cast<DWORD>(end - 8)), 2,
                     second + records[1].size(), "past the end offset"});
    cases.push_back({"end offset in the header", patched(20, 8), 0, 16, "into the header"});
    cases.push_back({"start offset past the file", patched(16, 0x100000), 0, whole.size(), "before its first record"});
    cases.push_back({"not a backup", patched(4, 0x12345678), 0, 0, "not that of an event-log backup"});
    cases.push_back({"only part of the header", cut(40), 0, 0, "header is incomplete"});
    for (const Case& c : cases) {
        BackupContents got = Read(c.file);
        EXPECT_TRUE(got.damaged) << c.what;
        EXPECT_EQ(got.records.size(), c.kept) << c.what;
        EXPECT_EQ(got.damageOffset, c.offset) << c.what;
        EXPECT_NE(got.damage.find(c.says), std::string::npos) << c.what << ": " << got.damage;
        for (size_t i = 0; i < got.records.size(); ++i) EXPECT_EQ(got.records[i], records[i]) << c.what;
    }
    EXPECT_EQ(Numbers(Read(cut(second + 30))), std::vector<DWORD>{1});
}

TEST(BackupReader, ImportAppendsWithTheLogsNumbersAndKeepsEverythingElse) {
    evtest::AddSource("Imports", "ImportingSource");  // a name no other test registers
    HANDLE log = OpenEventLogA(nullptr, "Imports");
    ASSERT_TRUE(ClearEventLogA(log, nullptr));
    HANDLE src = RegisterEventSourceA(nullptr, "ImportingSource");
    ASSERT_TRUE(evtest::Write(src, 1));  // the log's own record 1
    DeregisterEventSource(src);

    std::vector<Image> records = {Record(40, "x", 9), Record(41, "y", 0)};
    DWORD first = 0, last = 0;
    ASSERT_TRUE(ImportEventLogRecords(log, records, &first, &last)) << GetLastError();
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(last, 3u);
    const auto stored = evtest::AllRecords("Imports");
    ASSERT_EQ(stored.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        Image expected = records[i];
        PutDword(expected, 8, static_cast<DWORD>(i + 2));  // only the number changes
        EXPECT_EQ(stored[i + 1], expected) << i;
    }

    // All or nothing: a malformed image, or more than the log can hold at once.
    Image broken = Record(42, "z");
    PutDword(broken, broken.size() - 4, 0);
    EXPECT_FALSE(ImportEventLogRecords(log, {Record(43, "ok"), broken}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    evtest::SetMaxSize("Imports", 0x10000);
    CloseEventLog(log);
    log = OpenEventLogA(nullptr, "Imports");
    std::vector<Image> tooMany(5, Record(50, "big", 0x3800));
    EXPECT_FALSE(ImportEventLogRecords(log, tooMany));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOG_FILE_FULL));
    EXPECT_EQ(evtest::AllRecords("Imports").size(), 3u);
    CloseEventLog(log);
}
