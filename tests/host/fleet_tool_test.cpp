// Several simulated devices updated at once by the built tool, as a production station runs it.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tool_fixture.h"

// Every line a device prints is led by its tag and is, without it, exactly what that device alone
// would print; one failing device fails the run (status 1), is named by the summary with its
// reason, and leaves the others verified.
TEST_F(Tool, AllDevicesAtOnceOneFailingIsNamedAndTheOthersAreVerified) {
    const ProcessResult plain = simulate({});
    const ProcessResult r =
        simulate({"--sim-devices", "3", "--all", "--sim-fault", "SIM0002/drop:page:3"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("\nSIM0002  failed "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the page write at 0x008200 was not answered"), std::string::npos);
    EXPECT_NE(r.err.find("hidiap: 1 of 3 devices failed: SIM0002\n"), std::string::npos) << r.err;

    const std::string files = kUsage + "OTA file size is 40000\r\nTTS file size is 1000\r\n";
    ASSERT_EQ(r.out.compare(0, files.size(), files), 0) << r.out;
    std::map<std::string, std::string> by_device;
    std::istringstream lines(r.out.substr(files.size()));
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.rfind("[SIM000", 0), 0u) << line;
        by_device[line.substr(1, 7)] += line.substr(10) + "\n";
    }
    EXPECT_EQ(files + by_device["SIM0001"], plain.out);
    EXPECT_EQ(files + by_device["SIM0003"], plain.out);
    EXPECT_NE(by_device["SIM0002"].find("IAP_EVT_CMD_RX_TIMEOUT"), std::string::npos);

    const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x80000);
    EXPECT_TRUE(read_file("flash.SIM0001.bin") == expected);
    EXPECT_TRUE(read_file("flash.SIM0003.bin") == expected);
    EXPECT_FALSE(read_file("flash.SIM0002.bin") == expected);
}

TEST_F(Tool, RepeatedSerialAndPathUpdateExactlyTheNamedDevices) {
    const ProcessResult r =
        simulate({"--sim-devices", "3", "--serial", "SIM0003", "--path", "sim:1"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("[SIM0003] Firmware updated successfully !"), std::string::npos);
    EXPECT_NE(r.out.find("[SIM0001] Firmware updated successfully !"), std::string::npos);
    EXPECT_EQ(r.out.find("SIM0002"), std::string::npos);
    EXPECT_NE(r.err.find("hidiap: all 2 devices updated and verified\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("flash.SIM0002.bin")));
}

// With --json every event names its device, each device ends with its own outcome, and every
// kind of event reaches it (here the surveys of --skip-unchanged).
TEST_F(Tool, JsonEventsOfSeveralDevicesNameTheirDevice) {
    const ProcessResult r = simulate({"--json", "--skip-unchanged", "--sim-devices", "2", "--all",
                                      "--sim-fault", "SIM0001/corrupt:page:2"});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    std::map<std::string, std::string> outcome;
    std::map<std::string, int> surveys;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line);
        ASSERT_TRUE(event.contains("device")) << line;
        surveys[event["device"]] += event["type"] == "survey" ? 1 : 0;
        if (event["type"] == "outcome") {
            outcome[event["device"]] =
                event["status"].get<std::string>() + " " + event["cause"].dump();
        }
    }
    EXPECT_EQ(outcome["SIM0001"], "failed \"crc_mismatch\"");
    EXPECT_EQ(outcome["SIM0002"], "success null");
    EXPECT_EQ(surveys["SIM0002"], 2);
}
