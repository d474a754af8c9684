// The sensor driver through CreateFile and DeviceIoControl: presence, the record layout,
// live changes, fault injection, request checks and the configuration text.
#include "pal/device/tests/device_test_util.h"

using namespace devtest;
using pal::device::WriteSimulatedSensor;

namespace {

using SensorPresenceTest = SensorTest;

TEST_F(SensorPresenceTest, TheConfigurationFileIsTheInstalledDriver) {
    EXPECT_EQ(OpenOutcome(), "fail 2");
    ASSERT_TRUE(WriteSimulatedSensor({}));
    EXPECT_EQ(OpenOutcome(), "ok");
    ASSERT_TRUE(pal::device::RemoveDeviceConfig("DRVSENSOR"));
    EXPECT_EQ(OpenOutcome(), "fail 2");
    EXPECT_EQ(pal::device::SensorConfigPath(), pal::core::RootDir() + "/devices/drvsensor.conf");
}

using SensorRecordTest = SensorTest;

TEST_F(SensorRecordTest, SimulatedValuesLandAtTheirOffsets) {
    ASSERT_TRUE(WriteSimulatedSensor({{"case_temperature", "31"},
                                      {"cpu_temperature", "-7"},
                                      {"cpu_fan", "4000000000"},
                                      {"cooling_fan", "0"},
                                      {"power_5v", "4987"},
                                      {"power_12v", "12100"}}));
    const uint8_t expected[40] = {
        31,   0,    0,    0,     // case temperature
        0xF9, 0xFF, 0xFF, 0xFF,  // CPU temperature -7
        0x00, 0x28, 0x6B, 0xEE,  // CPU fan 4000000000
        0,    0,    0,    0,     // cooling fan failed
        0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0,  // unused
        0x7B, 0x13, 0,    0,     // 4987 mV
        0x44, 0x2F, 0,    0,     // 12100 mV
        0,    0,    0,    0,     // unused
    };
    for (DWORD size : {40u, 44u}) {
        SCOPED_TRACE(size);
        Answer a = AskOnce(size);
        ASSERT_TRUE(a.ok) << a.error;
        ASSERT_EQ(a.returned, size);
        EXPECT_EQ(0, memcmp(a.bytes.data(), expected, sizeof expected));
        for (size_t i = 40; i < size; ++i) EXPECT_EQ(a.bytes[i], 0) << i;
        for (size_t i = size; i < a.bytes.size(); ++i) EXPECT_EQ(a.bytes[i], kUntouched) << i;
    }
}

TEST_F(SensorRecordTest, MissingReadingsAreHealthyDefaults) {
    ASSERT_TRUE(WriteSimulatedSensor({{"cpu_fan", "1500"}}));
    Answer a = AskOnce();
    ASSERT_TRUE(a.ok);
    pal::device::SensorReadings r;
    ASSERT_TRUE(pal::device::DecodeSensorRecord(a.bytes.data(), a.returned, r));
    EXPECT_EQ(r.caseTemperature, 30);
    EXPECT_EQ(r.cpuTemperature, 45);
    EXPECT_EQ(r.cpuFan, 1500u);
    EXPECT_EQ(r.coolingFan, 1u);
    EXPECT_EQ(r.power5V, 5000u);
    EXPECT_EQ(r.power12V, 12000u);
}

TEST_F(SensorRecordTest, AnOpenHandleSeesEveryChange) {
    ASSERT_TRUE(WriteSimulatedSensor({{"cpu_temperature", "50"}}));
    HANDLE h = OpenSensor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ask(h).At(DRVSENSOR_OFFSET_CPU_TEMP), 50u);
    ASSERT_TRUE(WriteSimulatedSensor({{"cpu_temperature", "91"}}));
    EXPECT_EQ(Ask(h).At(DRVSENSOR_OFFSET_CPU_TEMP), 91u);

    // The driver stops working while its configuration is gone or broken, and comes back.
    ASSERT_TRUE(pal::device::RemoveDeviceConfig("DRVSENSOR"));
    Answer gone = Ask(h);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(gone.returned, 0u);
    EXPECT_EQ(gone.bytes[0], kUntouched);
    WriteConfText("cpu_temperature = 9O\n");
    EXPECT_EQ(Ask(h).error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    ASSERT_TRUE(WriteSimulatedSensor({{"cpu_temperature", "60"}}));
    EXPECT_EQ(Ask(h).At(DRVSENSOR_OFFSET_CPU_TEMP), 60u);
    CloseHandle(h);
}

using SensorFaultTest = SensorTest;

TEST_F(SensorFaultTest, InjectedFailuresAndShortReplies) {
    ASSERT_TRUE(WriteSimulatedSensor({{"fail_open", "21"}}));
    EXPECT_EQ(OpenOutcome(), "fail 21");

    ASSERT_TRUE(WriteSimulatedSensor({}));
    HANDLE h = OpenSensor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteSimulatedSensor({{"fail_request", "1117"}}));  // a fault after the open
    Answer failed = Ask(h);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, 1117u);
    EXPECT_EQ(failed.returned, 0u);

    ASSERT_TRUE(WriteSimulatedSensor({{"reply_bytes", "12"}, {"cooling_fan", "7"}}));
    Answer shortReply = Ask(h, 44);
    ASSERT_TRUE(shortReply.ok);
    EXPECT_EQ(shortReply.returned, 12u);
    EXPECT_EQ(shortReply.At(DRVSENSOR_OFFSET_CPU_FAN), 1000u);
    EXPECT_EQ(shortReply.bytes[12], kUntouched);

    ASSERT_TRUE(WriteSimulatedSensor({{"reply_bytes", "100"}}));
    EXPECT_EQ(Ask(h, 44).returned, 44u);
    ASSERT_TRUE(WriteSimulatedSensor({{"reply_bytes", "0"}}));
    Answer empty = Ask(h);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.returned, 0u);
    EXPECT_EQ(empty.bytes[0], kUntouched);
    CloseHandle(h);
}

TEST_F(SensorFaultTest, RequestsTheDriverRefuses) {
    ASSERT_TRUE(WriteSimulatedSensor({}));
    HANDLE h = OpenSensor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Answer small = Ask(h, 39);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small.returned, 0u);
    for (uint8_t b : small.bytes) ASSERT_EQ(b, kUntouched);

    DWORD returned = 5;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_DRVSENSOR_READ, nullptr, 0, nullptr, 40, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    for (DWORD code : {CTL_CODE(FILE_DEVICE_DRVSENSOR, 8, METHOD_BUFFERED, FILE_ANY_ACCESS),
                       CTL_CODE(FILE_DEVICE_DRVSENSOR, 9, METHOD_NEITHER, FILE_ANY_ACCESS), 0x222004u})
        EXPECT_EQ(Ask(h, 40, code).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << std::hex << code;

    // The code as the terminal's programs spell it; the input buffer plays no part.
    uint8_t in[16] = {1, 2, 3};
    uint8_t out[40];
    EXPECT_TRUE(DeviceIoControl(h, 0x97000024u, in, sizeof in, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 40u);
    CloseHandle(h);
}

using SensorConfigTextTest = SensorTest;

TEST_F(SensorConfigTextTest, CommentsBlanksAndUnknownKeys) {
    WriteConfText(
        "# sensor stand-in for the bench terminal\r\n"
        "\n"
        "   provider = simulated\r\n"
        "CPU_Temperature=  -12   # below freezing\n"
        "colour = blue\n"
        "cpu_fan = 1\n"
        "cpu_fan = 2\n"
        "power_12v = 11990");
    Answer a = AskOnce();
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(static_cast<int32_t>(a.At(DRVSENSOR_OFFSET_CPU_TEMP)), -12);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_FAN), 2u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_12V), 11990u);
}

TEST_F(SensorConfigTextTest, MalformedConfigurationFailsCleanly) {
    const char* broken[] = {
        "cpu_fan = 12x",    "cpu_fan = -1",        "cpu_fan = 4294967296", "cpu_temperature = 2147483648",
        "power_5v =",       "power_5v = 5 000",    "case_temperature = 0x1E", "cpu_fan = +-3",
        "just some words",  "= 5",                 "provider = magic",     "fail_open = often",
        "reply_bytes = -4", "fallback.cpu_fan = a",
    };
    for (const char* line : broken) {
        WriteConfText(std::string("provider = simulated\n") + line + "\n");
        EXPECT_EQ(OpenOutcome(), "fail 31") << line;
    }
}

}  // namespace
