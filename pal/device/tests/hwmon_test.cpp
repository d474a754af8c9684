// The sensor driver's hwmon provider on a fake hwmon tree.
#include <filesystem>

#include "pal/device/tests/device_test_util.h"

using namespace devtest;
using pal::device::WriteDeviceConfig;

namespace {

class HwmonTest : public SensorTest {
protected:
    void SetUp() override {
        SensorTest::SetUp();
        root_ = pal::core::RootDir() + "/hwmon-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(root_);
        // hwmon10 sorts before hwmon2 by name but comes after it by number.
        Chip("hwmon0", "acpitz", {{"temp1_input", "27600"}});
        Chip("hwmon1", "k10temp", {{"temp1_input", "61500"}});
        Chip("hwmon2", "nct6775", {{"fan1_input", "1234"}, {"fan2_input", "0"}, {"in1_input", "2501"},
                                   {"in2_input", "1006"}, {"in3_input", "garbage"}});
        Chip("hwmon10", "coretemp", {{"temp1_input", "-2500"}, {"fan1_input", "999"}});
        std::filesystem::create_directories(root_ + "/unrelated");
    }

    void Chip(const std::string& dir, const std::string& name, const std::map<std::string, std::string>& files) {
        std::filesystem::create_directories(root_ + "/" + dir);
        Put(dir + "/name", name + "\n");
        for (const auto& [file, value] : files) Put(dir + "/" + file, value + "\n");
    }
    void Put(const std::string& file, const std::string& text) {
        std::ofstream(root_ + "/" + file, std::ios::trunc) << text;
    }
    void UseHwmon(pal::device::ConfValues values) {
        values["provider"] = "hwmon";
        values.emplace("hwmon_root", root_);
        ASSERT_TRUE(WriteDeviceConfig("DRVSENSOR", values));
    }

    std::string root_;
};

TEST_F(HwmonTest, DefaultMapping) {
    UseHwmon({});
    HANDLE h = OpenSensor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Answer a = Ask(h);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CASE_TEMP), 28u);                         // 27.6 rounds up
    EXPECT_EQ(static_cast<int32_t>(a.At(DRVSENSOR_OFFSET_CPU_TEMP)), -3);     // coretemp is preferred; -2.5 away from 0
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_FAN), 1234u);                         // hwmon2 before hwmon10
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_COOLING_FAN), 0u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_5V), 5000u);                        // voltages unmapped: fallbacks
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_12V), 12000u);

    // Every request reads the tree again.
    Put("hwmon2/fan1_input", "0\n");
    EXPECT_EQ(Ask(h).At(DRVSENSOR_OFFSET_CPU_FAN), 0u);
    CloseHandle(h);
}

TEST_F(HwmonTest, ExplicitMappingsAndFallbacks) {
    UseHwmon({{"map.cpu_temperature", "k10temp:temp1_input:0.001"},
              {"map.power_5v", "nct6775:in1_input:2"},
              {"map.power_12v", " hwmon2 : in2_input : 12.0 "},
              {"map.cpu_fan", "nct6775:in3_input"},                  // unreadable value
              {"map.cooling_fan", "none"},
              {"map.case_temperature", "it8728|missing:temp1_input:0.001"},  // no such chip
              {"fallback.case_temperature", "-40"},
              {"fallback.cpu_fan", "777"}});
    Answer a = AskOnce();
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_TEMP), 62u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_5V), 5002u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_12V), 12072u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_FAN), 777u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_COOLING_FAN), 1u);
    EXPECT_EQ(static_cast<int32_t>(a.At(DRVSENSOR_OFFSET_CASE_TEMP)), -40);
}

TEST_F(HwmonTest, ScalesAreExactAndValuesClampToTheField) {
    Put("hwmon2/in4_input", "-3\n");
    Put("hwmon2/in5_input", "99999999999\n");
    UseHwmon({{"map.case_temperature", "nct6775:in1_input:0.5"},   // 1250.5 -> 1251
              {"map.cpu_temperature", "nct6775:in1_input:-0.002"},  // -5.002 -> -5
              {"map.cpu_fan", "nct6775:in4_input"},                 // negative -> 0
              {"map.power_12v", "nct6775:in5_input:1"}});           // too large -> 2^32-1
    Answer a = AskOnce();
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CASE_TEMP), 1251u);
    EXPECT_EQ(static_cast<int32_t>(a.At(DRVSENSOR_OFFSET_CPU_TEMP)), -5);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_FAN), 0u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_POWER_12V), 0xFFFFFFFFu);
}

TEST_F(HwmonTest, NoTreeMeansHealthyFallbacks) {
    UseHwmon({{"hwmon_root", root_ + "/absent"}});
    Answer a = AskOnce();
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CASE_TEMP), 30u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_TEMP), 45u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_CPU_FAN), 1000u);
    EXPECT_EQ(a.At(DRVSENSOR_OFFSET_COOLING_FAN), 1u);
}

TEST_F(HwmonTest, MalformedMappingsFailTheOpen) {
    for (const char* mapping : {"nct6775", "nct6775:", ":fan1_input", "nct6775||x:fan1_input",
                                "nct6775:fan1_input:1e3", "nct6775:fan1_input:", "nct6775:../hwmon0/name:1",
                                "nct6775:fan1_input:0.0000000001"}) {
        UseHwmon({{"map.cpu_fan", mapping}});
        EXPECT_EQ(OpenOutcome(), "fail 31") << mapping;
    }
}

}  // namespace
