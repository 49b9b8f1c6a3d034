// Refusing older firmware against a board's records in SQLite: a lower security counter never
// runs, an older firmware version only with --allow-older, and nothing that changes the flash is
// sent to a board refused so; its record says why.
#include <sqlite3.h>

#include <algorithm>

#include "tool_fixture.h"

namespace {

class OlderFirmware : public Tool {
  protected:
    void make(const std::string &zip, const std::string &version, const std::string &counter) {
        const ProcessResult r = run_process(
            kTool, {"package", "make", path(zip), "--fw-version", version, "--security-counter",
                    counter, path("img.bin"), path("tts.bin"), "1MB"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }
    ProcessResult update(const std::string &zip, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"update",         "--simulate",           "--no-wait",
                                         "--record",       path("records.sqlite"), "--sim-flash",
                                         path("flash.bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path(zip));
        return run_process(kTool, args);
    }
    std::string rows() const {
        sqlite3 *db = nullptr;
        std::string out;
        if (sqlite3_open_v2(path("records.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_exec(
                db,
                "SELECT outcome, coalesce(cause, ''), firmware_version, security_counter, "
                "bytes_programmed FROM hidiap_records ORDER BY rowid",
                [](void *text, int n, char **values, char **) {
                    for (int i = 0; i < n; i++) {
                        *static_cast<std::string *>(text) += std::string(i ? "|" : "") + values[i];
                    }
                    *static_cast<std::string *>(text) += "\n";
                    return 0;
                },
                &out, nullptr);
        }
        sqlite3_close(db);
        return out;
    }
};

}  // namespace

TEST_F(OlderFirmware, ALowerCounterNeverRunsAnOlderVersionOnlyWithAllowOlder) {
    make("v2.zip", "2.0.0", "2");
    make("v1.zip", "1.0.0", "2");
    make("c1.zip", "3.0.0", "1");
    make("odd.zip", "build 7", "2");
    ASSERT_EQ(update("v2.zip").exit_status, 0);

    const ProcessResult older = update("v1.zip");
    EXPECT_EQ(older.exit_status, 1);
    EXPECT_NE(older.err.find("update failed (refused): downgrade: the package's firmware version "
                             "1.0.0 is older than 2.0.0, which the board's records say it had; "
                             "--allow-older lets it run; nothing was sent"),
              std::string::npos)
        << older.err;
    // Identified, not touched: the simulated board's flash is still all erased.
    EXPECT_NE(older.out.find("Product String"), std::string::npos);
    const std::vector<uint8_t> flash = read_file("flash.bin");
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));

    EXPECT_EQ(update("v1.zip", {"--allow-older"}).exit_status, 0);
    const ProcessResult lower = update("c1.zip", {"--allow-older"});
    EXPECT_EQ(lower.exit_status, 1);
    EXPECT_NE(lower.err.find("downgrade: the package's security counter is 1, lower than 2, the "
                             "highest the board's records hold"),
              std::string::npos)
        << lower.err;
    const ProcessResult odd = update("odd.zip");
    EXPECT_EQ(odd.exit_status, 0) << odd.err;
    EXPECT_NE(odd.err.find("hidiap: [SIM0001] the firmware versions 'build 7' (the package) and "
                           "'1.0.0' (the board's records) are not both semantic versions; not "
                           "compared"),
              std::string::npos)
        << odd.err;
    EXPECT_EQ(rows(),
              "success||2.0.0|2|8448\n"
              "failed|downgrade|1.0.0|2|0\n"
              "success||1.0.0|2|8448\n"
              "failed|downgrade|3.0.0|1|0\n"
              "success||build 7|2|8448\n");

    // The station refuses the same board the same way, after it was identified and verified.
    const ProcessResult station =
        run_process(kTool, {"station", "--simulate", "--count", "1", "--record",
                            path("records.sqlite"), path("c1.zip")});
    EXPECT_EQ(station.exit_status, 1);
    EXPECT_NE(station.err.find("downgrade: the package's security counter is 1"), std::string::npos)
        << station.err;
    // A dry run shows both numbers; JSON Lines records are not consulted, and say so once.
    const ProcessResult dry = run_process(kTool, {"update", "--dry-run", path("c1.zip")});
    EXPECT_NE(dry.out.find("  firmware version: 3.0.0, security counter: 1\n"), std::string::npos)
        << dry.out;
    const ProcessResult lines =
        run_process(kTool, {"update", "--simulate", "--no-wait", "--sim-devices", "2", "--all",
                            "--record", path("r.jsonl"), path("c1.zip")});
    EXPECT_EQ(lines.exit_status, 0) << lines.err;
    const std::string said = "JSON Lines records are not consulted for older firmware";
    ASSERT_NE(lines.err.find(said), std::string::npos) << lines.err;
    EXPECT_EQ(lines.err.find(said, lines.err.find(said) + 1), std::string::npos) << lines.err;
}
