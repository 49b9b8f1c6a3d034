// The PostgreSQL harness itself: the throwaway cluster, its roles and its clean-up, and the proxy
// that delays or cuts the network in front of it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "delay_proxy.h"
#include "pg_cluster.h"
#include "process_runner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test_support::DelayProxy;
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

// A listening socket on 127.0.0.1 for the proxy to forward to.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    Listener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    ~Listener() { close(fd); }
};

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const timeval limit{10, 0};  // no read in these tests waits longer
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly n bytes; fewer when the stream ends, fails or the read limit passes.
std::string read_n(int fd, std::size_t n) {
    std::string got(n, '\0');
    std::size_t have = 0;
    while (have < n) {
        const ssize_t r = recv(fd, got.data() + have, n - have, 0);
        if (r <= 0) {
            break;
        }
        have += static_cast<std::size_t>(r);
    }
    got.resize(have);
    return got;
}

TEST(DelayProxyTest, DelaysEachWayAndPassesEveryByteInOrder) {
    Listener target;
    ASSERT_GT(target.port, 0);
    const auto one_way = std::chrono::milliseconds(40);
    DelayProxy proxy(target.port, one_way);
    const int client = connect_to(proxy.port());
    ASSERT_GE(client, 0);
    const int server = accept4(target.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);
    const timeval limit{10, 0};
    setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(proxy.accepted(), 1u);

    const auto t0 = Clock::now();
    ASSERT_EQ(send(client, "ping", 4, 0), 4);
    EXPECT_EQ(read_n(server, 4), "ping");
    EXPECT_GE(since(t0), one_way);
    ASSERT_EQ(send(server, "pong", 4, 0), 4);
    EXPECT_EQ(read_n(client, 4), "pong");
    EXPECT_GE(since(t0), 2 * one_way);

    // More than the proxy holds in one direction, written while it is read.
    std::string bulk(3 << 20, '\0');
    std::mt19937 random(7);
    for (char &c : bulk) {
        c = static_cast<char>(random());
    }
    std::thread writer([&] {
        for (std::size_t off = 0; off < bulk.size();) {
            const ssize_t n = send(client, bulk.data() + off, bulk.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            off += static_cast<std::size_t>(n);
        }
        shutdown(client, SHUT_WR);
    });
    const std::string got = read_n(server, bulk.size() + 1);  // +1: the end must follow
    writer.join();
    EXPECT_TRUE(got == bulk) << "got " << got.size() << " of " << bulk.size() << " bytes";
    close(server);
    EXPECT_EQ(read_n(client, 1), "");  // the server's close reaches the client
    close(client);
}

TEST(DelayProxyTest, CutRefusesTheServerUntilRestored) {
    PgCluster &pg = PgCluster::shared();
    const auto one_way = std::chrono::milliseconds(10);
    DelayProxy proxy(pg.port(), one_way);
    const std::string via_proxy = pg.uri(PgCluster::kStation, PgCluster::kStationPassword,
                                         PgCluster::kDatabase, proxy.port());

    PGconn *conn = PQconnectdb(via_proxy.c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    const auto t0 = Clock::now();
    PGresult *res = PQexec(conn, "SELECT 1");
    EXPECT_EQ(PQresultStatus(res), PGRES_TUPLES_OK);
    PQclear(res);
    EXPECT_GE(since(t0), 2 * one_way);  // one query, one round trip

    proxy.cut();
    res = PQexec(conn, "SELECT 1");
    EXPECT_EQ(PQresultStatus(res), PGRES_FATAL_ERROR);
    PQclear(res);
    PQfinish(conn);
    EXPECT_NE(pg_connect_error(via_proxy).find("refused"), std::string::npos);
    EXPECT_TRUE(pg.running());
    EXPECT_EQ(pg.query("SELECT 1"), test_support::PgRows{{"1"}});

    proxy.restore();
    EXPECT_EQ(pg_connect_error(via_proxy), "");
    EXPECT_GE(proxy.accepted(), 2u);
}

}  // namespace
