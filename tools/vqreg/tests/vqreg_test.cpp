// Runs the built vqreg against the test's machine root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "tests/support/child_process.h"
#include "pal/registry/codepage.h"
#include "pal/registry/registry.h"
#include "tools/vqreg/cli.h"

namespace {

using Result = vqtest::ProgramResult;

Result Vqreg(const std::vector<std::string>& args) { return vqtest::RunProgram(VQ_TOOL_BIN, args, 10000); }

std::string Path(const std::string& name) { return pal::core::RootDir() + "/" + name; }

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const char* const kRegFile =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE]\r\n"
    "\"WATCH_EVENTLOG\"=dword:00000001\r\n"
    "\"Pathname\"=\"C:\\\\Program Files\\\\VQ\\\\norvik.dll\"\r\n"
    "@=\"default\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF]\r\n"
    "\"LOG_TYPE\"=hex(7):41,70,70,6c,69,63,61,74,69,6f,6e,00,53,79,73,74,65,6d,00,\\\r\n"
    "  00\r\n"
    "\"Q\"=hex(b):2a,00,00,00,00,00,00,00\r\n"
    "\"Raw\"=hex:de,ad\r\n";

}  // namespace

TEST(Vqreg, ImportExportRoundTrip) {
    WriteFile(Path("in.reg"), kRegFile);
    Result r = Vqreg({"import", Path("in.reg")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Vqreg({"export", "hklm\\software\\qir", Path("out.reg")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string exported = ReadFile(Path("out.reg"));
    EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE]\n"
                            "\"WATCH_EVENTLOG\"=dword:00000001\n"
                            "\"Pathname\"=\"C:\\\\Program Files\\\\VQ\\\\norvik.dll\"\n"
                            "@=\"default\"\n"),
              std::string::npos)
        << exported;

    // Deleted and imported from the export, the tree exports the same again.
    ASSERT_EQ(Vqreg({"delete", "HKLM\\SOFTWARE\\QIR"}).status, 0);
    EXPECT_EQ(Vqreg({"query", "HKLM\\SOFTWARE\\QIR"}).status, 1);
    ASSERT_EQ(Vqreg({"import", Path("out.reg")}).status, 0);
    r = Vqreg({"export", "HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR", "-"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, exported);

    r = Vqreg({"query", "HKLM\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE\\EVENTLOG_FILTER_INF\n"
              "    LOG_TYPE    REG_MULTI_SZ    Application\\0System\n"
              "    Q    REG_QWORD    0x2a\n"
              "    Raw    REG_BINARY    DEAD\n\n");
}

TEST(Vqreg, MalformedLineIsNamedAndNothingIsImported) {
    ASSERT_EQ(Vqreg({"add", "HKLM\\SOFTWARE\\Keep", "--value", "v", "--data", "before"}).status, 0);
    const std::string before = Vqreg({"export", "HKLM\\SOFTWARE", "-"}).out;
    WriteFile(Path("bad.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKLM\\SOFTWARE\\Keep]\n"
              "\"v\"=\"after\"\n"
              "[HKLM\\SOFTWARE\\New]\n"
              "\"n\"=dword:xyz\n");
    Result r = Vqreg({"import", Path("bad.reg")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("line 6"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"n\"=dword:xyz"), std::string::npos) << r.err;
    EXPECT_EQ(Vqreg({"export", "HKLM\\SOFTWARE", "-"}).out, before);

    r = Vqreg({"import", Path("missing.reg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.reg"), std::string::npos);
}

TEST(Vqreg, AddWritesEachTypeAndRefusesBadArguments) {
    const std::string key = "HKCU\\Software\\Tool";
    ASSERT_EQ(Vqreg({"add", key, "--value", "d", "--type", "reg_dword", "--data", "0x10"}).status, 0);
    ASSERT_EQ(Vqreg({"add", key, "--value=m", "--type=REG_MULTI_SZ", "--data", "a\\0b", "--data", "c"}).status, 0);
    ASSERT_EQ(Vqreg({"add", key, "--value", "", "--data", "dflt"}).status, 0);
    ASSERT_EQ(Vqreg({"add", key, "--value", "n", "--type", "REG_NONE", "--data", "01 02"}).status, 0);
    ASSERT_EQ(Vqreg({"add", key, "--value", "zero", "--type", "REG_DWORD"}).status, 0);

    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tool", 0, KEY_READ, &h), ERROR_SUCCESS);
    auto get = [&](const char* name, DWORD& type) {
        BYTE data[64];
        DWORD size = sizeof data;
        EXPECT_EQ(RegQueryValueExA(h, name, nullptr, &type, data, &size), ERROR_SUCCESS) << name;
        return std::string(reinterpret_cast<char*>(data), size);
    };
    DWORD type = 0;
    EXPECT_EQ(get("d", type), std::string("\x10\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(get("m", type), std::string("a\0b\0c\0\0", 7));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(get("", type), std::string("dflt\0", 5));
    EXPECT_EQ(get("n", type), std::string("\x01\x02", 2));
    EXPECT_EQ(type, REG_NONE);
    EXPECT_EQ(get("zero", type), std::string(4, '\0'));
    RegCloseKey(h);

    const std::string before = Vqreg({"export", "HKCU", "-"}).out;
    struct Bad {
        std::vector<std::string> args;
        std::string named;
    } bad[] = {
        {{"add", key, "--value", "x", "--type", "REG_TEXT"}, "REG_TEXT"},
        {{"add", key, "--value", "x", "--type", "REG_DWORD", "--data", "4294967296"}, "4294967296"},
        {{"add", key, "--value", "x", "--type", "REG_DWORD", "--data", "-1"}, "-1"},
        {{"add", key, "--value", "x", "--type", "REG_BINARY", "--data", "abc"}, "abc"},
        {{"add", key, "--value", "x", "--data", "a", "--data", "b"}, "--data"},
        {{"add", key, "--type", "REG_SZ"}, "--value"},
        {{"add", "HKEY_CURRENT_CONFIG\\x"}, "HKEY_CURRENT_CONFIG"},
        {{"add", key, "--colour", "red"}, "--colour"},
        {{"delete", "HKCU"}, "root"},
        {{"frobnicate"}, "frobnicate"},
        {{"query", "HKCU\\Software\\Tool", "--value"}, "--value"},
    };
    for (const Bad& b : bad) {
        Result r = Vqreg(b.args);
        EXPECT_EQ(r.status, 2) << b.named << ": " << r.err;
        EXPECT_NE(r.err.find(b.named), std::string::npos) << r.err;
    }
    EXPECT_EQ(Vqreg({"export", "HKCU", "-"}).out, before) << "store untouched";
}

TEST(Vqreg, QueryAndDeleteReportMissingKeysAndValues) {
    ASSERT_EQ(Vqreg({"add", "HKLM\\SOFTWARE\\DelTest\\Gone\\Deep\\Er", "--value", "v", "--data", "1"}).status, 0);
    Result r = Vqreg({"query", "HKLM\\SOFTWARE\\DelTest\\Gone\\Deep\\Er", "nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\"nope\""), std::string::npos) << r.err;
    r = Vqreg({"query", "HKLM\\SOFTWARE\\DelTest\\Gone\\Deep\\Er", "V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\DelTest\\Gone\\Deep\\Er\n    v    REG_SZ    1\n");

    EXPECT_EQ(Vqreg({"delete", "HKLM\\SOFTWARE\\DelTest\\Gone\\Deep\\Er", "--value", "v"}).status, 0);
    EXPECT_EQ(Vqreg({"delete", "HKLM\\SOFTWARE\\DelTest\\Gone\\Deep\\Er", "--value", "v"}).status, 1);
    // A key delete takes the whole tree.
    EXPECT_EQ(Vqreg({"delete", "HKLM\\SOFTWARE\\DelTest\\Gone"}).status, 0);
    r = Vqreg({"delete", "HKLM\\SOFTWARE\\DelTest\\Gone"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("HKLM\\SOFTWARE\\DelTest\\Gone"), std::string::npos) << r.err;
    EXPECT_EQ(Vqreg({"query", "HKLM\\SOFTWARE\\DelTest"}).out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\DelTest\n\n");
}

TEST(Vqreg, EveryCommandHasHelp) {
    for (const char* command : {"query", "add", "delete", "import", "export"}) {
        Result r = Vqreg({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: vqreg ") + command, 0), 0u) << r.out;
    }
    Result r = Vqreg({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("import FILE.reg"), std::string::npos);
    EXPECT_EQ(Vqreg({}).status, 2);
}

TEST(VqregData, NumbersAndListsAreEncodedExactly) {
    std::vector<uint8_t> out;
    std::string why;
    EXPECT_TRUE(vqreg::EncodeData(REG_QWORD, {"18446744073709551615"}, out, why));
    EXPECT_EQ(out, std::vector<uint8_t>(8, 0xff));
    EXPECT_FALSE(vqreg::EncodeData(REG_QWORD, {"18446744073709551616"}, out, why));
    EXPECT_FALSE(vqreg::EncodeData(REG_DWORD, {"0x"}, out, why));
    EXPECT_TRUE(vqreg::EncodeData(REG_MULTI_SZ, {}, out, why));
    EXPECT_EQ(out, std::vector<uint8_t>{0});
    EXPECT_FALSE(vqreg::EncodeData(REG_MULTI_SZ, {"a\\0\\0b"}, out, why)) << "an empty string would end the list";
    EXPECT_EQ(vqreg::ShowData(REG_MULTI_SZ, {'A', 0, 'B', 0, 0, 'C', 0, 0}), "A\\0B");
    EXPECT_EQ(vqreg::ShowData(REG_DWORD, {1, 2}), "0102") << "a short DWORD shows as bytes";
}

// Inputs that are not .reg files: one clear line and exit 1, the registry untouched. A
// FIFO with no writer must not hang the tool either.
TEST(Vqreg, ImportRefusesDirectoriesDevicesAndOversizedFiles) {
    WriteFile(Path("huge.reg"), "");
    ASSERT_EQ(truncate(Path("huge.reg").c_str(), (64 << 20) + 1), 0);
    ASSERT_EQ(mkfifo(Path("fifo.reg").c_str(), 0600), 0);
    const struct {
        std::string path, says;
    } cases[] = {{"/etc", "is a directory"},
                 {"/dev/zero", "not a regular file"},
                 {Path("fifo.reg"), "not a regular file"},
                 {Path("huge.reg"), "larger than the limit of 67108864 bytes"},
                 {Path("none.reg"), "does not exist"}};
    const std::string before = Vqreg({"export", "HKLM", "-"}).out;
    for (const auto& c : cases) {
        Result r = Vqreg({"import", c.path});
        EXPECT_EQ(r.status, 1) << c.path << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing imported"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(Vqreg({"export", "HKLM", "-"}).out, before);
}

// A file as the registry editor writes it: UTF-16LE with its mark and CR LF.
TEST(Vqreg, Utf16FilesImportAndExportAsTheEditorWritesThem) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\日本]\r\n"
        "\"名前\"=\"日本\"\r\n"
        "\"LOG_TYPE\"=hex(7):41,00,70,00,70,00,00,00,e5,65,2c,67,00,00,00,00\r\n";
    WriteFile(Path("wide.reg"), "\xFF\xFE" + pal::reg::Utf8ToUtf16Le(text));
    Result r = Vqreg({"import", Path("wide.reg")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Vqreg({"query", "HKCU\\Software\\\x93\xFA\x96\x7B"});
    EXPECT_EQ(r.out,
              "HKEY_CURRENT_USER\\Software\\\x93\xFA\x96\x7B\n"
              "    \x96\xBC\x91\x4F    REG_SZ    \x93\xFA\x96\x7B\n"
              "    LOG_TYPE    REG_MULTI_SZ    App\\0\x93\xFA\x96\x7B\n\n");

    ASSERT_EQ(Vqreg({"export", "HKCU\\Software\\\x93\xFA\x96\x7B", Path("out.reg"), "--utf16"}).status, 0);
    const std::string exported = ReadFile(Path("out.reg"));
    EXPECT_EQ(exported, "\xFF\xFE" + pal::reg::Utf8ToUtf16Le(text + "\r\n"));
    ASSERT_EQ(Vqreg({"delete", "HKCU\\Software\\\x93\xFA\x96\x7B"}).status, 0);
    ASSERT_EQ(Vqreg({"import", Path("out.reg")}).status, 0);
    r = Vqreg({"export", "HKCU\\Software\\\x93\xFA\x96\x7B", "-", "--utf16"});
    EXPECT_EQ(r.out, exported);

    // A character the code page lacks: its line named, nothing imported.
    const std::string before = Vqreg({"export", "HKCU", "-"}).out;
    WriteFile(Path("emoji.reg"), "\xFF\xFE" + pal::reg::Utf8ToUtf16Le("Windows Registry Editor Version 5.00\r\n\r\n"
                                                                     "[HKEY_CURRENT_USER\\Software\\New]\r\n"
                                                                     "\"ok\"=\"fine\"\r\n"
                                                                     "\"face\"=\"😀\"\r\n"));
    r = Vqreg({"import", Path("emoji.reg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 5: U+1F600 has no exact form in code page 932"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing imported"), std::string::npos) << r.err;
    EXPECT_EQ(Vqreg({"export", "HKCU", "-"}).out, before);
}
