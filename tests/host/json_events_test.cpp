// --json as a GUI or a production station reads it: every line of standard output one event,
// and the final outcome telling why an update failed. Also --dry-run's plan, which needs no
// device.
#include <nlohmann/json.hpp>
#include <sstream>

#include "tool_fixture.h"

namespace {

using nlohmann::json;

// Parses standard output as JSON Lines, checking each line's type and monotonic time.
std::vector<json> events_of(const std::string &out) {
    std::vector<json> events;
    std::istringstream lines(out);
    double last_t = 0;
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line);  // throws, failing the test, on anything but JSON
        EXPECT_TRUE(e["type"].is_string()) << line;
        EXPECT_GE(e["t"].get<double>(), last_t) << line;
        last_t = e["t"].get<double>();
        events.push_back(std::move(e));
    }
    return events;
}

std::vector<json> of_type(const std::vector<json> &events, const std::string &type) {
    std::vector<json> found;
    for (const json &e : events) {
        if (e["type"] == type) {
            found.push_back(e);
        }
    }
    return found;
}

}  // namespace

TEST_F(Tool, JsonEventsOfASuccessfulUpdate) {
    const ProcessResult r = simulate({"--json"});
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<json> events = events_of(r.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["type"], "device");
    EXPECT_EQ(events.front()["product"], "Simulated IAP device");
    const std::vector<json> plan = of_type(events, "plan");
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0]["tts_addr"], 0x80000);
    EXPECT_EQ(of_type(events, "erase").size(), 3u);
    const std::vector<json> checks = of_type(events, "check");
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1]["addr"], 0x80000);
    EXPECT_EQ(checks[1]["match"], true);
    EXPECT_EQ(checks[1]["device_crc"], checks[1]["host_crc"]);
    EXPECT_EQ(of_type(events, "progress").back()["done"], 8448);
    const json &outcome = events.back();
    EXPECT_EQ(outcome["type"], "outcome");
    EXPECT_EQ(outcome["status"], "success");
    EXPECT_EQ(outcome["exit_status"], 0);
    EXPECT_EQ(outcome["bytes"], 8448);
    EXPECT_TRUE(outcome["reason"].is_null());
}

TEST_F(Tool, JsonOutcomeNamesEachFailure) {
    struct Case {
        std::vector<std::string> faults;
        const char *cause;
        const char *reason;    // the outcome's reason contains this
        const char *evidence;  // and an event of this type came before it ("" for none)
    };
    const Case cases[] = {
        {{"corrupt:page:5"},
         "crc_mismatch",
         "the CRC of the image range 0x008000-0x009d00 did not match: device 0x",
         "check"},
        {{"drop:page:3"},
         "not_answered",
         "the page write at 0x008200 was not answered; sent once",
         ""},
        {{"drop:erase:2", "drop:erase:3", "drop:erase:4", "drop:erase:5"},
         "not_answered",
         "the erase at 0x009000 was not answered; sent 4 times",
         "resend"},
        {{"error:unlock:1:9", "error:unlock:2:9", "error:unlock:3:9", "error:unlock:4:9"},
         "refused",
         "the device refused the unlock of the range at 0x008000 with result code 0x09",
         "device_error"},
        {{"unplug:erase:2"}, "disconnected", "the device disconnected during the erase", ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"--json"};
        for (const std::string &f : c.faults) {
            args.insert(args.end(), {"--sim-fault", f});
        }
        const ProcessResult r = simulate(args);
        EXPECT_EQ(r.exit_status, 1) << c.cause;
        const std::vector<json> events = events_of(r.out);
        ASSERT_FALSE(events.empty()) << c.cause;
        const json &outcome = events.back();
        EXPECT_EQ(outcome["type"], "outcome");
        EXPECT_EQ(outcome["status"], "failed");
        EXPECT_EQ(outcome["cause"], c.cause);
        EXPECT_NE(outcome["reason"].get<std::string>().find(c.reason), std::string::npos)
            << outcome.dump();
        if (*c.evidence != '\0') {
            EXPECT_FALSE(of_type(events, c.evidence).empty()) << c.cause;
        }
        if (std::string(c.evidence) == "check") {
            const json check = of_type(events, "check").back();
            const std::vector<uint8_t> flash = test_support::expected_flash(image, tts, 0x80000);
            EXPECT_EQ(check["match"], false);
            EXPECT_EQ(check["host_crc"], test_support::reference_jamcrc(&flash[0x8000], 7424));
            EXPECT_NE(check["device_crc"], check["host_crc"]);
        }
        // The same reason is the outcome line on standard error.
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
}

TEST_F(Tool, DryRunPlansWithoutADevice) {
    // No --simulate: a dry run must not look for a device at all.
    const std::vector<std::string> files = {path("img.bin"), path("tts.bin"), "1MB"};
    std::vector<std::string> args = {"--dry-run"};
    args.insert(args.end(), files.begin(), files.end());
    const ProcessResult text = run_process(kTool, args);
    EXPECT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out.find(kUsage), std::string::npos);
    EXPECT_NE(text.out.find("OTA file size is 40000\r\nTTS file size is 1000\r\n"),
              std::string::npos);
    EXPECT_NE(text.out.find("image 40000 bytes, rounded to 40192; programs 7424 bytes at flash "
                            "0x008000-0x009d00: 2 sectors, 29 pages"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("TTS   1000 bytes, rounded to 1024; programs 1024 bytes at flash "
                            "0x080000-0x080400: 1 sector, 4 pages"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("3 sectors to erase, 33 pages to write, 173 output reports"),
              std::string::npos);
    EXPECT_NE(text.out.find("expected time: 0.31 s over full-speed USB HID (1 ms per report, "
                            "45 ms per 4 KiB erase)"),
              std::string::npos);

    args.insert(args.begin(), "--json");
    const std::vector<json> events = events_of(run_process(kTool, args).out);
    ASSERT_EQ(events.size(), 1u);
    const json &plan = events[0];
    EXPECT_EQ(plan["type"], "plan");
    EXPECT_EQ(plan["tts_addr"], 0x80000);
    EXPECT_EQ(plan["reports"], 173);
    EXPECT_EQ(plan["expected_seconds"], 0.308);  // 173 reports x 1 ms + 3 erases x 45 ms
    EXPECT_EQ(plan["ranges"][0]["size"], 7424);
    EXPECT_EQ(plan["ranges"][1]["rounded_bytes"], 1024);

    // Unusable inputs: status 2, and for a script the outcome alone.
    args[args.size() - 2] = path("missing.bin");
    const ProcessResult refused = run_process(kTool, args);
    EXPECT_EQ(refused.exit_status, 2);
    const std::vector<json> outcome = events_of(refused.out);
    ASSERT_EQ(outcome.size(), 1u) << refused.out;
    EXPECT_EQ(outcome[0]["type"], "outcome");
    EXPECT_EQ(outcome[0]["status"], "bad-input");
    EXPECT_EQ(outcome[0]["exit_status"], 2);
}
