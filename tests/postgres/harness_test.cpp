// The PostgreSQL harness itself: the throwaway cluster, its roles and its clean-up.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "pg_cluster.h"
#include "process_runner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test_support::pg_connect_error;
using test_support::PgCluster;
using test_support::process_alive;

// Runs sql on its own connection; libpq's error message, or "" when it succeeded.
std::string exec_error(const std::string &uri, const std::string &sql) {
    PGconn *conn = PQconnectdb(uri.c_str());
    std::string error;
    if (PQstatus(conn) != CONNECTION_OK) {
        error = PQerrorMessage(conn);
    } else {
        PGresult *res = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(res);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error = PQerrorMessage(conn);
        }
        PQclear(res);
    }
    PQfinish(conn);
    return error;
}

std::chrono::milliseconds since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

TEST(PgHarness, MakesTheRolesAndRefusesAWrongPassword) {
    PgCluster &pg = PgCluster::shared();
    ASSERT_TRUE(pg.running());
    EXPECT_GT(pg.port(), 0);
    const auto rows = pg.query("SELECT current_user, current_database()");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "owner");
    EXPECT_EQ(rows[0][1], "line");

    EXPECT_EQ(pg_connect_error(pg.uri(PgCluster::kOwner, PgCluster::kOwnerPassword)), "");
    EXPECT_EQ(pg_connect_error(pg.uri(PgCluster::kStation, PgCluster::kStationPassword)), "");
    EXPECT_NE(pg_connect_error(pg.uri(PgCluster::kStation, "not-its-password"))
                  .find("password authentication failed"),
              std::string::npos);
    // The socket asks for the password too.
    EXPECT_NE(pg_connect_error("host=" + pg.socket_dir() + " port=" + std::to_string(pg.port()) +
                               " user=owner password=wrong dbname=line")
                  .find("password authentication failed"),
              std::string::npos);
    // station may log in and nothing more until it is granted something.
    EXPECT_NE(exec_error(pg.uri(PgCluster::kStation, PgCluster::kStationPassword),
                         "CREATE TABLE mine (a int)")
                  .find("permission denied"),
              std::string::npos);
}

TEST(PgHarness, QueryTellsNullFromEmptyAndReportsErrors) {
    PgCluster &pg = PgCluster::shared();
    const auto rows = pg.query("SELECT NULL::text, '' UNION ALL SELECT 'a b', 'é'");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], std::nullopt);
    EXPECT_EQ(rows[0][1], "");
    EXPECT_EQ(rows[1][0], "a b");
    EXPECT_EQ(rows[1][1], "é");
    EXPECT_THROW(pg.query("SELECT * FROM no_such_table"), std::runtime_error);
}

TEST(PgHarness, StopAndStartKeepThePortAndTheData) {
    PgCluster &pg = PgCluster::shared();
    pg.create_database("kept");
    pg.query("CREATE TABLE t (v text); INSERT INTO t VALUES ('committed')", "kept");
    const int port = pg.port();

    pg.stop();
    EXPECT_FALSE(pg.running());
    EXPECT_NE(pg_connect_error(pg.uri(PgCluster::kOwner, PgCluster::kOwnerPassword, "kept")), "");

    pg.start();
    EXPECT_TRUE(pg.running());
    EXPECT_EQ(pg.port(), port);
    EXPECT_EQ(pg.query("SELECT v FROM t", "kept"), test_support::PgRows{{"committed"}});
}

// The child half of the next test: holds a cluster until it is killed.
TEST(PgHarness, HoldsAClusterUntilKilled) {
    if (std::getenv("HIDIAP_PG_HOLD") == nullptr) {
        GTEST_SKIP() << "run by WatchdogCleansUpAfterAKilledProcess";
    }
    PgCluster &pg = PgCluster::shared();
    std::ifstream pidfile(pg.socket_dir() + "/data/postmaster.pid");
    int pid = 0;
    pidfile >> pid;
    std::cout << "holding " << pg.socket_dir() << " " << pid << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(60));
}

TEST(PgHarness, WatchdogCleansUpAfterAKilledProcess) {
    test_support::ProcessOptions options;
    options.env = {"HIDIAP_PG_HOLD=1"};
    options.signals = {{"holding ", SIGKILL}};
    options.limit = std::chrono::seconds(60);
    const auto r = test_support::run_process(
        "/proc/self/exe", {"--gtest_filter=PgHarness.HoldsAClusterUntilKilled"}, options);
    ASSERT_FALSE(r.timed_out) << r.out << r.err;
    ASSERT_NE(r.out.find("holding "), std::string::npos) << r.out << r.err;
    std::istringstream held(r.out.substr(r.out.find("holding ")));
    std::string word, dir;
    int pid = 0;
    held >> word >> dir >> pid;
    ASSERT_GT(pid, 0) << r.out << r.err;

    const auto t0 = Clock::now();
    while ((process_alive(pid) || fs::exists(dir)) && since(t0) < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(process_alive(pid)) << "postgres " << pid << " outlived its test process";
    EXPECT_FALSE(fs::exists(dir));
}

}  // namespace
