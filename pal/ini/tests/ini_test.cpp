// Profile functions: lookups, lists, defaults and their buffer rules, integer conversion,
// and writes that keep the rest of the file as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "pal/error/error.h"
#include "pal/file/path.h"
#include "pal/ini/ini.h"
#include "pal/ini/ini_file.h"

namespace fs = std::filesystem;

namespace {

const char kIni[] =
    "; settings of the tests\r\n"
    "orphan=before any section\r\n"
    "[Common]\r\n"
    "  BeforeTime = 60  \r\n"
    "KeyWordNum=\r\n"
    "; EventIDnum=7\r\n"
    "Quoted=\"  spaced out  \"\r\n"
    "Single='x'\r\n"
    "Lonely=\"\r\n"
    "no equals sign here\r\n"
    "\r\n"
    "[ SearchEventID ]\r\n"
    "EventID1=7,42\r\n"
    "EVENTID1=duplicate, never seen\r\n"
    "EventID2 = 1100\t3\r\n"
    "[Numbers]\r\n"
    "plain=42\r\n"
    "neg= -17\r\n"
    "plus=+5\r\n"
    "hex=0x1F\r\n"
    "upperhex=0X1F\r\n"
    "bin=0b101\r\n"
    "trail=12abc\r\n"
    "word=abc\r\n"
    "minus1=-1\r\n"
    "big=4294967297\r\n"
    "quoted=\"8\"\r\n"
    "[common]\r\n"
    "BeforeTime=second section of the same name\r\n";

class Ini : public ::testing::Test {
protected:
    void SetUp() override { Write("C:\\Program Files\\Quillon\\Quillon.ini", kIni); }

    static void Write(const char* windowsPath, const std::string& text) {
        fs::path p = pal::MapPath(windowsPath);
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    static std::string Read(const char* windowsPath) {
        std::ifstream in(pal::MapPath(windowsPath), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    static constexpr const char* kFile = "c:\\program files\\quillon\\QUILLON.INI";

    std::string Str(const char* section, const char* key, const char* def = "dflt", DWORD size = 256,
                    const char* file = kFile) {
        char buf[256];
        std::memset(buf, '#', sizeof buf);
        DWORD n = GetPrivateProfileStringA(section, key, def, buf, size, file);
        EXPECT_EQ(buf[n], '\0');
        return std::string(buf, n);
    }
};

TEST_F(Ini, ValuesAreFoundWithoutCaseAndTrimmed) {
    EXPECT_EQ(Str("COMMON", "beforetime"), "60");
    EXPECT_EQ(Str("SearchEventID", "EventID1"), "7,42");  // blanks inside brackets do not count
    EXPECT_EQ(Str("SearchEventID", "EventID2"), "1100\t3");
    EXPECT_EQ(Str("Common", "Quoted"), "  spaced out  ");
    EXPECT_EQ(Str("Common", "Single"), "x");
    EXPECT_EQ(Str("Common", "Lonely"), "\"");
    EXPECT_EQ(Str("Common", "KeyWordNum"), "");  // present but empty: not the default
}

TEST_F(Ini, MissingEntriesGiveTheDefaultWithoutTrailingBlanks) {
    SetLastError(0);
    EXPECT_EQ(Str("Common", "EventIDnum", "100  "), "100");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Str("Common", "; EventIDnum"), "dflt");  // comments are no entries
    EXPECT_EQ(Str("Common", "no equals sign here"), "dflt");
    EXPECT_EQ(Str("", "orphan"), "dflt");
    EXPECT_EQ(Str("Nowhere", "x", "  lead kept"), "  lead kept");
    EXPECT_EQ(Str("Common", "", "d"), "d");
    EXPECT_EQ(Str("Common", "x", nullptr), "");
    EXPECT_EQ(Str("Common", "x", "d", 256, "C:\\nowhere\\none.ini"), "d");
    EXPECT_EQ(Str("Common", "x", "default", 4), "def");
}

TEST_F(Ini, ShortBuffersCutValuesAndLists) {
    EXPECT_EQ(Str("Common", "BeforeTime", "", 2), "6");  // nSize - 1
    EXPECT_EQ(Str("Common", "BeforeTime", "", 1), "");
    char buf[8] = "#######";
    EXPECT_EQ(GetPrivateProfileStringA("Common", "BeforeTime", "", buf, 0, kFile), 0u);
    EXPECT_EQ(buf[0], '#');

    // Lists: each name NUL-terminated, one more NUL at the end; cut lists end in two NULs
    // and return nSize - 2.
    using namespace std::string_literals;
    EXPECT_EQ(Str(nullptr, nullptr), "Common\0SearchEventID\0Numbers\0common\0"s);
    EXPECT_EQ(Str("common", nullptr), "BeforeTime\0KeyWordNum\0Quoted\0Single\0Lonely\0"s);
    char list[16];
    EXPECT_EQ(GetPrivateProfileStringA("Common", nullptr, "", list, 16, kFile), 14u);
    EXPECT_EQ(std::string(list, 16), "BeforeTime\0Key\0\0"s);
    EXPECT_EQ(GetPrivateProfileStringA("Common", nullptr, "", list, 12, kFile), 10u);
    EXPECT_EQ(std::string(list, 12), "BeforeTime\0\0"s);
    EXPECT_EQ(Str(nullptr, nullptr, "", 9), "Common\0"s);
    EXPECT_EQ(Str("Nowhere", nullptr, "none"), "none");
    EXPECT_EQ(Str(nullptr, nullptr, "d", 256, "C:\\nowhere\\none.ini"), "");
}

TEST_F(Ini, IntegersConvertLikeTheSystem) {
    auto Int = [&](const char* key, INT def = 99) {
        return static_cast<INT>(GetPrivateProfileIntA("Numbers", key, def, kFile));
    };
    EXPECT_EQ(Int("plain"), 42);
    EXPECT_EQ(Int("neg"), -17);
    EXPECT_EQ(Int("plus"), 5);
    EXPECT_EQ(Int("hex"), 31);
    EXPECT_EQ(Int("upperhex"), 0);  // only a lower-case prefix counts
    EXPECT_EQ(Int("bin"), 5);
    EXPECT_EQ(Int("trail"), 12);
    EXPECT_EQ(Int("word"), 0);
    EXPECT_EQ(Int("minus1"), -1);
    EXPECT_EQ(Int("big"), 1);  // wraps to 32 bits
    EXPECT_EQ(Int("quoted"), 8);
    EXPECT_EQ(Int("absent", -1), -1);
    EXPECT_EQ(GetPrivateProfileIntA("Common", "KeyWordNum", 100, kFile), 100u);  // empty value
    EXPECT_EQ(GetPrivateProfileIntA("Common", "BeforeTime", -1, "C:\\nowhere.ini"), static_cast<UINT>(-1));
}

TEST_F(Ini, BareNamesLiveInTheWindowsDirectory) {
    Write("C:\\WINDOWS\\Mordane.ini", "[SMART]\nWATCH_AttributeIDs=1 5 9\n");
    EXPECT_EQ(Str("smart", "watch_attributeids", "", 256, "mordane.ini"), "1 5 9");
    EXPECT_EQ(pal::ini::IniFilePath("x.ini"), pal::MapPath("C:\\WINDOWS\\x.ini"));
    EXPECT_EQ(pal::ini::IniFilePath(nullptr), pal::MapPath("C:\\WINDOWS\\win.ini"));
}

TEST_F(Ini, WritesChangeOnlyTheirLine) {
    const char* file = "C:\\WINDOWS\\system32\\Mordane.ini";
    Write(file, "; gatherer\n[CpuSensor]\nINTERVAL=300\n\n[SMART]\nWATCH=1\n");
    EXPECT_TRUE(WritePrivateProfileStringA("cpusensor", "interval", "60", file));
    EXPECT_TRUE(WritePrivateProfileStringA("CpuSensor", "LIMIT_H", "75", file));
    EXPECT_TRUE(WritePrivateProfileStringA("NICStatus", "Times", "600", file));
    EXPECT_EQ(Read(file),
              "; gatherer\n[CpuSensor]\nINTERVAL=60\nLIMIT_H=75\n\n[SMART]\nWATCH=1\n\n[NICStatus]\nTimes=600\n");

    EXPECT_TRUE(WritePrivateProfileStringA("CpuSensor", "INTERVAL", nullptr, file));
    EXPECT_TRUE(WritePrivateProfileStringA("smart", nullptr, nullptr, file));
    EXPECT_TRUE(WritePrivateProfileStringA("Absent", "x", nullptr, file));
    EXPECT_EQ(Read(file), "; gatherer\n[CpuSensor]\nLIMIT_H=75\n\n[NICStatus]\nTimes=600\n");

    const char* fresh = "C:\\WINDOWS\\fresh.ini";
    EXPECT_TRUE(WritePrivateProfileStringA("A", "k", "v", "fresh.ini"));
    EXPECT_EQ(Read(fresh), "[A]\r\nk=v\r\n");
    EXPECT_EQ(Str("a", "K", "", 256, fresh), "v");

    EXPECT_FALSE(WritePrivateProfileStringA("A", "k", "v", "C:\\no\\such\\dir\\x.ini"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", fresh));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, fresh));
}

TEST(IniFile, UnchangedFilesSerializeByteForByte) {
    for (const char* text : {"", "[a]\r\nk=v\r\n", "\xEF\xBB\xBF[a]\nk = v \n; c\n\nx", "no section\n[\n[b\n]"}) {
        EXPECT_EQ(pal::ini::IniFile::Parse(text).Serialize(), text);
    }
    pal::ini::IniFile f = pal::ini::IniFile::Parse("\xEF\xBB\xBF[a]\nk=1");
    EXPECT_EQ(*f.Find("A", "K"), "1");
    f.Set("a", "k", "2");
    EXPECT_EQ(f.Serialize(), "\xEF\xBB\xBF[a]\nk=2");
}

}  // namespace
