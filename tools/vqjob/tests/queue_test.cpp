// vqjob queue: a queue file's records, and what it says about missing and damaged files.
#include <gtest/gtest.h>

#include <cstdio>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "framework/jobpipedata.h"
#include "framework/quefile.h"
#include "pal/file/path.h"
#include "tests/support/child_process.h"

namespace {

vqtest::ProgramResult Vqjob(const std::vector<std::string>& args) { return vqtest::RunProgram(VQ_TOOL_BIN, args, 60000); }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Text(DWORD serial, const char* param) {
    CJobPipeData d;
    d.SetSDA("NET1", "PCA", "norvik", "NET1", "PCB", "sender");
    d.SetAns(1);
    d.SetSerialNo(serial);
    d.SetSJob(3, 0, 0);
    d.SetExParam(param);
    const ASCII_REQUEST* a = d;
    return std::string(reinterpret_cast<const char*>(a), strnlen(reinterpret_cast<const char*>(a), 4095));
}

void WriteRaw(const std::string& linuxPath, const std::string& bytes) {
    FILE* f = std::fopen(linuxPath.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

TEST(VqjobQueue, PrintsEveryRecord) {
    const std::string path = "c:\\norvik.SEND_QUE.jpq";
    ASSERT_EQ(CQueFile::Write(path, {Text(17, "#BEGIN\n#KEY=1\n#END"), Text(18, "")}), CQueFile::kOk);
    auto r = Vqjob({"queue", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "2 records")) << r.out;
    EXPECT_TRUE(Has(r.out, "[0] ")) << r.out;
    EXPECT_TRUE(Has(r.out, "serial  17")) << r.out;
    EXPECT_TRUE(Has(r.out, "serial  18")) << r.out;
    EXPECT_TRUE(Has(r.out, "to      NET1 / PCA / norvik")) << r.out;
    EXPECT_TRUE(Has(r.out, "from    NET1 / PCB / sender")) << r.out;
    EXPECT_TRUE(Has(r.out, "    #KEY=1\n")) << r.out;
    CJobPipeData words;
    words.SetSJob(3, 0, 0);
    EXPECT_TRUE(Has(r.out, "[0] " + words.GetStrSJob1())) << r.out;

    // A Linux path works too; an empty queue is not an error.
    ASSERT_EQ(CQueFile::Write(path, {}), CQueFile::kOk);
    r = Vqjob({"queue", pal::MapPath(path.c_str())});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "0 records")) << r.out;
}

TEST(VqjobQueue, SaysWhereAFileIsDamaged) {
    const std::string host = pal::MapPath("c:\\norvik.BAD.jpq");
    std::string bytes = CQueFile::Encode({Text(1, "a"), Text(2, "b")});
    const size_t second = 2 + 1 + Text(1, "a").size();
    bytes.resize(bytes.size() - 4);
    WriteRaw(host, bytes);
    auto r = Vqjob({"queue", host});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "serial  1")) << r.out;  // the complete record before the damage
    EXPECT_FALSE(Has(r.out, "serial  2")) << r.out;
    EXPECT_TRUE(Has(r.err, "damaged at offset " + std::to_string(second) + ", record 1")) << r.err;

    WriteRaw(host, std::string("\x01\x00\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 9));
    r = Vqjob({"queue", host});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "offset 2, record 0")) << r.err;
    EXPECT_TRUE(Has(r.err, "more than 4095")) << r.err;

    r = Vqjob({"queue", host + ".none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "does not exist")) << r.err;
    EXPECT_EQ(Vqjob({"queue"}).status, 2);
}

// Not a queue at all: a directory, an endless device, a file far too large. Each is a
// one-line error and exit 1, never an abort or a read until memory runs out.
TEST(VqjobQueue, RefusesWhatIsNotAQueueFile) {
    const std::string big = pal::MapPath("c:\\huge.jpq");
    WriteRaw(big, "");
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(CQueFile::kMaxFileBytes) + 1), 0);
    const struct {
        std::string path, says;
    } cases[] = {{"/etc", "is a directory"}, {"/dev/zero", "not a regular file"}, {big, "larger than the limit"}};
    for (const auto& c : cases) {
        auto r = Vqjob({"queue", c.path});
        EXPECT_EQ(r.status, 1) << c.path << ": " << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

}  // namespace
