// The provider library as the agent uses it: loaded by its Windows path, setters looked up
// by name, every call journalled as one whole line.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "outside/telvane/telvane.h"
#include "pal/core/root.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

const char* const kLibrary = "C:\\WINDOWS\\system32\\Telvane.dll";

enum Kind { kText, kNumber, kByte };

struct Setter {
    const char* name;
    Kind kind;
};

const Setter kSetters[] = {
    {"SetBIOSVersion", kText},           {"SetEccErrorCounts", kNumber},
    {"SetHDDBootErrorCounts", kByte},    {"SetHDDBootErrorTime", kText},
    {"SetHDDBootErrorTemporary", kByte}, {"SetSerialNumber", kText},
    {"SetExcessiveCaseTemperature", kNumber}, {"SetMemoryErrorCounts", kNumber},
    {"SetDeviceDisconnectedUSB", kNumber}, {"SetHDD1_SMART1", kText},
    {"SetHDD1_SMART2", kText},           {"SetHDD1_SMART3", kText},
    {"SetHDD1_SMART4", kText},           {"SetHDD1_SMART5", kText},
    {"SetHDD1_SMART6", kText},           {"SetHDD2_SMART1", kText},
    {"SetHDD2_SMART2", kText},           {"SetHDD2_SMART3", kText},
    {"SetHDD2_SMART4", kText},           {"SetHDD2_SMART5", kText},
    {"SetHDD2_SMART6", kText},           {"SetBattery_SysCapacity1", kNumber},
    {"SetBattery_SysCapacity2", kNumber}, {"SetBattery_PrinterCapacity1", kNumber},
    {"SetBattery_PrinterCapacity2", kNumber}, {"SetBattery_Temperature", kNumber},
};

std::string JournalPath() { return pal::core::RootDir() + "/telvane/journal.log"; }

std::string JournalText() {
    std::ifstream in(JournalPath(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> JournalLines() {
    const std::string all = JournalText();
    if (!all.empty()) {
        EXPECT_EQ(all.back(), '\n') << "last line cut short";
    }
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(all.substr(start, nl - start));
    return lines;
}

HMODULE Load() {
    HMODULE h = LoadLibraryA(kLibrary);
    EXPECT_NE(h, nullptr) << "LoadLibrary error " << GetLastError();
    return h;
}

template <typename Fn>
Fn Bind(HMODULE h, const char* name) {
    return reinterpret_cast<Fn>(GetProcAddress(h, name));
}

const std::string kLongText(255, 'x');

// Writes count lines from SetBIOSVersion (a 255-character text) and SetEccErrorCounts.
void Hammer(HMODULE h, int count) {
    auto text = Bind<PFNTELVANETEXT>(h, "SetBIOSVersion");
    auto number = Bind<PFNTELVANENUMBER>(h, "SetEccErrorCounts");
    for (int i = 0; i < count; ++i) i % 2 ? text(kLongText.c_str()) : number(4000000000u);
}

constexpr int kHammerCount = 2000;

VQ_CHILD(telvane_hammer) {
    HMODULE h = LoadLibraryA(kLibrary);
    if (!h) return 1;
    vqtest::Tell("ready");
    Hammer(h, kHammerCount);
    return 0;
}

class TelvaneTest : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(pal::core::RootDir() + "/telvane");
        module_ = Load();
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    HMODULE module_ = nullptr;
};

TEST_F(TelvaneTest, EverySetterJournalsItsArgument) {
    std::vector<std::string> expected;
    for (const Setter& s : kSetters) {
        FARPROC p = GetProcAddress(module_, s.name);
        ASSERT_NE(p, nullptr) << s.name;
        LONG result = -1;
        switch (s.kind) {
            case kText:
                result = reinterpret_cast<PFNTELVANETEXT>(p)("0a1b 12:5:7");
                expected.push_back(std::string(s.name) + " 0a1b 12:5:7");
                break;
            case kNumber:
                result = reinterpret_cast<PFNTELVANENUMBER>(p)(4294967295u);
                expected.push_back(std::string(s.name) + " 4294967295");
                break;
            case kByte:
                result = reinterpret_cast<PFNTELVANEBYTE>(p)(-1);
                expected.push_back(std::string(s.name) + " -1");
                break;
        }
        EXPECT_EQ(result, 0) << s.name;
    }
    EXPECT_EQ(JournalLines(), expected);
    // Only the setters are exported, not the library's helpers.
    EXPECT_EQ(GetProcAddress(module_, "Journal"), nullptr);
}

TEST_F(TelvaneTest, TextsEdgeCases) {
    auto set = Bind<PFNTELVANETEXT>(module_, "SetSerialNumber");
    ASSERT_NE(set, nullptr);
    errno = EBADF;
    SetLastError(1234);
    EXPECT_EQ(set(kLongText.c_str()), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(set(nullptr), 0);
    EXPECT_EQ(set(""), 0);
    // A forged second line stays inside the first; other bytes pass as they are.
    EXPECT_EQ(set("A\nSetBIOSVersion 1\r\t\\\x01\x7f\xe6\x97\xa5"), 0);
    EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                                  "SetSerialNumber " + kLongText,
                                  "SetSerialNumber (null)",
                                  "SetSerialNumber ",
                                  "SetSerialNumber A\\nSetBIOSVersion 1\\r\\t\\\\\\x01\\x7F\xe6\x97\xa5",
                              }));
}

TEST_F(TelvaneTest, ConcurrentCallersWriteWholeLines) {
    vqtest::ChildProcess child("telvane_hammer");
    ASSERT_TRUE(child.Expect("ready", 60000));
    std::thread a(Hammer, module_, kHammerCount), b(Hammer, module_, kHammerCount);
    a.join();
    b.join();
    ASSERT_EQ(child.Wait(), 0);

    std::map<std::string, int> counts;
    for (const std::string& line : JournalLines()) ++counts[line];
    const std::map<std::string, int> expected = {{"SetBIOSVersion " + kLongText, 3 * kHammerCount / 2},
                                                 {"SetEccErrorCounts 4000000000", 3 * kHammerCount / 2}};
    EXPECT_EQ(counts, expected);
}

}  // namespace
