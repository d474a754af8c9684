// Hive files: save, restore, load and unload, and the privileges they need.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/registry/registry.h"
#include "pal/registry/tests/reg_test_util.h"

using namespace regtest;
using Names = std::vector<std::string>;

namespace {

class Hive : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the backup and restore privileges need root";
        static int n = 0;
        dir_ = pal::core::RootDir() + "/hives" + std::to_string(++n);
        pal::core::MakeDirs(dir_);
        ASSERT_TRUE(EnablePrivilege(SE_BACKUP_NAME, true));
        ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, true));
    }
    void TearDown() override {
        EnablePrivilege(SE_BACKUP_NAME, false);
        EnablePrivilege(SE_RESTORE_NAME, false);
    }
    std::string File(const char* name) const { return dir_ + "/" + name; }

    // A small tree: values in a chosen order, two levels of sub-keys.
    static HKEY MakeTree(const char* path) {
        HKEY key = Create(HKEY_LOCAL_MACHINE, path);
        SetSz(key, "b", "second-created-first");
        SetDword(key, "a", 42);
        HKEY child = Create(key, "Zed\\Inner");
        SetSz(child, "", "inner default");
        RegCloseKey(child);
        RegCloseKey(Create(key, "Alpha"));
        return key;
    }

    std::string dir_;
};

}  // namespace

TEST_F(Hive, SaveAndRestoreRoundTripAndReplace) {
    HKEY src = MakeTree("SOFTWARE\\HiveSrc");
    const std::string file = File("src.hiv");
    ASSERT_EQ(RegSaveKeyA(src, file.c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSaveKeyA(src, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);

    HKEY dst = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\HiveDst");
    SetSz(dst, "stale", "goes away");
    HKEY staleChild = Create(dst, "Old");
    ASSERT_EQ(RegRestoreKeyA(dst, file.c_str(), 0), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(dst), (Names{"b", "a"}));
    EXPECT_EQ(SubKeys(dst), (Names{"Zed", "Alpha"}));
    EXPECT_EQ(Get(dst, "a"), std::string("\x2a\0\0\0", 4));
    HKEY inner = nullptr;
    ASSERT_EQ(Open(dst, "zed\\inner", inner), ERROR_SUCCESS);
    EXPECT_EQ(Get(inner, nullptr), std::string("inner default\0", 14));
    EXPECT_EQ(SetDword(staleChild, "x", 1), ERROR_KEY_DELETED);
    for (HKEY k : {src, dst, staleChild, inner}) RegCloseKey(k);
}

TEST_F(Hive, SaveAndRestoreNeedTheirPrivileges) {
    HKEY key = MakeTree("SOFTWARE\\HivePriv");
    const std::string file = File("priv.hiv");
    ASSERT_TRUE(EnablePrivilege(SE_BACKUP_NAME, false));
    EXPECT_EQ(RegSaveKeyA(key, file.c_str(), nullptr), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "no file left behind";
    ASSERT_TRUE(EnablePrivilege(SE_BACKUP_NAME, true));
    ASSERT_EQ(RegSaveKeyA(key, file.c_str(), nullptr), ERROR_SUCCESS);

    ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME, false));
    SetSz(key, "later", "x");
    EXPECT_EQ(RegRestoreKeyA(key, file.c_str(), 0), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(ValueNames(key), (Names{"b", "a", "later"})) << "untouched";
    EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Mounted", file.c_str()), ERROR_PRIVILEGE_NOT_HELD);
    RegCloseKey(key);
}

TEST_F(Hive, RestoreRefusesWhatIsNoHive) {
    HKEY key = MakeTree("SOFTWARE\\HiveBad");
    const std::string junk = File("junk.hiv");
    std::ofstream(junk) << "Windows Registry Editor Version 5.00\n";
    EXPECT_EQ(RegRestoreKeyA(key, junk.c_str(), 0), ERROR_BADDB);
    EXPECT_EQ(RegRestoreKeyA(key, File("missing.hiv").c_str(), 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ValueNames(key), (Names{"b", "a"})) << "untouched";
    EXPECT_EQ(RegSaveKeyA(key, File("no/such/dir.hiv").c_str(), nullptr), ERROR_PATH_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Hive, WindowsFileNamesMapIntoTheMachineRoot) {
    HKEY key = MakeTree("SOFTWARE\\HiveWin");
    ASSERT_EQ(RegSaveKeyA(key, "C:\\hivewin.dat", nullptr), ERROR_SUCCESS);
    EXPECT_EQ(access((pal::core::RootDir() + "/drive_c/hivewin.dat").c_str(), F_OK), 0);
    EXPECT_EQ(RegRestoreKeyA(key, "c:\\HIVEWIN.DAT", 0), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Hive, LoadMountsAndUnloadWritesBack) {
    HKEY src = MakeTree("SOFTWARE\\HiveLoad");
    const std::string file = File("load.hiv");
    ASSERT_EQ(RegSaveKeyA(src, file.c_str(), nullptr), ERROR_SUCCESS);

    ASSERT_EQ(RegLoadKeyA(HKEY_USERS, "Mounted", file.c_str()), ERROR_SUCCESS);
    HKEY mounted = nullptr;
    ASSERT_EQ(Open(HKEY_USERS, "Mounted", mounted), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(mounted), (Names{"Zed", "Alpha"}));
    ASSERT_EQ(SetSz(mounted, "added", "while loaded"), ERROR_SUCCESS);

    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Again", file.c_str()), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Mounted", File("other.hiv").c_str()), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegSaveKeyA(src, File("other.hiv").c_str(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "mounted", File("other.hiv").c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegLoadKeyA(HKEY_CURRENT_USER, "X", File("other.hiv").c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "A\\B", File("other.hiv").c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_USERS, "Mounted"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(RegUnLoadKeyA(HKEY_USERS, "Mounted"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(mounted, "x", 1), ERROR_KEY_DELETED);
    HKEY gone = nullptr;
    EXPECT_EQ(Open(HKEY_USERS, "Mounted", gone), ERROR_FILE_NOT_FOUND);

    // The file now holds the change made while it was loaded.
    HKEY check = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\HiveCheck");
    ASSERT_EQ(RegRestoreKeyA(check, file.c_str(), 0), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(check), (Names{"b", "a", "added"}));
    EXPECT_EQ(Get(check, "added"), std::string("while loaded\0", 13));
    for (HKEY k : {src, mounted, check}) RegCloseKey(k);
}
