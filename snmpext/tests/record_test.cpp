// Building the request record: byte layout, limits and result codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "snmpext/internal.h"
#include "snmpext/norvik.h"

namespace {

using norvik::LocalRecord;
using norvik::TrapInfo;

const char* kName = "1.3.6.1.4.1.6203.1.2.1";

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    return {b, b + n};
}

uint32_t Length(int i) { return LocalRecord().params[i].length; }

// A valid dotted OID text of exactly n characters (three sub-identifiers; the conversion
// takes leading zeros, so the last one can be as wide as needed).
std::string OidOfLength(size_t n) { return "1.3." + std::string(n - 5, '0') + "1"; }

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override { ClearParameter(); }
};

TEST_F(RecordTest, EveryTypeIsStoredAtItsOffsetsWithTagAndLength) {
    ASSERT_EQ(SetEnterpriseOid("1.3.6.1.4.1.6203.1"), 0);
    ASSERT_EQ(SetGenericTrapId(6), 0);
    ASSERT_EQ(SetSpecificTrapId(-7), 0);
    ASSERT_EQ(AddParamInteger32(kName, -2), 0);
    ASSERT_EQ(AddParamBits(kName, "ab"), 0);
    ASSERT_EQ(AddParamString(kName, "hello"), 0);
    ASSERT_EQ(AddParamNull(kName), 0);
    ASSERT_EQ(AddParamObjectId(kName, "1.3.6.1.2"), 0);
    ASSERT_EQ(AddParamIpAddress(kName, 192, 168, 1, 20), 0);
    ASSERT_EQ(AddParamCounter32(kName, 0x01020304), 0);
    ASSERT_EQ(AddParamGauge32(kName, 5), 0);
    ASSERT_EQ(AddParamTimeticks(kName, 6), 0);
    ASSERT_EQ(AddParamOpaque(kName, "xyz"), 0);
    ASSERT_EQ(AddParamCounter64(kName, 1, 2), 0);
    ASSERT_EQ(AddParamUnsigned32(kName, 0xFFFFFFFF), 0);

    auto* raw = reinterpret_cast<const uint8_t*>(&LocalRecord());
    EXPECT_STREQ(reinterpret_cast<const char*>(raw), "1.3.6.1.4.1.6203.1");
    EXPECT_EQ(Bytes(raw + 256, 4), (std::vector<uint8_t>{6, 0, 0, 0}));
    EXPECT_EQ(Bytes(raw + 260, 4), (std::vector<uint8_t>{0xF9, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(raw[264], 12);
    EXPECT_EQ(Bytes(raw + 265, 3), (std::vector<uint8_t>{0, 0, 0}));

    const uint8_t expectTags[] = {0x02, 0x03, 0x04, 0x05, 0x06, 0x40, 0x41, 0x42, 0x43, 0x44, 0x46, 0x47};
    const uint32_t expectLengths[] = {4, 2, 5, 0, 9, 4, 4, 4, 4, 3, 8, 4};
    for (int i = 0; i < 12; ++i) {
        const uint8_t* entry = raw + 268 + i * 2312;
        SCOPED_TRACE(i);
        EXPECT_STREQ(reinterpret_cast<const char*>(entry), kName);
        EXPECT_EQ(entry[256], expectTags[i]);
        EXPECT_EQ(Bytes(entry + 257, 3), (std::vector<uint8_t>{0, 0, 0}));
        uint32_t length;
        std::memcpy(&length, entry + 260, 4);
        EXPECT_EQ(length, expectLengths[i]);
    }
    auto value = [&](int i, size_t n) { return Bytes(raw + 268 + i * 2312 + 264, n); };
    EXPECT_EQ(value(0, 4), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(value(2, 6), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', 0}));
    EXPECT_EQ(value(4, 10), Bytes("1.3.6.1.2", 10));
    EXPECT_EQ(value(5, 4), (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x14}));
    EXPECT_EQ(value(6, 4), (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(value(10, 8), (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(value(11, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(RecordTest, IpAddressUsesTheLowByteOfEachArgument) {
    ASSERT_EQ(AddParamIpAddress(kName, 0x1C0, 0xA8, 0xFF01, 20), 0);
    EXPECT_EQ(Bytes(LocalRecord().params[0].value, 4), (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x14}));
}

TEST_F(RecordTest, TextValuesAreCutAt2047Characters) {
    std::string text(3000, 'x');
    ASSERT_EQ(AddParamString(kName, text.c_str()), 0);
    ASSERT_EQ(AddParamOpaque(kName, text.c_str()), 0);
    ASSERT_EQ(AddParamString(kName, ""), 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Length(i), 2047u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(LocalRecord().params[i].value)), text.substr(0, 2047));
    }
    EXPECT_EQ(Length(2), 0u);
    EXPECT_EQ(AddParamString(kName, nullptr), ERROR_INVALID_DATA);
}

TEST_F(RecordTest, OidTextLimitsAndFailures) {
    std::string name255 = OidOfLength(255), name256 = OidOfLength(256);
    ASSERT_EQ(name255.size(), 255u);
    ASSERT_EQ(name256.size(), 256u);
    EXPECT_EQ(AddParamNull(name255.c_str()), 0);
    EXPECT_EQ(std::string(LocalRecord().params[0].name), name255);
    EXPECT_EQ(AddParamNull(name256.c_str()), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamNull(nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamNull(""), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamNull("system.sysName"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AddParamInteger32("1..3", 1), ERROR_INVALID_PARAMETER);

    std::string value2047 = OidOfLength(2047), value2048 = OidOfLength(2048);
    EXPECT_EQ(AddParamObjectId(kName, value2047.c_str()), 0);
    EXPECT_EQ(Length(1), 2047u);
    EXPECT_EQ(AddParamObjectId(kName, value2048.c_str()), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamObjectId(kName, nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamObjectId(kName, ""), ERROR_INVALID_DATA);
    EXPECT_EQ(AddParamObjectId(kName, "1.3.x"), ERROR_INVALID_PARAMETER);
    // The value is checked before the name.
    EXPECT_EQ(AddParamObjectId("bad", ""), ERROR_INVALID_DATA);

    EXPECT_EQ(SetEnterpriseOid(name255.c_str()), 0);
    EXPECT_EQ(SetEnterpriseOid(name256.c_str()), ERROR_INVALID_DATA);
    EXPECT_EQ(SetEnterpriseOid(nullptr), ERROR_INVALID_DATA);
    EXPECT_EQ(SetEnterpriseOid(""), ERROR_INVALID_DATA);
    EXPECT_EQ(SetEnterpriseOid("enterprises.6203"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::string(LocalRecord().enterprise), name255);
}

TEST_F(RecordTest, FailedCallsLeaveTheRecordAsItWas) {
    ASSERT_EQ(SetEnterpriseOid("1.3.6.1.4.1.6203.1.9"), 0);
    ASSERT_EQ(AddParamString(kName, "kept"), 0);
    std::vector<uint8_t> before = Bytes(&LocalRecord(), sizeof(TrapInfo));
    EXPECT_NE(SetEnterpriseOid("not an oid"), 0);
    EXPECT_NE(SetEnterpriseOid(""), 0);
    EXPECT_NE(AddParamString("x", "value"), 0);
    EXPECT_NE(AddParamObjectId(kName, "1.x"), 0);
    EXPECT_NE(AddParamCounter64(nullptr, 1, 2), 0);
    EXPECT_EQ(Bytes(&LocalRecord(), sizeof(TrapInfo)), before);
}

TEST_F(RecordTest, TheFiftyFirstBindingIsRefusedAndFiftyStay) {
    for (int i = 0; i < 50; ++i) ASSERT_EQ(AddParamInteger32(kName, i), 0) << i;
    std::vector<uint8_t> full = Bytes(&LocalRecord(), sizeof(TrapInfo));
    EXPECT_EQ(AddParamInteger32(kName, 50), ERROR_OUTOFMEMORY);
    EXPECT_EQ(AddParamString(kName, "x"), ERROR_OUTOFMEMORY);
    EXPECT_EQ(LocalRecord().bindingCount, 50);
    EXPECT_EQ(Bytes(&LocalRecord(), sizeof(TrapInfo)), full);
    int32_t last;
    std::memcpy(&last, LocalRecord().params[49].value, 4);
    EXPECT_EQ(last, 49);
}

TEST_F(RecordTest, ClearParameterKeepsEnterpriseAndIds) {
    ASSERT_EQ(SetEnterpriseOid("1.3.6.1.4.1.6203.1"), 0);
    SetGenericTrapId(6);
    SetSpecificTrapId(42);
    ASSERT_EQ(AddParamString(kName, "gone"), 0);
    EXPECT_EQ(ClearParameter(), 0);
    EXPECT_EQ(std::string(LocalRecord().enterprise), "1.3.6.1.4.1.6203.1");
    EXPECT_EQ(LocalRecord().genericTrap, 6);
    EXPECT_EQ(LocalRecord().specificTrap, 42);
    EXPECT_EQ(LocalRecord().bindingCount, 0);
    std::vector<uint8_t> zero(sizeof LocalRecord().params, 0);
    EXPECT_EQ(Bytes(LocalRecord().params, sizeof LocalRecord().params), zero);
}

}  // namespace
