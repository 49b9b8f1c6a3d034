// The sleep inhibitor of every update, against logind's interface served by the test itself on
// a private dbus-daemon (the tool's system bus through DBUS_SYSTEM_BUS_ADDRESS): taken while a
// board is updated, released when the last one ends; no bus, no word.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tool_fixture.h"

extern char **environ;

namespace {

// logind's Manager.Inhibit, as far as the tool uses it: each call's arguments, and each lock's
// end (its descriptor closed by the tool), in the order they happen.
class FakeLogind {
  public:
    explicit FakeLogind(const std::string &address) {
        // The daemon's socket may be there a moment before it listens.
        for (int tries = 0; tries < 100 && !ok_; ++tries) {
            sd_bus_flush_close_unref(bus_);
            bus_ = nullptr;
            ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
                  sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0;
            if (!ok_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        ok_ = ok_ &&
              sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", kVtable, this) >= 0 &&
              sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0;
        if (ok_) {
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~FakeLogind() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (int fd : held_) {
            close(fd);
        }
        sd_bus_flush_close_unref(bus_);
    }
    bool ok() const { return ok_; }
    std::vector<std::string> events() {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    static int inhibit(sd_bus_message *m, void *self, sd_bus_error *) {
        FakeLogind &f = *static_cast<FakeLogind *>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0) {
            return -EINVAL;
        }
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
            return -errno;
        }
        {
            std::lock_guard<std::mutex> lock(f.mutex_);
            f.events_.push_back(std::string("take ") + what + " " + who + " " + mode + " (" + why +
                                ")");
            f.held_.push_back(pipe_fds[0]);
        }
        const int r = sd_bus_reply_method_return(m, "h", pipe_fds[1]);
        close(pipe_fds[1]);
        return r;
    }

    void serve() {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            sd_bus_wait(bus_, 20000);
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = held_.begin(); it != held_.end();) {
                pollfd p{*it, POLLIN, 0};
                if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0) {
                    close(*it);
                    it = held_.erase(it);
                    events_.push_back("release");
                } else {
                    ++it;
                }
            }
        }
    }

    static const sd_bus_vtable kVtable[];
    sd_bus *bus_ = nullptr;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> held_;
    std::vector<std::string> events_;
};

const sd_bus_vtable FakeLogind::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", FakeLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

class SleepInhibit : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        if (access("/usr/bin/dbus-daemon", X_OK) != 0) {
            GTEST_SKIP() << "dbus-daemon is not installed (Debian's dbus-daemon package)";
        }
        address = "unix:path=" + path("bus");
        std::ofstream(path("bus.conf"))
            << "<busconfig><type>system</type><listen>" << address
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
               "</policy></busconfig>\n";
        const std::string config = "--config-file=" + path("bus.conf");
        char *argv[] = {const_cast<char *>("dbus-daemon"), const_cast<char *>(config.c_str()),
                        const_cast<char *>("--nofork"), nullptr};
        ASSERT_EQ(posix_spawn(&daemon, "/usr/bin/dbus-daemon", nullptr, nullptr, argv, environ), 0);
        for (int i = 0; i < 200 && !fs::exists(path("bus")); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::exists(path("bus")));
    }
    void TearDown() override {
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        Tool::TearDown();
    }
    ProcessOptions on_bus() const {
        ProcessOptions o;
        o.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address};
        return o;
    }

    pid_t daemon = -1;
    std::string address;
};

}  // namespace

// Two boards one after the other at a station: the lock is taken for each and released when it
// ends, not at the station's end; a plain update takes and releases it once.
TEST_F(SleepInhibit, HeldWhileABoardIsUpdatedAndReleasedWhenTheLastEnds) {
    FakeLogind logind(address);
    ASSERT_TRUE(logind.ok());
    const ProcessResult station =
        run_process(kTool,
                    {"station", "--simulate", "--count", "2", "--sim-arrivals", "0,1000",
                     path("img.bin"), path("tts.bin"), "1MB"},
                    on_bus());
    ASSERT_EQ(station.exit_status, 0) << station.err;
    const std::string take = "take sleep hidiap block (updating the flash of a board)";
    EXPECT_EQ(logind.events(), (std::vector<std::string>{take, "release", take, "release"}));

    const ProcessResult update = simulate({"--no-wait"}, "1MB", on_bus());
    ASSERT_EQ(update.exit_status, 0) << update.err;
    EXPECT_EQ(logind.events(),
              (std::vector<std::string>{take, "release", take, "release", take, "release"}));
}

// No logind on the bus, or no bus at all: the update runs as ever and says nothing of it.
TEST_F(SleepInhibit, WithoutLogindTheUpdateCarriesOnSilently) {
    for (const std::string &bus : {address, "unix:path=" + path("no-such-bus")}) {
        ProcessOptions o;
        o.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus};
        const ProcessResult r = simulate({"--no-wait"}, "1MB", o);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err.find("sleep"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("login1"), std::string::npos) << r.err;
    }
}
