#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/registory.h"
#include "pal/handle/handle.h"
#include "pal/windows.h"

namespace {

const char* kBase = "SOFTWARE\\QIR\\RegTest";

TEST(CRegistoryTest, CreateReportsTheDisposition) {
    CRegistory r;
    ASSERT_TRUE(r.Create(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS));
    EXPECT_EQ(r.GetErrorCode(), 1);
    ASSERT_TRUE(r.Create(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS));
    EXPECT_EQ(r.GetErrorCode(), 2);
}

TEST(CRegistoryTest, TypedValuesRoundTrip) {
    CRegistory r;
    ASSERT_TRUE(r.Create(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS));
    EXPECT_TRUE(r.Write("Text", "hello"));
    EXPECT_TRUE(r.Write("Number", DWORD{0x1234}));
    EXPECT_TRUE(r.Write("List", std::vector<std::string>{"A", "B"}));
    std::string text;
    EXPECT_TRUE(r.Read("Text", text));
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(r.Read("Number"), static_cast<LONG>(REG_DWORD));
    DWORD n = 0;
    EXPECT_TRUE(r.Read("Number", n));
    EXPECT_EQ(n, 0x1234u);
    std::vector<std::string> list;
    EXPECT_TRUE(r.Read("List", list));
    EXPECT_EQ(list, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(r.Read("Missing"), -1);
    EXPECT_NE(std::string(r.GetErrorMsg()).find("Registory read error : 2,  LOCAL_MACHINE\\" + std::string(kBase) +
                                                  "\\Missing"),
              std::string::npos);
}

TEST(CRegistoryTest, MultiStringStopsAtTheFirstEmptyString) {
    CRegistory r;
    ASSERT_TRUE(r.Create(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS));
    const char data[] = "A\0B\0\0C\0";
    ASSERT_EQ(RegSetValueExA(r.GetSubKey(), "Odd", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data), sizeof data),
              ERROR_SUCCESS);
    std::vector<std::string> list;
    EXPECT_TRUE(r.Read("Odd", list));
    EXPECT_EQ(list, (std::vector<std::string>{"A", "B"}));
}

TEST(CRegistoryTest, DwordReadKeepsAnEarlierError) {
    CRegistory r;
    ASSERT_TRUE(r.Create(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS));
    r.Write("N", DWORD{7});
    EXPECT_EQ(r.Read("Nothing"), -1);
    DWORD v = 0;
    EXPECT_TRUE(r.Read("N", v));
    EXPECT_EQ(r.GetErrorCode(), 2);  // the DWORD read does not clear first
}

TEST(CRegistoryTest, EnumerationEndsWith259) {
    CRegistory r;
    std::string base = std::string(kBase) + "\\Enum";
    for (const char* k : {"one", "two"}) {
        CRegistory c;
        ASSERT_TRUE(c.Create(HKEY_LOCAL_MACHINE, (base + "\\" + k).c_str(), KEY_ALL_ACCESS));
    }
    ASSERT_TRUE(r.Open(HKEY_LOCAL_MACHINE, base.c_str(), KEY_READ));
    std::string name;
    EXPECT_TRUE(r.EnumKeyFirst(&name));
    EXPECT_EQ(name, "one");
    EXPECT_TRUE(r.EnumKeyNext(&name));
    EXPECT_EQ(name, "two");
    EXPECT_FALSE(r.EnumKeyNext(&name));
    EXPECT_EQ(r.GetErrorCode(), 259);
    EXPECT_EQ(std::string(r.GetErrorMsg()), "Registory enum key read end : LOCAL_MACHINE\\" + base);
}

TEST(CRegistoryTest, DeleteKeyRemovesTheWholeTree) {
    std::string base = std::string(kBase) + "\\Tree";
    CRegistory c;
    ASSERT_TRUE(c.Create(HKEY_LOCAL_MACHINE, (base + "\\a\\b").c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(c.Create(HKEY_LOCAL_MACHINE, (base + "\\c").c_str(), KEY_ALL_ACCESS));
    c.Close();
    CRegistory r;
    EXPECT_TRUE(r.DeleteKey(HKEY_LOCAL_MACHINE, base.c_str()));
    EXPECT_FALSE(r.Open(HKEY_LOCAL_MACHINE, base.c_str(), KEY_READ));
    EXPECT_TRUE(r.DeleteKey(HKEY_LOCAL_MACHINE, base.c_str()));  // missing is fine
    EXPECT_FALSE(r.DeleteValue(HKEY_LOCAL_MACHINE, base.c_str(), "x"));
    EXPECT_NE(std::string(r.GetErrorMsg()).find("Registory Key not found : 2"), std::string::npos);
}

TEST(CRegistoryTest, CopyWithoutOverwriteKeepsDestinationValues) {
    std::string src = std::string(kBase) + "\\Src", dst = std::string(kBase) + "\\Dst";
    CRegistory s, d;
    ASSERT_TRUE(s.Create(HKEY_LOCAL_MACHINE, (src + "\\child").c_str(), KEY_ALL_ACCESS));
    s.Write("deep", "1");
    ASSERT_TRUE(s.Create(HKEY_LOCAL_MACHINE, src.c_str(), KEY_ALL_ACCESS));
    s.Write("same", "source");
    s.Write("other", "copied");
    ASSERT_TRUE(d.Create(HKEY_LOCAL_MACHINE, dst.c_str(), KEY_ALL_ACCESS));
    d.Write("same", "kept");
    CRegistory r;
    EXPECT_TRUE(r.Copy(HKEY_LOCAL_MACHINE, dst.c_str(), HKEY_LOCAL_MACHINE, src.c_str(), 0));
    std::string v;
    d.Read("same", v);
    EXPECT_EQ(v, "kept");
    d.Read("other", v);
    EXPECT_EQ(v, "copied");
    CRegistory child;
    ASSERT_TRUE(child.Open(HKEY_LOCAL_MACHINE, (dst + "\\child").c_str(), KEY_READ));
    child.Read("deep", v);
    EXPECT_EQ(v, "1");
}

TEST(CRegistoryTest, SaveAndLoadRoundTrip) {
    if (geteuid() != 0) GTEST_SKIP() << "hive save and load need the backup and restore privileges";
    std::string src = std::string(kBase) + "\\Hive";
    CRegistory s;
    ASSERT_TRUE(s.Create(HKEY_LOCAL_MACHINE, (src + "\\inner").c_str(), KEY_ALL_ACCESS));
    s.Write("v", DWORD{9});
    s.Close();
    CreateDirectoryA("C:\\hives", nullptr);
    CRegistory r;
    ASSERT_TRUE(r.FileSave("C:\\hives\\one.hiv", HKEY_LOCAL_MACHINE, src.c_str())) << r.GetErrorMsg();
    ASSERT_TRUE(r.FileLoad("C:\\hives\\one.hiv", HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\Loaded", 1, 0))
        << r.GetErrorMsg();
    CRegistory l;
    ASSERT_TRUE(l.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\Loaded\\inner", KEY_READ));
    DWORD v = 0;
    EXPECT_TRUE(l.Read("v", v));
    EXPECT_EQ(v, 9u);
    EXPECT_FALSE(r.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR.fwSecApi.FileLoad.$$$", KEY_READ));  // cleaned up
}

TEST(CRegistoryTest, FailedMergeLoadLeavesNoTemporaryKey) {
    const char* kTemp = "SOFTWARE\\QIR.fwSecApi.FileLoad.$$$";
    const char* kDamaged = "C:\\hives\\damaged.hiv";
    CreateDirectoryA("C:\\hives", nullptr);
    HANDLE f = CreateFileA(kDamaged, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    const char junk[] = "this is no hive file, only some text standing in for one";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(f, junk, sizeof junk, &written, nullptr));
    CloseHandle(f);

    for (const char* file : {kDamaged, "C:\\hives\\missing.hiv"}) {
        for (int mode : {0, 1}) {
            SCOPED_TRACE(std::string(file) + " mode " + std::to_string(mode));
            CRegistory r;
            EXPECT_FALSE(r.FileLoad(file, HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\NotLoaded", mode, 0));
            EXPECT_TRUE(r.IsError());
            EXPECT_NE(r.GetErrorCode(), 0);
            EXPECT_STREQ(r.GetTarget(), "CRegistory::FileLoad");
            EXPECT_EQ(std::string(r.GetErrorMsg()), "Registory restore file error : " +
                                                        std::to_string(r.GetErrorCode()) + ",  " + file +
                                                        "  HKEY_LOCAL_MACHINE\\" + kTemp);
            CRegistory probe;
            EXPECT_FALSE(probe.Open(HKEY_LOCAL_MACHINE, kTemp, KEY_READ));
            EXPECT_EQ(probe.GetErrorCode(), 2);
            EXPECT_FALSE(probe.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\NotLoaded", KEY_READ));
        }
    }
}

TEST(CRegistoryTest, CopiesHoldKeysOfTheirOwn) {
    const std::string base = std::string(kBase) + "\\Copies";
    CRegistory original;
    ASSERT_TRUE(original.Create(HKEY_LOCAL_MACHINE, base.c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(original.Write("v", "first"));
    EXPECT_EQ(original.Read("nothing"), -1);  // an error state for the copies to carry
    const size_t handles = pal::HandleCount();
    std::string v;

    {
        CRegistory copy(original);
        EXPECT_TRUE(copy.IsOpen());
        EXPECT_NE(copy.GetSubKey(), original.GetSubKey());
        EXPECT_EQ(copy.GetErrorCode(), 2);
        EXPECT_EQ(copy.GetHKey(), HKEY_LOCAL_MACHINE);
        EXPECT_TRUE(copy.Read("v", v));
        EXPECT_EQ(v, "first");
        EXPECT_EQ(pal::HandleCount(), handles + 1);
    }
    EXPECT_EQ(pal::HandleCount(), handles);
    EXPECT_TRUE(original.Read("v", v)) << original.GetErrorMsg();
    EXPECT_EQ(v, "first");

    {
        CVQRegistory vq;
        ASSERT_TRUE(vq.Open(HKEY_LOCAL_MACHINE, base.c_str(), KEY_READ));
        { CVQRegistory copy = vq; }
        EXPECT_TRUE(vq.Read("v", v)) << vq.GetErrorMsg();
    }

    {
        CRegistory other;
        ASSERT_TRUE(other.Create(HKEY_LOCAL_MACHINE, (base + "\\other").c_str(), KEY_ALL_ACCESS));
        ASSERT_TRUE(other.Write("v", "other"));
        const HKEY old = other.GetSubKey();
        other = original;
        EXPECT_EQ(pal::HandleCount(), handles + 1);  // its old key closed, a handle of its own made
        EXPECT_EQ(RegCloseKey(old), ERROR_INVALID_HANDLE);
        EXPECT_TRUE(other.Read("v", v));
        EXPECT_EQ(v, "first");
        EXPECT_EQ(other.GetErrorCode(), 0);

        // Whatever gets the old handle's place next must survive the assigned object.
        CRegistory later;
        ASSERT_TRUE(later.Open(HKEY_LOCAL_MACHINE, (base + "\\other").c_str(), KEY_READ));
        other.Close();
        EXPECT_TRUE(later.Read("v", v)) << later.GetErrorMsg();
        EXPECT_EQ(v, "other");
    }
    EXPECT_EQ(pal::HandleCount(), handles);

    CRegistory& alias = original;
    original = alias;
    EXPECT_EQ(pal::HandleCount(), handles);
    EXPECT_TRUE(original.Read("v", v)) << original.GetErrorMsg();

    CRegistory closed;
    CRegistory closedCopy(closed);
    EXPECT_FALSE(closedCopy.IsOpen());
    closed = closedCopy;
    EXPECT_EQ(pal::HandleCount(), handles);
}

TEST(CRegistoryTest, UnknownRootIsRefused) {
    CRegistory r;
    EXPECT_FALSE(r.Open(HKEY_CURRENT_CONFIG, "x", KEY_READ));
    EXPECT_NE(std::string(r.GetErrorMsg()).find("Registory invalid HKEY : "), std::string::npos);
}

TEST(CVQRegistoryTest, UserKeysComeFirstOnTerminalServers) {
    CRegistory setup;
    ASSERT_TRUE(setup.Create(HKEY_CURRENT_USER, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM", KEY_ALL_ACCESS));
    setup.Write("TSE", DWORD{1});
    ASSERT_TRUE(setup.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM", KEY_ALL_ACCESS));
    setup.Write("SYSTEM_NAME", "POSAPP");
    ASSERT_TRUE(setup.Create(HKEY_CURRENT_USER, "SOFTWARE\\QIR\\VQ FRAMEWORK\\USERONLY", KEY_ALL_ACCESS));
    setup.Write("where", "user");
    ASSERT_TRUE(setup.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\USERONLY", KEY_ALL_ACCESS));
    setup.Write("where", "machine");
    ASSERT_TRUE(setup.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\MACHINEONLY", KEY_ALL_ACCESS));
    ASSERT_TRUE(setup.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\POSAPP", KEY_ALL_ACCESS));
    setup.Close();

    CVQRegistory::m_lTse = -1;  // read once per process; this test sets it up
    CVQRegistory v;
    EXPECT_EQ(CVQRegistory::GetRegTse(), 1);
    EXPECT_STREQ(CVQRegistory::GetAplName(), "POSAPP");
    ASSERT_TRUE(v.OpenVq("USERONLY", KEY_READ));
    std::string where;
    v.Read("where", where);
    EXPECT_EQ(where, "user");
    ASSERT_TRUE(v.OpenVq("MACHINEONLY", KEY_READ));
    EXPECT_EQ(v.GetHKey(), HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(v.OpenApl(nullptr, KEY_READ));
    EXPECT_TRUE(v.OpenVqApl("NOWHERE", KEY_READ) == 0);
}

}  // namespace
