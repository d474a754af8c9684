// Message-text modules: the .mc parser, loading them as data files, and FormatMessage's
// expansion of module texts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pal/env/env.h"
#include "pal/error/error.h"
#include "pal/file/path.h"
#include "pal/module/message_table.h"
#include "pal/module/module.h"

namespace fs = std::filesystem;
using pal::module::MessageTable;

namespace {

const char kSample[] =
    ";// A sample module.\n"
    "MessageIdTypedef=DWORD\n"
    "SeverityNames=(Success=0x0:SEV_OK\n"
    "               Informational=0x1:SEV_INFO\n"
    "               Warning=0x2  Error=0x3)\n"
    "FacilityNames=(Disk=0x4:FAC_DISK Net=0x10)\n"
    "LanguageNames=(English=0x409:MSG00409)\n"
    "LanguageNames=(Japanese=0x411:MSG00411)\n"
    "OutputBase=16\n"
    "\n"
    "MessageId=0x1\r\n"
    "Severity=Warning\r\n"
    "Facility=Disk\r\n"
    "SymbolicName=MSG_HOT\r\n"
    "Language=English\r\n"
    "Disk %1 is hot:\r\n"
    "%2!d! degrees.\r\n"
    ".\r\n"
    "Language=Japanese\n"
    "JP %1\n"
    ".\n"
    "MessageId=\n"  // 2: previous id of this facility + 1, same severity and facility
    "Language=English\n"
    "Second.\n"
    ".\n"
    "MessageId=+3 Severity=Error\n"  // 5
    "Language=English\n"
    "Fifth, line one\n"
    "line two%n%.%!%%\n"
    ".\n"
    "MessageId=7 Facility=Net Severity=Informational\n"
    "Language=Japanese\n"
    "Only Japanese.\n"
    ".\n"
    "MessageId=\n"  // the Net facility's previous id is 7
    "Language=English\n"
    "Net eight.%0\n"
    ".\n"
    "MessageId=0x10\n"
    "Facility=Disk\n"
    "Language=English\n"
    ".\n";

std::string Find(const MessageTable& t, DWORD id, DWORD lang = 0) {
    std::string text;
    DWORD err = t.Find(id, lang, text);
    return err ? "error " + std::to_string(err) : text;
}

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

fs::path Mapped(const char* windowsPath) { return pal::MapPath(windowsPath); }

// FormatMessage the way the event-log readers call it.
std::string FormatFrom(HMODULE h, DWORD id, const std::vector<const char*>& inserts, DWORD flags,
                       DWORD lang = 0x400) {
    LPSTR text = nullptr;
    std::vector<DWORD_PTR> args;
    for (const char* s : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s));
    flags |= FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_FROM_HMODULE;
    DWORD n = FormatMessageA(flags, h, id, lang, reinterpret_cast<LPSTR>(&text), 0,
                             args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
    if (n == 0) return "error " + std::to_string(GetLastError());
    std::string out(text, n);
    LocalFree(text);
    return out;
}

std::string FromString(const char* tmpl, DWORD flags = 0) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS | flags, tmpl, 0, 0, buf,
                             sizeof buf, nullptr);
    return n ? std::string(buf, n) : "error " + std::to_string(GetLastError());
}

TEST(MessageTable, IdsAreBuiltFromSeverityCustomerFacilityAndCode) {
    MessageTable t;
    std::string error;
    ASSERT_TRUE(t.Parse(kSample, &error)) << error;
    std::vector<DWORD> ids;
    for (const auto& m : t.Messages()) ids.push_back(m.id);
    EXPECT_EQ(ids, (std::vector<DWORD>{0x40040010, 0x40100007, 0x40100008, 0x80040001, 0x80040002, 0xC0040005}));
    EXPECT_EQ(t.Messages()[3].symbolicName, "MSG_HOT");
    EXPECT_EQ(pal::module::MakeMessageId(3, true, 0xFFF, 0xFFFF), 0xEFFFFFFFu);

    MessageTable c;
    ASSERT_TRUE(c.Parse("MessageId=1 Severity=Error Facility=Application\nLanguage=English\nx\n.\n", nullptr,
                        pal::module::ParseOptions{true}));
    EXPECT_EQ(c.Messages()[0].id, 0xEFFF0001u);
    // Without Severity and Facility a message id is its code alone (event categories).
    ASSERT_TRUE(c.Parse("MessageId=3\nLanguage=English\nCategory\n.\n"));
    EXPECT_EQ(c.Messages()[0].id, 3u);
}

TEST(MessageTable, TextsKeepTheirLinesAsCrLf) {
    MessageTable t;
    ASSERT_TRUE(t.Parse(kSample));
    EXPECT_EQ(Find(t, 0x80040001), "Disk %1 is hot:\r\n%2!d! degrees.\r\n");
    EXPECT_EQ(Find(t, 0xC0040005), "Fifth, line one\r\nline two%n%.%!%%\r\n");
    EXPECT_EQ(Find(t, 0x40040010), "");  // no text lines at all
}

TEST(MessageTable, LanguageChoiceAndFullIdMatch) {
    MessageTable t;
    ASSERT_TRUE(t.Parse(kSample));
    // 0 and the default-language ids prefer English, else the message's first language.
    for (DWORD lang : {0x000u, 0x400u, 0x800u}) {
        EXPECT_EQ(Find(t, 0x80040001, lang), "Disk %1 is hot:\r\n%2!d! degrees.\r\n");
        EXPECT_EQ(Find(t, 0x40100007, lang), "Only Japanese.\r\n");
    }
    EXPECT_EQ(Find(t, 0x80040001, 0x411), "JP %1\r\n");
    EXPECT_EQ(Find(t, 0x80040002, 0x411), "error 1815");
    // Only the whole id matches: not the code alone, nor another severity.
    EXPECT_EQ(Find(t, 0x00000001), "error 317");
    EXPECT_EQ(Find(t, 0x40040001), "error 317");
    EXPECT_EQ(Find(t, 0x80040003), "error 317");
}

TEST(MessageTable, MalformedModulesAreRefusedWithTheirLine) {
    struct Case {
        const char* source;
        const char* error;
    };
    const Case cases[] = {
        {"", "line 1: no messages"},
        {"; only a comment\n", "no messages"},
        {"MessageId=1\nLanguage=English\nnever ended\n", "line 4: message text not ended"},
        {"MessageId=1\nSeverity=Fatal\n", "line 2: unknown severity name 'Fatal'"},
        {"MessageId=1\nFacility=Nowhere\n", "unknown facility name"},
        {"MessageId=1\nLanguage=Klingon\nx\n.\n", "unknown language name"},
        {"MessageId=1\nColour=Red\n", "line 2: unknown keyword 'Colour'"},
        {"SeverityNames=(Fatal=4)\n", "out of range"},
        {"FacilityNames=(Big=0x1000)\n", "out of range"},
        {"FacilityNames=(A=1\n", "unterminated FacilityNames"},
        {"MessageId=0x10000\nLanguage=English\nx\n.\n", "MessageId out of range"},
        {"MessageId=0xFFFF\nLanguage=English\nx\n.\nMessageId=\nLanguage=English\ny\n.\n", "MessageId out of range"},
        {"MessageId=1\nLanguage=English\nx\n.\nMessageId=1\nLanguage=English\ny\n.\n", "0x00000001 defined twice"},
        {"MessageId=1\nLanguage=English\nx\n.\nLanguage=English\ny\n.\n", "given twice"},
        {"Language=English\nx\n.\n", "before the first MessageId"},
        {"MessageId=1\nSymbolicName=A\nMessageId=2\nLanguage=English\nx\n.\n", "line 1: message has no Language text"},
        {"MessageId=09\n", "bad digit"},
        {"MessageId=1\nLanguage=English trailing\nx\n.\n", "text must start on the line after"},
        {"OutputBase=8\n", "OutputBase must be 10 or 16"},
    };
    for (const auto& c : cases) {
        MessageTable t;
        std::string error;
        EXPECT_FALSE(t.Parse(c.source, &error)) << c.source;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.source << " -> " << error;
        EXPECT_TRUE(t.Messages().empty());
    }
    const std::string withNul("MessageId=1\nLanguage=English\na\0b\n.\n", 33);
    MessageTable t;
    std::string error;
    EXPECT_FALSE(t.Parse(withNul, &error));
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;
}

class MessageModule : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(Mapped("C:\\msgs\\sample.mc"), kSample); }
};

TEST_F(MessageModule, LoadsAsDataFileAndFormatsWithInserts) {
    HMODULE h = LoadLibraryExA("C:\\MSGS\\Sample.mc", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) & 1, 1u);  // a data-file handle, as on Windows

    EXPECT_EQ(FormatFrom(h, 0x80040001, {"C:", reinterpret_cast<const char*>(71)}, 0),
              "Disk C: is hot:\r\n71 degrees.\r\n");
    // MAX_WIDTH_MASK: every line break of the text becomes one blank, the last one too;
    // %n stays a line break.
    EXPECT_EQ(FormatFrom(h, 0x80040001, {"C:", reinterpret_cast<const char*>(71)}, FORMAT_MESSAGE_MAX_WIDTH_MASK),
              "Disk C: is hot: 71 degrees. ");
    EXPECT_EQ(FormatFrom(h, 0xC0040005, {}, FORMAT_MESSAGE_MAX_WIDTH_MASK), "Fifth, line one line two\r\n.!% ");
    EXPECT_EQ(FormatFrom(h, 0xC0040005, {}, FORMAT_MESSAGE_IGNORE_INSERTS), "Fifth, line one\r\nline two\r\n.!%\r\n");
    EXPECT_EQ(FormatFrom(h, 0x40100008, {}, 0), "Net eight.");  // %0: no line break at the end
    EXPECT_EQ(FormatFrom(h, 0x80040001, {"x", "y"}, 0, 0x411), "JP x\r\n");

    EXPECT_EQ(FormatFrom(h, 0x00000001, {}, 0), "error 317");
    EXPECT_EQ(FormatFrom(h, 0x80040002, {}, 0, 0x411), "error 1815");
    // With FROM_SYSTEM as well, an id the module lacks comes from the system table.
    EXPECT_EQ(FormatFrom(h, 5, {}, FORMAT_MESSAGE_FROM_SYSTEM), "Access is denied.\r\n");

    HMODULE again = LoadLibraryExA("C:\\msgs\\sample.mc", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(FormatFrom(h, 0x80040002, {}, 0), "error 1813");  // gone: no message table there
    EXPECT_FALSE(FreeLibrary(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(FormatFrom(again, 0x80040002, {}, 0), "Second.\r\n");
    EXPECT_EQ(GetProcAddress(again, "Anything"), nullptr);
    EXPECT_TRUE(FreeLibrary(again));
}

TEST_F(MessageModule, DllNamesFindTheSourceBesideThem) {
    WriteFile(Mapped("C:\\WINDOWS\\system32\\Sample.mc"), kSample);
    char path[256];
    DWORD n = ExpandEnvironmentStringsA("%SystemRoot%\\System32\\SAMPLE.DLL", path, sizeof path);
    ASSERT_GT(n, 0u);
    for (const char* name : {static_cast<const char*>(path), "sample.dll", "sample", "C:\\msgs\\sample.dll"}) {
        HMODULE h = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(h, nullptr) << name << ": " << GetLastError();
        EXPECT_EQ(FormatFrom(h, 0x80040002, {}, 0), "Second.\r\n") << name;
        EXPECT_TRUE(FreeLibrary(h));
    }
    // A text file of another name counts by its content.
    WriteFile(Mapped("C:\\msgs\\texts.txt"), kSample);
    HMODULE h = LoadLibraryExA("C:\\msgs\\texts.txt", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(MessageModule, BadOrMissingFilesFailToLoad) {
    WriteFile(Mapped("C:\\msgs\\broken.mc"), "MessageId=1\nLanguage=English\nno end\n");
    WriteFile(Mapped("C:\\msgs\\binary.dll"), std::string("MZ\x90\0\3\0\0\0", 8));
    for (const char* name : {"C:\\msgs\\broken.mc", "C:\\msgs\\binary.dll"}) {
        EXPECT_EQ(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << name;
    }
    EXPECT_EQ(LoadLibraryExA("C:\\msgs\\absent.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    // A message source is no code module.
    EXPECT_EQ(LoadLibraryA("C:\\msgs\\sample.mc"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

TEST(MessageExpansion, LineBreaksWidthsAndLimits) {
    // Text line breaks of any form come out as CR LF, or one blank each under a width.
    EXPECT_EQ(FromString("a\nb\rc\r\n\r\nd"), "a\r\nb\r\nc\r\n\r\nd");
    EXPECT_EQ(FromString("a\nb\rc\r\n\r\nd", FORMAT_MESSAGE_MAX_WIDTH_MASK), "a b c  d");
    EXPECT_EQ(FromString("%1 %r%t%b%% %. %!x%0 tail", FORMAT_MESSAGE_MAX_WIDTH_MASK), "%1 \r\t % . !x");
    // A narrower width wraps at blanks and never splits a word.
    EXPECT_EQ(FromString("one two three fourteen%nshort words here", 9),
              "one two\r\nthree\r\nfourteen\r\nshort\r\nwords\r\nhere");
    EXPECT_EQ(FromString("abcdefghijkl mn", 5), "abcdefghijkl\r\nmn");

    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("x")};
    char buf[64];
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1!200000s!", 0, 0, buf,
                             sizeof buf, reinterpret_cast<va_list*>(args)),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "[%1!-4s!|%1!.0s!]", 0, 0,
                             buf, sizeof buf, reinterpret_cast<va_list*>(args)),
              7u);
    EXPECT_STREQ(buf, "[x   |]");
}

// The gatherer's module, installed where its registry entry points, formatted the way the
// agent formats event texts.
TEST(MordaneMessages, EveryIdentifierHasItsText) {
    fs::path source = fs::path(__FILE__).parent_path() / "../../../gatherer/messages/Mordane.mc";
    fs::path installed = Mapped("C:\\WINDOWS\\system32\\Mordane.mc");
    fs::create_directories(installed.parent_path());
    fs::copy_file(source, installed, fs::copy_options::overwrite_existing);

    char file[256];
    DWORD n = ExpandEnvironmentStringsA("%SystemRoot%\\System32\\Mordane.dll", file, sizeof file);
    ASSERT_TRUE(n > 0 && n <= sizeof file);
    HMODULE h = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr) << GetLastError();

    const std::set<DWORD> expected = {0x00000000, 0x80040001, 0x80040002, 0x80040003, 0x80040004, 0xC0040005,
                                      0xC0040006, 0x40040007, 0x40040008, 0xC0040009, 0xC004000A, 0x4004000B,
                                      0x4004000C, 0x8004000C, 0xC004000D, 0x4004000E, 0x4004000F};
    MessageTable table;
    std::ifstream in(source, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    ASSERT_TRUE(table.Parse(text, &error)) << error;
    std::set<DWORD> ids;
    for (const auto& m : table.Messages()) ids.insert(m.id);
    EXPECT_EQ(ids, expected);

    for (DWORD id : expected) {
        // Records without insertion strings are formatted with no argument array at all.
        std::vector<const char*> inserts;
        if (id == 0x4004000F) inserts = {"1,5,9,196,197,198,"};
        if (id == 0) inserts = {"Mordane error: 1063", "StartServiceCtrlDispatcher failed."};
        std::string msg = FormatFrom(h, id, inserts, FORMAT_MESSAGE_MAX_WIDTH_MASK);
        EXPECT_EQ(msg.rfind("error ", 0), std::string::npos) << std::hex << id << ": " << msg;
        EXPECT_EQ(msg.find_first_of("\r\n%"), std::string::npos) << std::hex << id << ": " << msg;
        EXPECT_GT(msg.size(), 20u);
        if (id == 0x4004000F) {
            EXPECT_NE(msg.find("attributes: 1,5,9,196,197,198,"), std::string::npos) << msg;
        }
        if (id == 0) {
            EXPECT_NE(msg.find("Mordane error: 1063"), std::string::npos) << msg;
            EXPECT_NE(msg.find("StartServiceCtrlDispatcher failed."), std::string::npos) << msg;
        }
    }
    EXPECT_TRUE(FreeLibrary(h));
}

}  // namespace
