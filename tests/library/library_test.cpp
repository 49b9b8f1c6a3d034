// The C interface over the simulated device: every ending a device gives, the lines the tool
// prints, a cancel from another thread, two runs at once, and the refusals with their codes.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hidiap/hidiap.h"
#include "tool_fixture.h"

namespace {

struct Seen {
    std::string lines;
    int line_calls = 0;
    bool line_without_end = false;
    std::string last_phase;
    uint64_t last_done = 0;
    uint64_t last_total = 0;
    std::thread::id thread;
    bool other_thread = false;
};

void on_line(void *user, const char *text, size_t size) {
    Seen &s = *static_cast<Seen *>(user);
    s.lines.append(text, size);
    s.line_calls++;
    s.line_without_end = s.line_without_end || size == 0 || text[size - 1] != '\n';
    s.other_thread = s.other_thread || std::this_thread::get_id() != s.thread;
}

void on_progress(void *user, const char *phase, uint64_t done, uint64_t total) {
    Seen &s = *static_cast<Seen *>(user);
    s.last_phase = phase;
    s.last_done = done;
    s.last_total = total;
    s.other_thread = s.other_thread || std::this_thread::get_id() != s.thread;
}

class Library : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        hidiap_error e{};
        ASSERT_EQ(hidiap_inputs_from_files(path("img.bin").c_str(), path("tts.bin").c_str(), "1MB",
                                           nullptr, &inputs, &e),
                  HIDIAP_OK)
            << e.message;
    }
    void TearDown() override {
        hidiap_inputs_free(inputs);
        hidiap_simulator_free(sim);
        Tool::TearDown();
    }
    void make_sim(std::vector<const char *> faults = {}, int devices = 1) {
        hidiap_simulator_options o{};
        o.devices = devices;
        o.faults = faults.data();
        o.fault_count = faults.size();
        hidiap_error e{};
        ASSERT_EQ(hidiap_simulator_new(&o, &sim, &e), HIDIAP_OK) << e.message;
    }
    int run(bool verify, const char *serial, hidiap_result &r, Seen *seen = nullptr,
            hidiap_run *handle = nullptr) {
        hidiap_run_options o{};
        o.simulator = sim;
        o.serial = serial;
        if (seen != nullptr) {
            seen->thread = std::this_thread::get_id();
            o.on_line = on_line;
            o.on_progress = on_progress;
            o.user = seen;
        }
        error = hidiap_error{};
        return verify ? hidiap_verify(inputs, &o, handle, &r, &error)
                      : hidiap_update(inputs, &o, handle, &r, &error);
    }
    std::vector<uint8_t> flash(const char *serial) {
        std::vector<uint8_t> bytes(HIDIAP_FLASH_SIZE);
        hidiap_error e{};
        EXPECT_EQ(hidiap_simulator_flash(sim, serial, bytes.data(), bytes.size(), &e), HIDIAP_OK)
            << e.message;
        return bytes;
    }

    hidiap_inputs *inputs = nullptr;
    hidiap_simulator *sim = nullptr;
    hidiap_error error{};
};

TEST_F(Library, UpdateSucceedsAndVerifiesCurrentThenDiffers) {
    make_sim();
    EXPECT_EQ(flash("SIM0001"), std::vector<uint8_t>(HIDIAP_FLASH_SIZE, 0xFF));
    hidiap_result r{};
    Seen seen;
    ASSERT_EQ(run(false, "SIM0001", r, &seen), HIDIAP_OK) << error.message;
    EXPECT_STREQ(r.outcome, "success");
    EXPECT_STREQ(r.cause, "");
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_STREQ(r.serial, "SIM0001");
    EXPECT_STREQ(r.path, "sim:1");
    EXPECT_GT(r.bytes_programmed, image.size() - 0x8000);
    EXPECT_EQ(r.has_crcs, 1);
    const std::vector<uint8_t> after = flash("SIM0001");
    EXPECT_EQ(after, test_support::expected_flash(image, tts, 0x80000));
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", r.image_crc);
    EXPECT_EQ(jamcrc_hex(after, 0x8000, 40000 - 0x8000 + 192), crc);
    // Every callback on the caller's thread; whole lines only; progress ends at the TTS's end.
    EXPECT_FALSE(seen.other_thread);
    EXPECT_FALSE(seen.line_without_end);
    EXPECT_EQ(seen.last_total, 1024u);
    EXPECT_EQ(seen.last_done, 1024u);

    ASSERT_EQ(run(true, "SIM0001", r), HIDIAP_OK) << error.message;
    EXPECT_STREQ(r.outcome, "current");
    EXPECT_EQ(r.ok, 1);

    hidiap_inputs *other = nullptr;
    std::vector<uint8_t> changed = image;
    changed[0x9000] ^= 1;
    ASSERT_EQ(hidiap_inputs_from_memory(changed.data(), changed.size(), tts.data(), tts.size(),
                                        "1MB", nullptr, &other, &error),
              HIDIAP_OK)
        << error.message;
    std::swap(other, inputs);
    ASSERT_EQ(run(true, "SIM0001", r), HIDIAP_OK) << error.message;
    std::swap(other, inputs);
    hidiap_inputs_free(other);
    EXPECT_STREQ(r.outcome, "failed");
    EXPECT_STREQ(r.cause, "differs");
    EXPECT_EQ(r.ok, 0);
}

TEST_F(Library, RecordsAreKeptAsTheToolKeepsThem) {
    make_sim();
    hidiap_run_options o{};
    o.simulator = sim;
    const std::string file = path("runs.jsonl");
    o.record = file.c_str();
    hidiap_result r{};
    ASSERT_EQ(hidiap_update(inputs, &o, nullptr, &r, &error), HIDIAP_OK) << error.message;
    std::ifstream in(file);
    const std::string line((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(line.find("\"outcome\":\"success\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"serial\":\"SIM0001\""), std::string::npos) << line;
    const std::string folder = path("");
    o.record = folder.c_str();  // a folder is no records file: refused, nothing sent
    EXPECT_EQ(hidiap_update(inputs, &o, nullptr, &r, &error), HIDIAP_ERR_INPUT);
    EXPECT_NE(std::string(error.message).find("--record"), std::string::npos) << error.message;
}

TEST_F(Library, FaultRulesCountAfreshInEachRun) {
    make_sim({"SIM0001/corrupt:page:2"});
    hidiap_result r{};
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(run(false, "SIM0001", r), HIDIAP_OK) << error.message;
        EXPECT_STREQ(r.outcome, "failed");
        EXPECT_STRNE(r.cause, "");
        EXPECT_STRNE(r.reason, "");
        EXPECT_EQ(r.exit_status, 1);
    }
}

// The tool's standard output for the same device, but for its usage and size lines.
TEST_F(Library, LinesAreTheToolsStandardOutput) {
    for (const char *fault : {"", "drop:page:3"}) {
        SCOPED_TRACE(fault);
        std::vector<std::string> extra = {"--no-wait"};
        if (*fault != '\0') {
            extra.insert(extra.end(), {"--sim-fault", fault});
        }
        const ProcessResult tool = simulate(extra);
        std::string expected = tool.out;
        for (const char *head :
             {kUsage.c_str(), "OTA file size is 40000\r\n", "TTS file size is 1000\r\n"}) {
            ASSERT_EQ(expected.rfind(head, 0), 0u) << expected.substr(0, 200);
            expected.erase(0, std::string(head).size());
        }
        hidiap_simulator_free(sim);
        sim = nullptr;
        make_sim(*fault != '\0' ? std::vector<const char *>{fault} : std::vector<const char *>{});
        Seen seen;
        hidiap_result r{};
        ASSERT_EQ(run(false, nullptr, r, &seen), HIDIAP_OK) << error.message;
        EXPECT_EQ(seen.lines, expected);
        EXPECT_STREQ(r.outcome, tool.exit_status == 0 ? "success" : "failed");
    }
}

TEST_F(Library, CancelFromAnotherThreadEndsTheRunAsInterrupted) {
    // The first check's answer held back: the run would go on for seconds without the cancel.
    make_sim({"delay:check:1:100000"});
    hidiap_run *handle = hidiap_run_new();
    std::thread canceller([handle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        hidiap_cancel(handle);
    });
    hidiap_result r{};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(false, "SIM0001", r, nullptr, handle), HIDIAP_OK) << error.message;
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_STREQ(r.outcome, "interrupted");
    EXPECT_STREQ(r.cause, "interrupted");
    EXPECT_EQ(r.exit_status, 130);
    // Cancelled before it starts: nothing is sent.
    EXPECT_EQ(run(false, "SIM0001", r, nullptr, handle), HIDIAP_OK);
    EXPECT_STREQ(r.outcome, "interrupted");
    EXPECT_EQ(r.bytes_programmed, 0u);
    hidiap_run_free(handle);
}

// Two devices from two threads at once, each with its own lines; the same inputs from another
// handle are shared, other inputs refused while they run, and so is a second run on a device.
TEST_F(Library, TwoRunsAtOnceShareTheInputsAndRefuseOthers) {
    // The TTS check's answer held 1.5 s: both runs are under way while the others are tried.
    make_sim({"delay:check:2:150"}, 3);
    std::vector<uint8_t> changed = image;
    changed[0x9000] ^= 1;
    hidiap_inputs *other = nullptr;
    ASSERT_EQ(hidiap_inputs_from_memory(changed.data(), changed.size(), tts.data(), tts.size(),
                                        "1MB", nullptr, &other, &error),
              HIDIAP_OK);
    hidiap_inputs *same = nullptr;
    ASSERT_EQ(hidiap_inputs_from_files(path("img.bin").c_str(), path("tts.bin").c_str(), "1MB",
                                       nullptr, &same, &error),
              HIDIAP_OK);
    Seen seen[2];
    hidiap_result results[2]{};
    int codes[2]{};
    std::thread second([&] {
        hidiap_run_options o{};
        o.simulator = sim;
        o.serial = "SIM0002";
        o.on_line = on_line;
        o.user = &seen[1];
        seen[1].thread = std::this_thread::get_id();
        hidiap_error e{};
        codes[1] = hidiap_update(same, &o, nullptr, &results[1], &e);
    });
    std::thread first([&] { codes[0] = run(false, "SIM0001", results[0], &seen[0]); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    hidiap_inputs *loaded = nullptr;
    hidiap_error e{};
    EXPECT_EQ(hidiap_inputs_from_memory(changed.data(), changed.size(), tts.data(), tts.size(),
                                        "1MB", nullptr, &loaded, &e),
              HIDIAP_ERR_INPUTS_IN_USE);
    hidiap_run_options third{};
    third.simulator = sim;
    third.serial = "SIM0003";
    hidiap_result r{};
    EXPECT_EQ(hidiap_update(other, &third, nullptr, &r, &e), HIDIAP_ERR_INPUTS_IN_USE);
    EXPECT_NE(std::string(e.message).find("process-wide"), std::string::npos) << e.message;
    third.serial = "SIM0001";
    EXPECT_EQ(hidiap_update(inputs, &third, nullptr, &r, &e), HIDIAP_ERR_BUSY);
    first.join();
    second.join();
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(codes[i], HIDIAP_OK);
        EXPECT_STREQ(results[i].outcome, "success");
        EXPECT_FALSE(seen[i].other_thread);
        EXPECT_EQ(seen[i].lines.find('['), seen[i].lines.find("[IAP]"));  // no device tag
    }
    EXPECT_EQ(seen[0].lines, seen[1].lines);
    EXPECT_EQ(flash("SIM0002"), test_support::expected_flash(image, tts, 0x80000));
    EXPECT_EQ(flash("SIM0003"), std::vector<uint8_t>(HIDIAP_FLASH_SIZE, 0xFF));
    hidiap_inputs_free(same);
    hidiap_inputs_free(other);
}

// A package's bytes are judged by the keys as its file is, and give the same inputs.
TEST_F(Library, PackageFromMemoryIsJudgedAndLoadedAsItsFile) {
    for (const char *name : {"vendor", "other"}) {
        ASSERT_EQ(run_process(kTool, {"key", "make", path(name), "--unencrypted"}).exit_status, 0);
    }
    ASSERT_EQ(run_process(kTool, {"package", "make", path("fw.zip"), "--sign", path("vendor.key"),
                                  "--fw-version", "2.0", path("img.bin"), path("tts.bin"), "1MB"})
                  .exit_status,
              0);
    const std::vector<uint8_t> zip = read_file("fw.zip");
    std::string key = path("other.pub");
    const char *keys[] = {key.c_str()};
    hidiap_input_options o{};
    o.trusted_keys = keys;
    o.trusted_key_count = 1;
    hidiap_inputs *loaded = nullptr;
    EXPECT_EQ(hidiap_inputs_from_package_memory(zip.data(), zip.size(), &o, &loaded, &error),
              HIDIAP_ERR_INPUT);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_NE(std::string(error.message).find("package was refused"), std::string::npos)
        << error.message;
    EXPECT_EQ(hidiap_inputs_from_package_memory(nullptr, 10, &o, &loaded, &error),
              HIDIAP_ERR_ARGUMENT);

    key = path("vendor.pub");
    keys[0] = key.c_str();
    hidiap_inputs *from_file = nullptr;
    ASSERT_EQ(hidiap_inputs_from_package(path("fw.zip").c_str(), &o, &from_file, &error), HIDIAP_OK)
        << error.message;
    ASSERT_EQ(hidiap_inputs_from_package_memory(zip.data(), zip.size(), &o, &loaded, &error),
              HIDIAP_OK)
        << error.message;
    EXPECT_STREQ(hidiap_inputs_firmware_version(loaded), "2.0");
    EXPECT_STREQ(hidiap_inputs_image_sha256(loaded), hidiap_inputs_image_sha256(from_file));
    EXPECT_STREQ(hidiap_inputs_tts_sha256(loaded), hidiap_inputs_tts_sha256(from_file));
    EXPECT_STREQ(hidiap_inputs_token(loaded), "1MB");
    hidiap_inputs_free(from_file);
    std::swap(loaded, inputs);
    hidiap_inputs_free(loaded);
    make_sim();
    hidiap_result r{};
    ASSERT_EQ(run(false, "SIM0001", r), HIDIAP_OK) << error.message;
    EXPECT_STREQ(r.outcome, "success");
    EXPECT_EQ(flash("SIM0001"), test_support::expected_flash(image, tts, 0x80000));
}

TEST_F(Library, RefusalsComeWithTheirCodes) {
    hidiap_inputs *none = nullptr;
    EXPECT_EQ(hidiap_inputs_from_files(path("missing.bin").c_str(), path("tts.bin").c_str(), "1MB",
                                       nullptr, &none, &error),
              HIDIAP_ERR_INPUT);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(std::string(error.message).find("missing.bin"), std::string::npos) << error.message;
    const char *key = "/nonexistent/vendor.pub";
    hidiap_input_options keyed{};
    keyed.trusted_keys = &key;
    keyed.trusted_key_count = 1;
    EXPECT_EQ(hidiap_inputs_from_package(path("fw.zip").c_str(), &keyed, &none, &error),
              HIDIAP_ERR_INPUT);
    const char *bad = "explode:page:1";
    hidiap_simulator_options o{};
    o.faults = &bad;
    o.fault_count = 1;
    EXPECT_EQ(hidiap_simulator_new(&o, &sim, &error), HIDIAP_ERR_INPUT);
    EXPECT_NE(std::string(error.message).find("--sim-fault"), std::string::npos);
    make_sim();
    hidiap_result r{};
    EXPECT_EQ(run(false, "SIM0009", r), HIDIAP_ERR_NO_DEVICE);
    std::vector<uint8_t> bytes(HIDIAP_FLASH_SIZE);
    EXPECT_EQ(hidiap_simulator_flash(sim, "SIM0009", bytes.data(), bytes.size(), &error),
              HIDIAP_ERR_NO_DEVICE);
    EXPECT_EQ(hidiap_update(nullptr, nullptr, nullptr, &r, &error), HIDIAP_ERR_ARGUMENT);
    hidiap_simulator_free(sim);
    o = hidiap_simulator_options{};
    o.open_after_ms = 60000;
    ASSERT_EQ(hidiap_simulator_new(&o, &sim, &error), HIDIAP_OK);
    EXPECT_EQ(run(false, "SIM0001", r), HIDIAP_ERR_PERMISSION);
    hidiap_device devices[2];
    size_t count = 0;
    ASSERT_EQ(hidiap_list_devices(sim, 0, 0, 0, devices, 2, &count, &error), HIDIAP_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(devices[0].serial, "SIM0001");
    EXPECT_STREQ(devices[0].path, "sim:1");
    EXPECT_STREQ(hidiap_version(), HIDIAP_VERSION_STRING);
}

}  // namespace
