// SNMP utility and manager functions: OID text conversion and ownership of copies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pal/windows.h"

namespace {

std::vector<UINT> Convert(const char* text, BOOL* ok = nullptr) {
    AsnObjectIdentifier oid{99, reinterpret_cast<UINT*>(1)};
    SetLastError(0);
    BOOL r = SnmpMgrStrToOid(const_cast<char*>(text), &oid);
    if (ok) *ok = r;
    std::vector<UINT> ids(oid.ids, oid.ids + oid.idLength);
    if (!r) {
        EXPECT_EQ(oid.ids, nullptr);
        EXPECT_EQ(oid.idLength, 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << text;
    }
    SnmpUtilOidFree(&oid);
    return ids;
}

}  // namespace

TEST(SnmpOid, DottedNumbersAreAbsoluteWithOrWithoutALeadingDot) {
    EXPECT_EQ(Convert("1.3.6.1.4.1.6203.1.3.1.0"), (std::vector<UINT>{1, 3, 6, 1, 4, 1, 6203, 1, 3, 1, 0}));
    EXPECT_EQ(Convert(".1.3.6.1.4.1.6203"), (std::vector<UINT>{1, 3, 6, 1, 4, 1, 6203}));
    EXPECT_EQ(Convert("2.999.4294967295"), (std::vector<UINT>{2, 999, 4294967295u}));
    EXPECT_EQ(Convert("0.0"), (std::vector<UINT>{0, 0}));
}

TEST(SnmpOid, AnythingElseFailsWithAnErrorCode) {
    for (const char* bad : {"", ".", "1", "1.", "1..3", ".1.3.", "1.3.x", "iso.3.6", "sysUpTime.0", " 1.3",
                            "1.3 ", "1.3.6.-1", "1.3.4294967296", "3.1", "1.40", "0.40", "+1.3", "1,3"}) {
        BOOL ok = TRUE;
        Convert(bad, &ok);
        EXPECT_FALSE(ok) << '"' << bad << '"';
    }
    std::string longest = "1.3";
    for (int i = 2; i < SNMP_MAX_OID_LEN; ++i) longest += ".1";
    BOOL ok = FALSE;
    EXPECT_EQ(Convert(longest.c_str(), &ok).size(), static_cast<size_t>(SNMP_MAX_OID_LEN));
    EXPECT_TRUE(ok);
    Convert((longest + ".1").c_str(), &ok);
    EXPECT_FALSE(ok);
    AsnObjectIdentifier oid{};
    EXPECT_FALSE(SnmpMgrStrToOid(nullptr, &oid));
}

TEST(SnmpOid, TextRoundTripsAndCompares) {
    AsnObjectIdentifier a{}, b{};
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>(".1.3.6.1.2.1.1.3.0"), &a));
    LPSTR text = nullptr;
    ASSERT_TRUE(SnmpMgrOidToStr(&a, &text));
    EXPECT_STREQ(text, "1.3.6.1.2.1.1.3.0");
    SnmpUtilMemFree(text);
    EXPECT_STREQ(SnmpUtilOidToA(&a), "1.3.6.1.2.1.1.3.0");
    ASSERT_TRUE(SnmpUtilOidCpy(&b, &a));
    EXPECT_NE(a.ids, b.ids);
    EXPECT_EQ(SnmpUtilOidCmp(&a, &b), 0);
    AsnObjectIdentifier tail{};
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>("1.5"), &tail));
    ASSERT_TRUE(SnmpUtilOidAppend(&b, &tail));
    EXPECT_STREQ(SnmpUtilOidToA(&b), "1.3.6.1.2.1.1.3.0.1.5");
    EXPECT_LT(SnmpUtilOidCmp(&a, &b), 0);
    EXPECT_GT(SnmpUtilOidCmp(&tail, &a), 0);
    EXPECT_GT(SnmpUtilOidCmp(&a, nullptr), 0);
    // Appending past 128 sub-identifiers fails and leaves the OID as it was.
    std::string longest = "1.3";
    for (int i = 2; i < SNMP_MAX_OID_LEN; ++i) longest += ".1";
    AsnObjectIdentifier full{};
    ASSERT_TRUE(SnmpMgrStrToOid(longest.data(), &full));
    EXPECT_FALSE(SnmpUtilOidAppend(&full, &tail));
    EXPECT_EQ(full.idLength, static_cast<UINT>(SNMP_MAX_OID_LEN));
    SnmpUtilOidFree(&full);
    SnmpUtilOidFree(&a);
    SnmpUtilOidFree(&b);
    SnmpUtilOidFree(&tail);
    SnmpUtilOidFree(&tail);  // freeing a freed (zeroed) OID is harmless
    EXPECT_EQ(tail.ids, nullptr);
}

TEST(SnmpVarBinds, ListsCopyDeeplyAndFreeOnlyDynamicStrings) {
    static BYTE fixed[] = {1, 2, 3};
    SnmpVarBind binds[3] = {};
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>("1.3.6.1.4.1.1"), &binds[0].name));
    binds[0].value.asnType = ASN_OCTETSTRING;
    binds[0].value.asnValue.string.stream = static_cast<BYTE*>(SnmpUtilMemAlloc(5));
    std::memcpy(binds[0].value.asnValue.string.stream, "hello", 5);
    binds[0].value.asnValue.string.length = 5;
    binds[0].value.asnValue.string.dynamic = TRUE;
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>("1.3.6.1.4.1.2"), &binds[1].name));
    binds[1].value.asnType = ASN_OBJECTIDENTIFIER;
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>("1.3.6.1.6.3.1"), &binds[1].value.asnValue.object));
    ASSERT_TRUE(SnmpMgrStrToOid(const_cast<char*>("1.3.6.1.4.1.3"), &binds[2].name));
    binds[2].value.asnType = ASN_IPADDRESS;
    binds[2].value.asnValue.address = {fixed, 3, FALSE};  // static storage: never freed

    auto* list = static_cast<SnmpVarBind*>(SnmpUtilMemAlloc(sizeof binds));
    std::memcpy(list, binds, sizeof binds);
    SnmpVarBindList original{list, 3};
    SnmpVarBindList copy{};
    ASSERT_TRUE(SnmpUtilVarBindListCpy(&copy, &original));
    SnmpUtilVarBindListFree(&original);  // ASan would flag a free of the static bytes
    EXPECT_EQ(original.list, nullptr);
    ASSERT_EQ(copy.len, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.list[0].value.asnValue.string.stream), 5), "hello");
    EXPECT_STREQ(SnmpUtilOidToA(&copy.list[1].value.asnValue.object), "1.3.6.1.6.3.1");
    EXPECT_TRUE(copy.list[2].value.asnValue.address.dynamic);  // a copy owns its bytes
    EXPECT_EQ(copy.list[2].value.asnValue.address.stream[2], 3);
    SnmpUtilVarBindListFree(&copy);
    SnmpUtilVarBindListFree(&copy);
    SnmpVarBindList empty{};
    SnmpUtilVarBindListFree(&empty);
}
