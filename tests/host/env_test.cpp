// The Env: the system's files as the records and packages rely on them, and the test Env's faults
// and virtual clock that the other tests rely on.
#include "host/platform/env.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "test_env.h"

namespace {

namespace fs = std::filesystem;
using base::ErrorCode;
using host::env;
using host::OpenMode;
using test_support::TestEnv;

class EnvFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hidiap_env_test_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    std::string content(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir;
};

TEST_F(EnvFiles, OnlyRegularFilesOpenAndNothingBlocks) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (const std::string &p : {path("fifo"), std::string("/dev/null"), dir.string()}) {
        for (OpenMode mode : {OpenMode::Read, OpenMode::ReadAppend}) {
            const auto opened = env().open(p, mode);
            ASSERT_FALSE(opened.ok()) << p;
            EXPECT_EQ(opened.code(), ErrorCode::InvalidInput) << p << ": " << opened.message();
        }
    }
    const auto facts = env().stat(path("fifo"));
    ASSERT_TRUE(facts.ok());
    EXPECT_EQ(facts->kind, host::FileKind::Fifo);
    EXPECT_EQ(env().stat(path("none"))->kind, host::FileKind::Missing);
}

TEST_F(EnvFiles, ReadFileStopsAtItsLimit) {
    EXPECT_FALSE(host::read_file("/dev/zero", 1 << 20).ok());  // a device, refused at once
    std::ofstream(path("big"), std::ios::binary) << std::string(5000, 'x');
    const auto over = host::read_file(path("big"), 4096);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.code(), ErrorCode::InvalidInput);
    EXPECT_EQ(host::read_file(path("big"), 5000).value().size(), 5000u);
}

TEST_F(EnvFiles, AtomicWriteReplacesWholeOrLeavesTheOldFile) {
    ASSERT_TRUE(host::write_file_atomically(path("f"), "old").ok());
    TestEnv faults;
    const host::EnvScope scope(faults);
    for (TestEnv::Op op : {TestEnv::Op::Append, TestEnv::Op::Sync, TestEnv::Op::Rename}) {
        faults.clear_faults();
        faults.inject({op, ErrorCode::NoSpace, 0, 1, "", 2});
        const base::Status written = host::write_file_atomically(path("f"), "new content");
        EXPECT_FALSE(written.ok());
        EXPECT_EQ(content("f"), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
            << "the temporary file is gone";
    }
    faults.clear_faults();
    ASSERT_TRUE(host::write_file_atomically(path("f"), "new content").ok());
    EXPECT_EQ(content("f"), "new content");
    const base::Status kept = host::write_file_atomically(path("f"), "other", false);
    EXPECT_EQ(kept.code(), ErrorCode::Busy);
    EXPECT_EQ(content("f"), "new content");
}

TEST_F(EnvFiles, LocksExcludeEachOtherAndAppendsGoToTheEnd) {
    auto a = env().open(path("r"), OpenMode::ReadAppend);
    auto b = env().open(path("r"), OpenMode::ReadAppend);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_TRUE((*a)->lock(false).ok());
    EXPECT_EQ((*b)->lock(false).code(), ErrorCode::Busy);
    (*a)->unlock();
    EXPECT_TRUE((*b)->lock(false).ok());
    ASSERT_TRUE((*a)->append("one\n").ok());
    ASSERT_TRUE((*b)->append("two\n").ok());
    EXPECT_EQ(content("r"), "one\ntwo\n");
    ASSERT_TRUE((*a)->truncate(4).ok());
    EXPECT_EQ(content("r"), "one\n");
    EXPECT_EQ((*a)->identity().value(), env().stat(path("r"))->identity);
}

// A socket wait ends when the socket can be read, and at its deadline (not before) when it
// cannot; on the test Env's clock, jumped ahead, as on the system's.
TEST(EnvMachine, SocketWaitsEndAtTheirDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const auto readable = [&](host::SteadyTime deadline) {
        return env().wait_socket(pair[0], host::SocketWait::Readable, deadline).value();
    };
    const host::SteadyTime before = env().now();
    EXPECT_FALSE(readable(before + std::chrono::milliseconds(30)));
    EXPECT_GE(env().now() - before, std::chrono::milliseconds(30));
    EXPECT_TRUE(env()
                    .wait_socket(pair[0], host::SocketWait::Writable,
                                 env().now() + std::chrono::seconds(10))
                    .value());
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    EXPECT_TRUE(readable(env().now() + std::chrono::seconds(10)));
    // A clock an hour ahead of the system's: the wait still lasts what is left to its deadline.
    char byte;
    ASSERT_EQ(read(pair[0], &byte, 1), 1);
    TestEnv jumped;
    const host::EnvScope scope(jumped);
    jumped.jump(std::chrono::hours(1));
    const auto real_start = std::chrono::steady_clock::now();
    EXPECT_FALSE(readable(env().now() + std::chrono::milliseconds(30)));
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(5));
    close(pair[0]);
    close(pair[1]);
}

// The state folder: $XDG_STATE_HOME when absolute, otherwise ~/.local/state.
TEST(EnvMachine, UserStateFolderFollowsTheEnvironment) {
    const char *home = std::getenv("HOME");
    const std::string saved_home = home != nullptr ? home : "";
    setenv("HOME", "/home/op", 1);
    setenv("XDG_STATE_HOME", "/var/state/op", 1);
    EXPECT_EQ(env().user_state_folder(), "/var/state/op");
    setenv("XDG_STATE_HOME", "relative/state", 1);
    EXPECT_EQ(env().user_state_folder(), "/home/op/.local/state");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(env().user_state_folder(), "/home/op/.local/state");
    setenv("HOME", saved_home.c_str(), 1);
}

TEST(TestEnvFaults, TornAppendKeepsItsBytesAndCountsCalls) {
    TestEnv faults;
    faults.inject({TestEnv::Op::Append, ErrorCode::NoSpace, 1, 1, "victim", 3});
    const std::string file = (fs::temp_directory_path() / "hidiap_env_victim").string();
    std::remove(file.c_str());
    auto f = faults.open(file, OpenMode::ReadAppend);
    ASSERT_TRUE(f.ok());
    EXPECT_TRUE((*f)->append("first\n").ok());
    const base::Status torn = (*f)->append("second\n");
    EXPECT_EQ(torn.code(), ErrorCode::NoSpace);
    EXPECT_NE(torn.message().find("No space left"), std::string::npos);
    EXPECT_EQ((*f)->size().value(), 9u);  // "first\n" and "sec"
    EXPECT_TRUE((*f)->append("third\n").ok());
    EXPECT_EQ(faults.calls(TestEnv::Op::Append), 3);
    std::remove(file.c_str());
}

TEST(ThreadDeathTest, WhatAThreadThrowsEndsTheProcessWithTheInternalErrorStatus) {
    EXPECT_EXIT(
        {
            auto t = host::Thread::start([] { throw std::runtime_error("a broken invariant"); });
            t->join();
        },
        ::testing::ExitedWithCode(host::kExitInternalError),
        "hidiap: internal error: a broken invariant");
}

TEST(TestEnvClock, VirtualTimeRunsAsFastAsTheThreadsWait) {
    TestEnv virtual_time(TestEnv::Time::Virtual);
    const host::EnvScope scope(virtual_time);
    const host::SteadyTime start = env().now();
    const auto real_start = std::chrono::steady_clock::now();
    std::mutex m;
    host::Signal done_signal;
    bool done = false;
    int ticks = 0;
    auto ticker = host::Thread::start([&] {
        for (int i = 0; i < 1000; i++) {
            host::sleep_for(std::chrono::milliseconds(10));
            ticks++;
        }
        std::lock_guard<std::mutex> lock(m);
        done = true;
        done_signal.notify_all();
    });
    ASSERT_TRUE(ticker.ok());
    {
        std::unique_lock<std::mutex> lock(m);
        EXPECT_TRUE(done_signal.wait_for(lock, std::chrono::seconds(60), [&] { return done; }));
    }
    ticker->join();
    EXPECT_EQ(ticks, 1000);
    EXPECT_EQ(env().now() - start, std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(5));

    // A wait nobody ends ends at its deadline, to the tick.
    std::unique_lock<std::mutex> lock(m);
    const host::SteadyTime before = env().now();
    EXPECT_FALSE(done_signal.wait_for(lock, std::chrono::milliseconds(250), [] { return false; }));
    EXPECT_EQ(env().now() - before, std::chrono::milliseconds(250));
}

}  // namespace
