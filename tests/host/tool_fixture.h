// The built tool run on two generated files in a scratch directory of its own, against the
// simulated device; shared by the process tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "expected_layout.h"
#include "process_runner.h"
#include "reference_checksums.h"

namespace fs = std::filesystem;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::Stdin;

inline const std::string kTool = HIDIAP_TOOL_PATH;
inline const std::string kUsage = "Usage: Drage DFU image file to this exceute file !\r\n";

inline std::string jamcrc_hex(const std::vector<uint8_t> &flash, uint32_t addr, uint32_t len) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x",
                  test_support::reference_jamcrc(flash.data() + addr, len));
    return hex;
}

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_tool_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        image = test_support::random_bytes(40000, 11);
        tts = test_support::random_bytes(1000, 12);
        write_file("img.bin", image);
        write_file("tts.bin", tts);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return (dir / name).string(); }
    void write_file(const std::string &name, const std::vector<uint8_t> &bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read_file(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    ProcessResult simulate(std::vector<std::string> extra, const std::string &token = "1MB",
                           const ProcessOptions &options = {}) {
        std::vector<std::string> args = {"--simulate", "--sim-flash", path("flash.bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), token});
        return run_process(kTool, args, options);
    }

    fs::path dir;
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
};
