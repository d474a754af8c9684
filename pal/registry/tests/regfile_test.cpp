// The .reg text format: parsing, errors, all-or-nothing import, export round trip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pal/registry/codepage.h"
#include "pal/registry/regfile.h"
#include "pal/registry/tests/reg_test_util.h"

using namespace regtest;
using pal::reg::RegEdit;
using Names = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

namespace {

std::vector<RegEdit> Parse(const std::string& text) {
    std::vector<RegEdit> edits;
    pal::reg::RegFileError error;
    EXPECT_TRUE(pal::reg::ParseRegFile(text, edits, error)) << error.ToString();
    return edits;
}

pal::reg::RegFileError ParseError(const std::string& text) {
    std::vector<RegEdit> edits;
    pal::reg::RegFileError error;
    EXPECT_FALSE(pal::reg::ParseRegFile(text, edits, error)) << text;
    return error;
}

const char* const kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Utf16(const std::string& utf8, bool mark = true) {
    return (mark ? std::string("\xFF\xFE") : std::string()) + pal::reg::Utf8ToUtf16Le(utf8);
}

// The edits as one comparable text.
std::string Describe(const std::vector<RegEdit>& edits) {
    std::string out;
    for (const RegEdit& e : edits) {
        out += std::to_string(e.kind) + " " + std::to_string(e.root);
        for (const auto& n : e.path) out += "\\" + n;
        out += " [" + e.value.name + "] " + std::to_string(e.value.type) + ":" +
               std::string(e.value.data.begin(), e.value.data.end()) + " @" + std::to_string(e.line) + "\n";
    }
    return out;
}

}  // namespace

TEST(RegFile, ParsesEveryValueForm) {
    auto edits = Parse(std::string(kHeader) +
                       "; a comment\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE]\r\n"
                       "@=\"default\"\r\n"
                       "\"Path\"=\"C:\\\\Program Files\\\\\\\"q\\\"\"\r\n"
                       "\"WATCH_INTERVAL\"=dword:0000012C\r\n"
                       "\"Short\"=dword:7\r\n"
                       "\"Bin\"=hex:00,ff,  10 ,A0\r\n"
                       "\"Empty\"=hex:\r\n"
                       "\"Exp\"=hex(2):25,41,25,00\r\n"
                       "\"Multi\"=hex(7):41,00,42,00,\\\r\n"
                       "  00\r\n"
                       "\"Q\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                       "\"Odd\"=hex(12345678):ab\r\n"
                       "\"Gone\"=-\r\n"
                       "[-hklm\\SOFTWARE\\Old]\r\n"
                       "[HKCU]\r\n");
    ASSERT_EQ(edits.size(), 14u);
    EXPECT_EQ(edits[0].kind, RegEdit::kCreateKey);
    EXPECT_EQ(edits[0].root, pal::reg::kLocalMachine);
    EXPECT_EQ(edits[0].path, (Names{"SOFTWARE", "QIR", "VQ FRAMEWORK", "CORVANE"}));
    EXPECT_EQ(edits[0].line, 4);
    EXPECT_EQ(edits[1].value.name, "");
    EXPECT_EQ(edits[1].value.data, Bytes({'d', 'e', 'f', 'a', 'u', 'l', 't', 0}));
    EXPECT_EQ(edits[1].path, edits[0].path);
    const std::string path = "C:\\Program Files\\\"q\"";
    EXPECT_EQ(std::string(edits[2].value.data.begin(), edits[2].value.data.end()), path + '\0');
    EXPECT_EQ(edits[3].value.type, REG_DWORD);
    EXPECT_EQ(edits[3].value.data, Bytes({0x2c, 0x01, 0, 0}));
    EXPECT_EQ(edits[4].value.data, Bytes({7, 0, 0, 0}));
    EXPECT_EQ(edits[5].value.type, REG_BINARY);
    EXPECT_EQ(edits[5].value.data, Bytes({0, 0xff, 0x10, 0xa0}));
    EXPECT_EQ(edits[6].value.data, Bytes{});
    EXPECT_EQ(edits[7].value.type, REG_EXPAND_SZ);
    EXPECT_EQ(edits[8].value.type, REG_MULTI_SZ);
    EXPECT_EQ(edits[8].value.data, Bytes({'A', 0, 'B', 0, 0}));
    EXPECT_EQ(edits[9].value.type, REG_QWORD);
    EXPECT_EQ(edits[9].line, 14) << "numbered after the continued line";
    EXPECT_EQ(edits[10].value.type, 0x12345678u);
    EXPECT_EQ(edits[11].kind, RegEdit::kDeleteValue);
    EXPECT_EQ(edits[12].kind, RegEdit::kDeleteKey);
    EXPECT_EQ(edits[12].path, (Names{"SOFTWARE", "Old"}));
    EXPECT_EQ(edits[13].root, pal::reg::kCurrentUser);
    EXPECT_TRUE(edits[13].path.empty());

    EXPECT_EQ(Parse("\xEF\xBB\xBFREGEDIT4\n[HKU\\.DEFAULT]\n").size(), 1u);
}

TEST(RegFile, MalformedLinesAreReportedByNumberAndText) {
    struct Case {
        std::string body;
        int line;
        std::string text;
    } cases[] = {
        {"[HKLM\\A]\n\"x\"=dword:123456789\n", 4, "\"x\"=dword:123456789"},
        {"[HKLM\\A]\n\"x\"=hex:1,2,zz\n", 4, "\"x\"=hex:1,2,zz"},
        {"[HKLM\\A]\n\"x\"=hex:01,,02\n", 4, "\"x\"=hex:01,,02"},
        {"[HKLM\\A]\n\"x\"=hex(2:00\n", 4, "\"x\"=hex(2:00"},
        {"[HKLM\\A]\n\"x\"=\"C:\\path\"\n", 4, "\"x\"=\"C:\\path\""},
        {"[HKLM\\A]\n\"x\"=\"open\n", 4, "\"x\"=\"open"},
        {"[HKLM\\A]\n\"x\"=\"a\" junk\n", 4, "\"x\"=\"a\" junk"},
        {"[HKLM\\A]\n\"x\"=qword:1\n", 4, "\"x\"=qword:1"},
        {"[HKLM\\A]\nx=1\n", 4, "x=1"},
        {"[HKLM\\A]\n\"x\" \"y\"\n", 4, "\"x\" \"y\""},
        {"\"x\"=dword:1\n", 3, "\"x\"=dword:1"},
        {"[-HKLM\\A]\n\"x\"=dword:1\n", 4, "\"x\"=dword:1"},
        {"[HKEY_CURRENT_CONFIG\\System]\n", 3, "[HKEY_CURRENT_CONFIG\\System]"},
        {"[HKLM\\A\\\\B]\n", 3, "[HKLM\\A\\\\B]"},
        {"[HKLM\\A\n", 3, "[HKLM\\A"},
        {"[-HKLM]\n", 3, "[-HKLM]"},
        {"[HKLM\\" + std::string(256, 'k') + "]\n", 3, ""},
    };
    for (const Case& c : cases) {
        auto error = ParseError(std::string(kHeader) + c.body);
        EXPECT_EQ(error.line, c.line) << c.body;
        if (!c.text.empty()) {
            EXPECT_EQ(error.text, c.text) << c.body;
        }
        EXPECT_FALSE(error.message.empty());
        EXPECT_NE(error.ToString().find("line " + std::to_string(c.line) + ": "), std::string::npos);
    }
    EXPECT_EQ(ParseError("REGEDIT5\n[HKLM\\A]\n").line, 1);
    EXPECT_EQ(ParseError("\n\n").line, 1);
    EXPECT_EQ(ParseError(std::string("\xFF\xFEW\0", 4)).line, 1) << "UTF-16 without the header";
}

TEST(RegFile, ImportIsAllOrNothing) {
    std::vector<RegEdit> edits;
    pal::reg::RegFileError error;
    ASSERT_FALSE(pal::reg::ParseRegFile(std::string(kHeader) +
                                            "[HKLM\\SOFTWARE\\Partial]\n\"a\"=dword:1\n\"b\"=hex:zz\n",
                                        edits, error));
    EXPECT_TRUE(edits.empty());

    // A failure while applying undoes the edits before it.
    edits = Parse(std::string(kHeader) + "[HKLM\\SOFTWARE\\Partial]\n\"a\"=dword:1\n");
    RegEdit bad = edits[0];
    bad.root = 0;
    bad.line = 9;
    edits.push_back(bad);
    int failedLine = 0;
    EXPECT_EQ(pal::reg::ApplyRegEdits(edits, &failedLine), ERROR_INVALID_HANDLE);
    EXPECT_EQ(failedLine, 9);
    HKEY key = nullptr;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Partial", key), ERROR_FILE_NOT_FOUND);

    edits.pop_back();
    ASSERT_EQ(pal::reg::ApplyRegEdits(edits), ERROR_SUCCESS);
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Partial", key), ERROR_SUCCESS);
    // Deleting what is not there is no error; deleting a tree takes all of it.
    ASSERT_EQ(pal::reg::ApplyRegEdits(Parse(std::string(kHeader) +
                                            "[HKLM\\SOFTWARE\\Partial]\n\"nothere\"=-\n[-HKLM\\SOFTWARE\\Partial]\n"
                                            "[-HKLM\\SOFTWARE\\NeverWas]\n")),
              ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "a"), "<error 1018>");
    RegCloseKey(key);
}

TEST(RegFile, ExportImportsBackToTheSameTree) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export Me");
    SetSz(key, "", "default \"quoted\" \\ back");
    SetSz(key, "name with \"quotes\" and \\", "x");
    SetSz(key, "@", "not the default");
    SetSz(key, "sjis", "\x83\x65\x83\x58\x83\x67");
    SetDword(key, "dword", 0xDEADBEEF);
    std::string big(100, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    RegSetValueExA(key, "binary", 0, REG_BINARY, reinterpret_cast<const BYTE*>(big.data()), 100);
    RegSetValueExA(key, "expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%TEMP%\\x"), 9);
    RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0b\0"), 5);
    RegSetValueExA(key, "none", 0, REG_NONE, nullptr, 0);
    RegSetValueExA(key, "sz without terminator", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
    RegSetValueExA(key, "sz with line break", 0, REG_SZ, reinterpret_cast<const BYTE*>("a\nb"), 4);
    RegSetValueExA(key, "short dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>("ab"), 2);
    HKEY child = Create(key, "Child\\Grand");
    SetSz(child, "v", "w");
    RegCloseKey(Create(key, "Empty"));

    std::string first;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "software\\export me", first), ERROR_SUCCESS);
    EXPECT_NE(first.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Export Me]\n"), std::string::npos) << first;
    EXPECT_NE(first.find("\n@=\"default \\\"quoted\\\" \\\\ back\"\n"), std::string::npos);
    EXPECT_NE(first.find("\n\"dword\"=dword:deadbeef\n"), std::string::npos);
    EXPECT_NE(first.find("\n\"expand\"=hex(2):25,54,45,4d,50,25,5c,78,00\n"), std::string::npos);
    EXPECT_NE(first.find(",\\\n  "), std::string::npos) << "long hex wraps";

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export Me"), ERROR_SUCCESS);
    ASSERT_EQ(pal::reg::ApplyRegEdits(Parse(first)), ERROR_SUCCESS);
    std::string second;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export Me", second), ERROR_SUCCESS);
    EXPECT_EQ(second, first);

    HKEY back = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Export Me", back), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(Get(back, "sz without terminator", &type), "abc");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Get(back, "binary"), big);
    EXPECT_EQ(Get(back, "@"), std::string("not the default\0", 16));
    EXPECT_EQ(SubKeys(back), (Names{"Child", "Empty"}));
    for (HKEY k : {key, child, back}) RegCloseKey(k);
}

// The same registry content in each encoding a file comes in. 日本 is 93 FA 96 7B in
// code page 932; 表 is 95 5C, whose second byte the 8-bit file must double like a
// backslash; ソ (83 5C) in a key path splits there, in every encoding alike.
TEST(RegFile, UnicodeFilesImportAsTheirEightBitTwin) {
    const std::string eightBit = std::string(kHeader) +
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\x93\xFA\x96\x7B\\\x83\x5C\x83\x74\x83\x67]\r\n"
                                 "\"\x96\xBC\x91\x4F\"=\"\x93\xFA\x96\x7B \x95\x5C\x5C \\\"q\\\"\"\r\n"
                                 "\"Multi\"=hex(7):41,00,93,fa,96,7b,00,00\r\n"
                                 "\"Exp\"=hex(2):25,54,25,5c,95,5c,00\r\n"
                                 "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                                 "  16,17\r\n"
                                 "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n";
    const std::string unicode = std::string(kHeader) +
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\日本\\ソフト]\r\n"
                                "\"名前\"=\"日本 表 \\\"q\\\"\"\r\n"
                                "\"Multi\"=hex(7):%s\r\n"
                                "\"Exp\"=hex(2):%s\r\n"
                                "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                                "  16,17\r\n"
                                "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n";
    auto with = [&](const char* multi, const char* expand) {
        char buf[1024];
        std::snprintf(buf, sizeof buf, unicode.c_str(), multi, expand);
        return std::string(buf);
    };
    const std::string twin = Describe(Parse(eightBit));
    ASSERT_NE(twin.find("\x95\x5C \"q\""), std::string::npos) << twin;
    // UTF-16: hex(2) and hex(7) hold UTF-16LE strings, converted with their terminators.
    EXPECT_EQ(Describe(Parse(Utf16(with("41,00,00,00,e5,65,2c,67,00,00,00,00",
                                        "25,00,54,00,25,00,5c,00,68,88,00,00")))),
              twin);
    // UTF-8, marked or not: hex data are the store's bytes.
    const std::string utf8 = with("41,00,93,fa,96,7b,00,00", "25,54,25,5c,95,5c,00");
    EXPECT_EQ(Describe(Parse("\xEF\xBB\xBF" + utf8)), twin);
    EXPECT_EQ(Describe(Parse(utf8)), twin);
    // REGEDIT4 in UTF-16: its hex data stay bytes.
    auto edits = Parse(Utf16("REGEDIT4\r\n[HKLM\\A]\r\n\"e\"=hex(2):41,00,00,00\r\n"));
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_EQ(edits[1].value.data, Bytes({0x41, 0, 0, 0}));
}

TEST(RegFile, TextThatCannotBeStoredNamesItsLineAndImportsNothing) {
    struct Case {
        std::string file;
        int line;
        std::string says;
    } cases[] = {
        {Utf16(std::string(kHeader) + "[HKLM\\A]\r\n\"e\"=\"smile 😀\"\r\n"), 4, "U+1F600"},
        {Utf16(std::string(kHeader) + "[HKLM\\A]\r\n\"😀\"=dword:1\r\n"), 4, "U+1F600"},
        {std::string(kHeader) + "[HKLM\\A\\Y¥Z]\r\n", 3, "U+00A5"},  // best fit would make it a backslash
        {Utf16(std::string(kHeader) + "[HKLM\\A]\r\n\"m\"=hex(7):3d,d8,00,00\r\n"), 4, "surrogate D83D"},
        {Utf16(std::string(kHeader) + "[HKLM\\A]\r\n\"m\"=hex(2):41,00,00\r\n"), 4, "even number of bytes"},
        {Utf16(std::string(kHeader)) + std::string("\x3D\xD8\x41\x00", 4), 3, "unpaired UTF-16 surrogate D83D"},
        {Utf16(std::string(kHeader) + "[HKLM\\A]\r\n") + "x", 4, "middle of a UTF-16 character"},
        {std::string("\xEF\xBB\xBF") + kHeader + "[HKLM\\A]\r\n\"a\"=\"\x93\xFA\"\r\n", 4, "malformed UTF-8"},
        {std::string("\xFE\xFF\0W", 4), 1, "big-endian"},
    };
    for (const Case& c : cases) {
        auto error = ParseError(c.file);
        EXPECT_EQ(error.line, c.line) << c.says;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << error.ToString();
    }
    // Without a mark, a file that is not UTF-8 is 8-bit: stored byte for byte.
    auto edits = Parse(std::string(kHeader) + "[HKLM\\A]\r\n\"a\"=\"\xC3\xA9\x93\xFA\"\r\n");
    EXPECT_EQ(edits[1].value.data, Bytes({0xC3, 0xA9, 0x93, 0xFA, 0}));
}

TEST(RegFile, Utf16ExportIsWhatTheEditorWritesAndReadsBackTheSame) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide\\\x93\xFA\x96\x7B");
    SetSz(key, "\x96\xBC\x91\x4F", "\x95\x5C \"x\" \\");
    RegSetValueExA(key, "exp", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%T%\\\x93\xFA"), 7);
    RegSetValueExA(key, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0\x96\x7B\x96\x7B\0"), 8);
    RegSetValueExA(key, "raw", 0, REG_BINARY, reinterpret_cast<const BYTE*>("\x82\x00\xFF"), 3);
    RegSetValueExA(key, "no terminator", 0, REG_SZ, reinterpret_cast<const BYTE*>("\x82"), 1);
    std::string big(60, '\x41');
    RegSetValueExA(key, "long", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(big.c_str()), 61);
    SetDword(key, "n", 42);
    RegCloseKey(key);

    std::string first, why;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", first, &why,
                                      pal::reg::RegFileEncoding::kUtf16),
              ERROR_SUCCESS)
        << why;
    ASSERT_EQ(first.substr(0, 2), "\xFF\xFE");
    std::string text;
    int line = 0;
    ASSERT_TRUE(pal::reg::Utf16LeToUtf8(std::string_view(first).substr(2), text, line, why)) << why;
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide]\r\n", 0), 0u);
    for (const char* part : {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide\\日本]\r\n", "\"名前\"=\"表 \\\"x\\\" \\\\\"\r\n",
                             "\"exp\"=hex(2):25,00,54,00,25,00,5c,00,e5,65,00,00\r\n",
                             "\"multi\"=hex(7):61,00,00,00,2c,67,2c,67,00,00,00,00\r\n",
                             "\"raw\"=hex:82,00,ff\r\n", "\"no terminator\"=hex(1):82\r\n",
                             "\"n\"=dword:0000002a\r\n", "00,\\\r\n  "})
        EXPECT_NE(text.find(part), std::string::npos) << part << " missing from\n" << text;
    for (size_t at = 0; (at = text.find('\n', at + 1)) != std::string::npos;) EXPECT_EQ(text[at - 1], '\r');

    // Import, export: the same bytes, in both encodings.
    std::string eightBit;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", eightBit), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide"), ERROR_SUCCESS);
    ASSERT_EQ(pal::reg::ApplyRegEdits(Parse(first)), ERROR_SUCCESS);
    std::string second, secondEightBit;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", second, nullptr,
                                      pal::reg::RegFileEncoding::kUtf16),
              ERROR_SUCCESS);
    EXPECT_EQ(second, first);
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", secondEightBit), ERROR_SUCCESS);
    EXPECT_EQ(secondEightBit, eightBit) << "the store holds the same bytes as before";

    // A value that is not code page 932 text cannot be written in UTF-16; 8-bit still can.
    key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide\\Odd");
    SetSz(key, "lone lead byte", "ab\x82");
    RegCloseKey(key);
    EXPECT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", second, &why,
                                      pal::reg::RegFileEncoding::kUtf16),
              ERROR_INVALID_DATA);
    EXPECT_NE(why.find("\"lone lead byte\" of HKEY_LOCAL_MACHINE\\SOFTWARE\\Wide\\Odd"), std::string::npos) << why;
    EXPECT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wide", second), ERROR_SUCCESS);
}

// 8-bit data that happens to be well-formed UTF-8 (ﾃｩ is C3 A9, which UTF-8 reads as é)
// must not be read back as UTF-8 from its own export.
TEST(RegFile, EightBitExportThatLooksLikeUtf8StillReadsBackAsBytes) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kana");
    SetSz(key, "v", "\xC3\xA9");
    RegCloseKey(key);
    std::string text;
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kana", text), ERROR_SUCCESS);
    auto edits = Parse(text);
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_EQ(edits[1].value.data, Bytes({0xC3, 0xA9, 0}));
    EXPECT_NE(text.find("\n; "), std::string::npos) << "the comment that keeps it 8-bit";

    // Plain ASCII exports as it always did: no comment.
    key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kana");
    SetSz(key, "v", "plain");
    RegCloseKey(key);
    ASSERT_EQ(pal::reg::ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kana", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kana]\n\"v\"=\"plain\"\n\n");
}
