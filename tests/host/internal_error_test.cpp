// A fault of the program is told and ends the run with status 70, whatever threw it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/app/hidiap_tool.h"
#include "host/platform/env.h"
#include "test_env.h"

namespace {

TEST(InternalError, AnExceptionIsSaidAndEndsTheRunWithStatus70) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "hidiap_internal_error_test";
    fs::create_directories(dir);
    for (const char *name : {"img.bin", "tts.bin"}) {
        std::ofstream((dir / name).string(), std::ios::binary) << std::string(40000, 'x');
    }
    test_support::TestEnv faults;
    test_support::TestEnv::Fault thrown;
    thrown.op = test_support::TestEnv::Op::Open;
    thrown.throws = true;
    faults.inject(thrown);
    const host::EnvScope scope(faults);
    std::vector<std::string> args = {
        "hidiap", "--simulate", "--no-wait", (dir / "img.bin").string(), (dir / "tts.bin").string(),
        "1MB"};
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    ::testing::internal::CaptureStderr();
    const int status = host::run_tool(static_cast<int>(argv.size()), argv.data());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 70);
    EXPECT_NE(err.find("hidiap: internal error: injected into cannot open"), std::string::npos)
        << err;
    fs::remove_all(dir);
}

}  // namespace
