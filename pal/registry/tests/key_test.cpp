// Keys: creation and opening, names, roots, deletion and handles to deleted keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/registry/registry.h"
#include "pal/registry/tests/reg_test_util.h"

using namespace regtest;
using Names = std::vector<std::string>;

TEST(RegKey, CreateReportsDispositionAndMakesIntermediateKeys) {
    DWORD disposition = 0;
    HKEY deep = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HKEY again = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM\\", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    HKEY mid = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR", mid), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(mid), Names{"VQ FRAMEWORK"});
    // Created below an open key, relative to it.
    HKEY child = Create(mid, "CORVANE\\EXT_NORVIK", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\QIR\\NOPE", missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, "SOFTWARE\\QIR", missing), ERROR_FILE_NOT_FOUND) << "roots are separate";

    // A null or empty sub-key opens the same key again.
    HKEY same = nullptr;
    ASSERT_EQ(Open(mid, nullptr, same), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(same), (Names{"VQ FRAMEWORK", "CORVANE"}));
    for (HKEY k : {deep, again, mid, child, same}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(deep), ERROR_INVALID_HANDLE);
}

TEST(RegKey, NamesIgnoreAsciiCaseAndKeepTheirSpelling) {
    HKEY a = Create(HKEY_LOCAL_MACHINE, "CaseTest\\Software\\MixedCase");
    DWORD disposition = 0;
    HKEY b = Create(HKEY_LOCAL_MACHINE, "CASETEST\\SOFTWARE\\mixedcase", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    HKEY sw = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "casetest\\software", sw), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(sw), Names{"MixedCase"});
    HKEY top = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "CaseTest", top), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(top), Names{"Software"});
    RegCloseKey(top);

    // Only ASCII letters fold: two 8-bit spellings are two keys.
    RegCloseKey(Create(sw, "\xC4"));
    RegCloseKey(Create(sw, "\xE4"));
    EXPECT_EQ(SubKeys(sw).size(), 3u);
    for (HKEY k : {a, b, sw}) RegCloseKey(k);
}

TEST(RegKey, RefusesBadNamesAndUnknownRoots) {
    HKEY key = nullptr;
    HKEY parent = Create(HKEY_CURRENT_USER, "BadNames");
    std::string longest(255, 'k');
    RegCloseKey(Create(parent, longest.c_str()));
    std::string tooLong(256, 'k');
    EXPECT_EQ(RegCreateKeyExA(parent, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(parent, "\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(parent, "a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(SubKeys(parent), Names{longest}) << "nothing made by the failed calls";
    RegCloseKey(parent);

    EXPECT_EQ(Open(HKEY_CURRENT_CONFIG, "System", key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Open(HKEY_PERFORMANCE_DATA, nullptr, key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x1234), nullptr, key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_CONFIG, "X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_HANDLE);
    // HKCR and HKU exist (and start empty); closing a root is harmless.
    ASSERT_EQ(Open(HKEY_USERS, ".DEFAULT\\Control Panel\\International", key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, "", key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    // Windows allows 512 levels below a root.
    std::string path = "deep";
    for (int i = 1; i < 512; ++i) path += "\\d";
    RegCloseKey(Create(HKEY_CLASSES_ROOT, path.c_str()));
    EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (path + "\\d").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(RegKey, DeleteRemovesLeavesOnly) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Parent\\Child"));
    HKEY parent = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Parent");
    ASSERT_EQ(SetSz(parent, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get(parent, "v"), std::string("x\0", 2)) << "nothing deleted";
    EXPECT_EQ(RegDeleteKeyA(parent, "child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\del\\parent"), ERROR_SUCCESS);
    EXPECT_EQ(Get(parent, "v"), "<error 1018>");

    // A key can delete itself by handle; roots cannot be deleted.
    HKEY self = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Self");
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Self", gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_USERS, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(parent);
    RegCloseKey(self);
}

TEST(RegKey, HandleToDeletedKeyReportsKeyDeleted) {
    HKEY held = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed");
    ASSERT_EQ(SetDword(held, "n", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed"), ERROR_SUCCESS);

    DWORD n = 0, size = sizeof n;
    EXPECT_EQ(RegQueryValueExA(held, "n", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(held, "n", 2), ERROR_KEY_DELETED);
    char name[32];
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(held, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExA(held, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(held, ""), ERROR_KEY_DELETED);

    // A new key of the same name is another key: the old handle stays dead.
    HKEY reborn = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed");
    EXPECT_EQ(SetDword(held, "n", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(ValueNames(reborn), Names{});
    EXPECT_EQ(RegCloseKey(held), ERROR_SUCCESS);
    RegCloseKey(reborn);
}

TEST(RegKey, HandleAccessRightsAreChecked) {
    HKEY full = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights\\Existing");
    SetDword(full, "d", 7);
    HKEY reader = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights", reader, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader, "d", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "d"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(reader, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(reader, "Existing", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disposition),
              ERROR_SUCCESS)
        << "opening an existing key needs no create right";
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Get(sub, "d"), std::string("\x07\0\0\0", 4));

    HKEY writer = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights\\Existing", writer, KEY_SET_VALUE), ERROR_SUCCESS);
    EXPECT_EQ(Get(writer, "d"), "<error 5>");
    EXPECT_EQ(SubKeys(writer), Names{"<error 5>"});
    EXPECT_EQ(SetDword(writer, "d", 8), ERROR_SUCCESS);
    HKEY generic = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights\\Existing", generic, GENERIC_READ), ERROR_SUCCESS);
    EXPECT_EQ(Get(generic, "d"), std::string("\x08\0\0\0", 4));
    for (HKEY k : {full, reader, sub, writer, generic}) RegCloseKey(k);
}

TEST(RegKey, DeleteTreeAndCopyTreeWorkOnWholeTrees) {
    HKEY trees = Create(HKEY_CURRENT_USER, "Trees");
    HKEY src = Create(trees, "Src");
    RegCloseKey(Create(src, "A\\A1"));
    HKEY b = Create(src, "B");
    SetSz(src, "top", "t");
    SetDword(b, "n", 5);
    HKEY dst = Create(trees, "Dst");
    SetSz(dst, "top", "old");
    SetSz(dst, "mine", "kept");
    ASSERT_EQ(RegCopyTreeA(src, nullptr, dst), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(dst), (Names{"A", "B"}));
    EXPECT_EQ(ValueNames(dst), (Names{"top", "mine"}));
    EXPECT_EQ(Get(dst, "top"), std::string("t\0", 2));
    HKEY copied = nullptr;
    ASSERT_EQ(Open(dst, "B", copied), ERROR_SUCCESS);
    EXPECT_EQ(Get(copied, "n"), std::string("\x05\0\0\0", 4));

    // Without a sub-key the key stays and loses its contents.
    ASSERT_EQ(RegDeleteTreeA(dst, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(dst), Names{});
    EXPECT_EQ(ValueNames(dst), Names{});
    EXPECT_EQ(Get(copied, "n"), "<error 1018>");
    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Trees\\Src"), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(trees), Names{"Dst"});
    EXPECT_EQ(RegDeleteTreeA(trees, "Src"), ERROR_FILE_NOT_FOUND);
    for (HKEY k : {trees, src, b, dst, copied}) RegCloseKey(k);
}
