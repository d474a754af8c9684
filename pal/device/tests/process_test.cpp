// Another process rewriting the sensor configuration while this one reads the device.
#include <chrono>
#include <filesystem>
#include <iterator>

#include "pal/device/tests/device_test_util.h"
#include "tests/support/child_process.h"

using namespace devtest;

namespace {

// Two complete sets of readings, every field away from its default, so a reader that
// saw part of a file would get a record matching neither.
const pal::device::ConfValues kSetA = {{"case_temperature", "11"}, {"cpu_temperature", "-21"},
                                       {"cpu_fan", "3100"},        {"cooling_fan", "41"},
                                       {"power_5v", "5051"},       {"power_12v", "12061"}};
const pal::device::ConfValues kSetB = {{"case_temperature", "12"}, {"cpu_temperature", "-22"},
                                       {"cpu_fan", "3200"},        {"cooling_fan", "42"},
                                       {"power_5v", "5052"},       {"power_12v", "12062"}};

int32_t Field(const pal::device::ConfValues& set, const char* key) { return std::stoi(set.at(key)); }

bool Matches(const Answer& a, const pal::device::ConfValues& set) {
    pal::device::SensorReadings r;
    return a.ok && pal::device::DecodeSensorRecord(a.bytes.data(), a.returned, r) &&
           r.caseTemperature == Field(set, "case_temperature") && r.cpuTemperature == Field(set, "cpu_temperature") &&
           static_cast<int32_t>(r.cpuFan) == Field(set, "cpu_fan") &&
           static_cast<int32_t>(r.coolingFan) == Field(set, "cooling_fan") &&
           static_cast<int32_t>(r.power5V) == Field(set, "power_5v") &&
           static_cast<int32_t>(r.power12V) == Field(set, "power_12v");
}

// Rewrites the configuration with set A and set B in turn until killed.
VQ_CHILD(sensor_rewriter) {
    for (long i = 0;; ++i) {
        if (!pal::device::WriteSimulatedSensor(i % 2 ? kSetB : kSetA)) return 1;
        if (i == 0) vqtest::Tell("ready");
    }
}

using SensorWriterTest = SensorTest;

std::string Slurp(std::istream& in) { return std::string(std::istreambuf_iterator<char>(in), {}); }

// The writer never changes the file a reader may have open: it puts a new one in place.
TEST_F(SensorWriterTest, AWriteReplacesTheFileWhole) {
    ASSERT_TRUE(pal::device::WriteSimulatedSensor(kSetA));
    std::ifstream before(pal::device::SensorConfigPath());
    ASSERT_TRUE(pal::device::WriteSimulatedSensor(kSetB));
    const std::string old = Slurp(before);
    EXPECT_NE(old.find("cpu_fan = 3100\n"), std::string::npos) << old;
    EXPECT_NE(old.find("provider = simulated\n"), std::string::npos) << old;
    std::ifstream after(pal::device::SensorConfigPath());
    EXPECT_NE(Slurp(after).find("cpu_fan = 3200\n"), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(pal::core::RootDir() + "/devices"))
        EXPECT_EQ(entry.path().filename(), "drvsensor.conf");  // no temporary left behind
}

TEST_F(SensorWriterTest, ReadersNeverSeeAHalfWrittenFile) {
    vqtest::ChildProcess writer("sensor_rewriter");
    ASSERT_TRUE(writer.Expect("ready"));
    HANDLE h = OpenSensor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();

    // Read until both sets were seen many times; the deadline only guards a stuck writer.
    long seenA = 0, seenB = 0, reads = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((seenA < 50 || seenB < 50 || reads < 5000) && std::chrono::steady_clock::now() < deadline) {
        Answer a = (reads % 4 == 0) ? AskOnce() : Ask(h);  // fresh opens too
        ++reads;
        if (Matches(a, kSetA))
            ++seenA;
        else if (Matches(a, kSetB))
            ++seenB;
        else
            FAIL() << "read " << reads << ": ok " << a.ok << " error " << a.error << " returned " << a.returned;
    }
    CloseHandle(h);
    writer.Kill();
    writer.Wait();
    EXPECT_GE(seenA, 50);
    EXPECT_GE(seenB, 50);
}

}  // namespace
