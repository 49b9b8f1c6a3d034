// --make-package and --make-key on a disk that fails: a package that cannot be written whole
// leaves the one that was there, and a key is written whole or not at all (never over another).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "expected_layout.h"
#include "host/app/package_steps.h"
#include "host/events/exit_status.h"
#include "test_env.h"

namespace {

namespace fs = std::filesystem;
using base::ErrorCode;
using test_support::TestEnv;

class PackageWrites : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hidiap_package_write_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        write("img.bin", test_support::random_bytes(40000, 61));
        write("tts.bin", test_support::random_bytes(1000, 62));
        o.image_path = path("img.bin");
        o.tts_path = path("tts.bin");
        o.token = "1MB";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    void write(const std::string &name, const std::vector<uint8_t> &bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::string content(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto &entry : fs::directory_iterator(dir))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    fs::path dir;
    host::Options o;
};

}  // namespace

TEST_F(PackageWrites, AFailedWriteLeavesThePreviousPackageWhole) {
    o.make_package = path("fw.zip");
    ASSERT_EQ(host::make_package_step(o), host::kExitSuccess);
    const std::string good = content("fw.zip");
    write("tts.bin", test_support::random_bytes(2000, 63));  // the next release
    for (const TestEnv::Op op : {TestEnv::Op::Append, TestEnv::Op::Sync, TestEnv::Op::Rename}) {
        TestEnv faults;
        // Half the archive reaches the disk before it is full.
        faults.inject({op, ErrorCode::NoSpace, 0, 1, "fw.zip", 4096});
        const host::EnvScope scope(faults);
        EXPECT_EQ(host::make_package_step(o), host::kExitBadInput) << static_cast<int>(op);
        EXPECT_EQ(content("fw.zip"), good) << static_cast<int>(op);
        EXPECT_EQ(names(), (std::vector<std::string>{"fw.zip", "img.bin", "tts.bin"}))
            << "the temporary file is gone";
    }
    ASSERT_EQ(host::make_package_step(o), host::kExitSuccess);
    EXPECT_NE(content("fw.zip"), good);
}

TEST_F(PackageWrites, AKeyIsWrittenWholeOrNotAtAllAndNeverOverAnother) {
    o.make_key = path("k");
    o.unencrypted = true;
    for (const auto &[op, file] :
         {std::pair<TestEnv::Op, const char *>{TestEnv::Op::Append, "k.key"},
          {TestEnv::Op::Sync, "k.key"},
          {TestEnv::Op::Rename, "k.pub"},  // the secret key is written first: it goes again
          {TestEnv::Op::Append, "k.pub"}}) {
        TestEnv faults;
        faults.inject({op, ErrorCode::NoSpace, 0, 1, file, 10});
        const host::EnvScope scope(faults);
        EXPECT_EQ(host::make_key_step(o), host::kExitBadInput) << file;
        EXPECT_EQ(names(), (std::vector<std::string>{"img.bin", "tts.bin"})) << file;
    }
    ASSERT_EQ(host::make_key_step(o), host::kExitSuccess);
    EXPECT_EQ(fs::status(path("k.key")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string secret = content("k.key");
    EXPECT_EQ(host::make_key_step(o), host::kExitBadInput);
    EXPECT_EQ(content("k.key"), secret);
}
