#include "pg_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "process_runner.h"

namespace test_support {

namespace {

namespace fs = std::filesystem;

// What PgCluster::fail throws: its message already ends with the log's tail.
struct ClusterFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A sun_path holds 107 bytes; the socket is DIR/.s.PGSQL.NNNNN.
constexpr std::size_t kMaxSocketDir = 107 - sizeof("/.s.PGSQL.65535");

// The highest "N" of /usr/lib/postgresql/N/bin that has initdb.
std::string find_server_bin() {
    if (const char *forced = std::getenv("HIDIAP_PG_BIN"); forced != nullptr && *forced != '\0') {
        return forced;
    }
    glob_t found{};
    std::string best;
    long best_version = -1;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; i++) {
            const fs::path bin = fs::path(found.gl_pathv[i]).parent_path();
            const long version = std::strtol(bin.parent_path().filename().c_str(), nullptr, 10);
            if (version > best_version) {
                best_version = version;
                best = bin.string();
            }
        }
    }
    globfree(&found);
    if (best.empty()) {
        throw std::runtime_error(
            "no PostgreSQL server under /usr/lib/postgresql/*/bin: scripts/install-deps.sh --test "
            "installs Debian's postgresql (or set HIDIAP_PG_BIN to a folder with initdb)");
    }
    return best;
}

std::string make_folder() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hidiap-pg-XXXXXX";
    if (pattern.size() > kMaxSocketDir) {
        pattern = "/tmp/hidiap-pg-XXXXXX";  // a long TMPDIR leaves no room for the socket name
    }
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("cannot make " + pattern + ": " + std::strerror(errno));
    }
    return buf.data();
}

// For sh -c: one word, whatever it holds.
std::string sh_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

std::string percent_encode(const std::string &s) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ConnDeleter {
    void operator()(PGconn *c) const { PQfinish(c); }
};
struct ResultDeleter {
    void operator()(PGresult *r) const { PQclear(r); }
};
using Conn = std::unique_ptr<PGconn, ConnDeleter>;
using Result = std::unique_ptr<PGresult, ResultDeleter>;

}  // namespace

// A daemon's parent is whoever adopted it, which may be slow to reap it, or never do.
bool process_alive(int pid) {
    if (pid <= 0 || kill(pid, 0) != 0) {
        return false;
    }
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

int free_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
    const int err = errno;
    close(fd);
    if (!ok) {
        throw std::runtime_error(std::string("no free port on 127.0.0.1: ") + std::strerror(err));
    }
    return ntohs(addr.sin_port);
}

std::string pg_connect_error(const std::string &conninfo, int timeout_s) {
    const std::string timeout = std::to_string(timeout_s);
    // Later keywords override what the expanded conninfo says.
    const char *keys[] = {"dbname", "connect_timeout", nullptr};
    const char *values[] = {conninfo.c_str(), timeout.c_str(), nullptr};
    Conn conn(PQconnectdbParams(keys, values, 1));
    if (conn && PQstatus(conn.get()) == CONNECTION_OK) {
        return "";
    }
    const std::string message = conn ? PQerrorMessage(conn.get()) : "out of memory";
    return message.empty() ? "connection failed" : message;
}

PgCluster::PgCluster() {
    bin_ = find_server_bin();
    dir_ = make_folder();
    data_ = dir_ + "/data";
    log_ = dir_ + "/postgres.log";
    try {
        start_watchdog();
        std::ofstream(log_).close();
        if (geteuid() == 0) {
            const passwd *nobody = getpwnam("nobody");
            if (nobody == nullptr) {
                throw std::runtime_error("running as root, and no user nobody to run as");
            }
            run_as_ = static_cast<int>(nobody->pw_uid);
            run_as_group_ = static_cast<int>(nobody->pw_gid);
        }
        const std::string pwfile = dir_ + "/owner.pw";
        std::ofstream(pwfile) << kOwnerPassword << "\n";
        if (run_as_ >= 0) {
            for (const std::string &p : {dir_, log_, pwfile}) {
                if (chown(p.c_str(), static_cast<uid_t>(run_as_),
                          static_cast<gid_t>(run_as_group_)) != 0) {
                    throw std::runtime_error("chown " + p + ": " + std::strerror(errno));
                }
            }
        }
        // --no-sync: only the freshly made files are not flushed; the server keeps fsync on.
        run_tool("initdb",
                 {"-D", data_, "-U", kOwner, "--pwfile=" + pwfile, "-A", "scram-sha-256", "-E",
                  "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                 120);
        fs::remove(pwfile);
        std::ofstream conf(data_ + "/postgresql.conf", std::ios::app);
        conf << "\n# A throwaway test server: loopback and a private socket, small and quiet.\n"
             << "listen_addresses = '127.0.0.1'\n"
             << "unix_socket_directories = '" << dir_ << "'\n"
             << "max_connections = 30\n"
             << "shared_buffers = 16MB\n"
             // Commit latency is what the tests measure: commits reach the disk.
             << "fsync = on\n"
             << "synchronous_commit = on\n"
             << "autovacuum = off\n"
             << "wal_level = minimal\n"
             << "max_wal_senders = 0\n"
             << "log_line_prefix = '%m [%p] %q%u@%d '\n";
        conf.close();
        if (!conf) {
            throw std::runtime_error("cannot write " + data_ + "/postgresql.conf");
        }
        start();
        query(std::string("CREATE ROLE ") + kStation + " LOGIN PASSWORD '" + kStationPassword + "'",
              "postgres");
        create_database(kDatabase);
    } catch (const ClusterFailure &) {
        abandon();
        throw;
    } catch (const std::exception &e) {
        const std::string tail = log_tail();
        abandon();
        throw std::runtime_error(std::string(e.what()) + "\n--- end of " + log_ + ":\n" + tail);
    }
}

void PgCluster::abandon() noexcept {
    try {
        stop();
    } catch (...) {
    }
    if (watchdog_fd_ < 0 || !running()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    close(watchdog_fd_);  // whatever is left, the watchdog stops and removes
    watchdog_fd_ = -1;
}

PgCluster::~PgCluster() {
    abandon();
}

PgCluster &PgCluster::shared() {
    static PgCluster cluster;
    return cluster;
}

void PgCluster::start_watchdog() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    // `read` returns once every write end is closed, i.e. when this process is gone, however it
    // ended. Only a postmaster still named postgres is signalled (SIGQUIT: immediate shutdown),
    // so a pid reused since cannot be hit.
    const std::string script =
        "read line; pidfile=" + sh_quote(data_ + "/postmaster.pid") +
        "\n"
        "alive() { [ -d /proc/$1 ] && ! grep -q '^State:[[:space:]]*Z' /proc/$1/status; }\n"
        "if [ -f \"$pidfile\" ]; then\n"
        "  pid=$(head -n 1 \"$pidfile\")\n"
        "  if [ -n \"$pid\" ] && [ \"$(cat /proc/$pid/comm 2>/dev/null)\" = postgres ]; then\n"
        "    kill -QUIT \"$pid\"; n=0\n"
        "    while alive \"$pid\" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n+1)); done\n"
        "    if alive \"$pid\"; then kill -KILL \"$pid\"; fi\n"
        "  fi\n"
        "fi\n"
        "rm -rf " +
        sh_quote(dir_) + "\n";
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    // Twice forked and in a session of its own: not our child (nothing to reap) and out of reach
    // of whatever kills this process's tree. Only async-signal-safe calls after fork.
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            dup2(fds[0], 0);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            closefrom(3);
            execv(argv[0], const_cast<char *const *>(argv));
        }
        _exit(0);
    }
    close(fds[0]);
    watchdog_fd_ = fds[1];
    int status = 0;
    waitpid(child, &status, 0);
}

int PgCluster::run_tool(const std::string &tool, const std::vector<std::string> &args, int limit_s,
                        bool check) {
    std::string program = bin_ + "/" + tool;
    std::vector<std::string> argv = args;
    if (run_as_ >= 0) {
        argv.insert(argv.begin(),
                    {"--reuid=" + std::to_string(run_as_),
                     "--regid=" + std::to_string(run_as_group_), "--clear-groups", "--", program});
        program = "/usr/bin/setpriv";
    }
    ProcessOptions options;
    options.limit = std::chrono::seconds(limit_s);
    const ProcessResult r = run_process(program, argv, options);
    std::ofstream log(log_, std::ios::app);
    log << "$ " << tool;
    for (const std::string &a : args) {
        log << ' ' << a;
    }
    log << "\n" << r.out << r.err << (r.timed_out ? "(stopped: took too long)\n" : "");
    log.close();
    if (check && r.exit_status != 0) {
        fail(tool + " failed" + (r.timed_out ? " (took too long)" : ""));
    }
    return r.exit_status;
}

bool PgCluster::start_on(int port) {
    const int status = run_tool(
        "pg_ctl",
        {"-D", data_, "-l", log_, "-o", "-p " + std::to_string(port), "-w", "-t", "60", "start"},
        75, false);
    return status == 0 && running();
}

void PgCluster::start() {
    if (running()) {
        return;
    }
    if (port_ != 0) {
        if (!start_on(port_)) {
            fail("the server did not start again on port " + std::to_string(port_));
        }
        return;
    }
    // The free port can be taken between finding it and the server binding it.
    for (int attempt = 0; attempt < 5; attempt++) {
        const auto before = read_file(log_).size();
        const int port = free_tcp_port();
        if (start_on(port)) {
            port_ = port;
            return;
        }
        if (read_file(log_).find("Address already in use", before) == std::string::npos) {
            break;
        }
    }
    fail("the server did not start");
}

void PgCluster::stop() {
    if (!running()) {
        return;
    }
    run_tool("pg_ctl", {"-D", data_, "-m", "fast", "-w", "-t", "30", "stop"}, 45, false);
    if (running()) {
        run_tool("pg_ctl", {"-D", data_, "-m", "immediate", "-w", "-t", "10", "stop"}, 20, false);
    }
    if (const int pid = postmaster_pid(); pid > 0 && running()) {
        kill(pid, SIGKILL);
        for (int i = 0; i < 50 && process_alive(pid); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (running()) {
        fail("the server did not stop");
    }
}

int PgCluster::postmaster_pid() const {
    std::ifstream in(data_ + "/postmaster.pid");
    int pid = 0;
    return (in >> pid) ? pid : 0;
}

bool PgCluster::running() const {
    return process_alive(postmaster_pid());
}

std::string PgCluster::uri(const std::string &role, const std::string &password,
                           const std::string &db, int port) const {
    return "postgresql://" + percent_encode(role) + ":" + percent_encode(password) +
           "@127.0.0.1:" + std::to_string(port != 0 ? port : port_) + "/" + percent_encode(db);
}

PgRows PgCluster::query(const std::string &sql, const std::string &db) const {
    const std::string port = std::to_string(port_);
    const char *keys[] = {
        "host",    "port", "user", "password", "dbname", "sslmode", "connect_timeout",
        "options", nullptr};
    const char *values[] = {dir_.c_str(), port.c_str(), kOwner, kOwnerPassword,
                            db.c_str(),   "disable",    "10",   "-c statement_timeout=30000",
                            nullptr};
    Conn conn(PQconnectdbParams(keys, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error("cannot connect as owner to " + db + ": " +
                                 (conn ? PQerrorMessage(conn.get()) : "out of memory"));
    }
    const Result res(PQexec(conn.get(), sql.c_str()));
    const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        throw std::runtime_error("query failed: " + sql + ": " + PQerrorMessage(conn.get()));
    }
    PgRows rows;
    for (int r = 0; r < PQntuples(res.get()); r++) {
        PgRow row;
        for (int c = 0; c < PQnfields(res.get()); c++) {
            if (PQgetisnull(res.get(), r, c) != 0) {
                row.emplace_back(std::nullopt);
            } else {
                row.emplace_back(
                    std::string(PQgetvalue(res.get(), r, c),
                                static_cast<std::size_t>(PQgetlength(res.get(), r, c))));
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void PgCluster::create_database(const std::string &name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    query("CREATE DATABASE " + quoted + "\" OWNER " + kOwner, "postgres");
}

std::string PgCluster::log_tail(std::size_t lines) const {
    const std::string text = read_file(log_);
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') {
        end--;
    }
    std::size_t start = end;
    for (std::size_t n = 0; start > 0; start--) {
        if (text[start - 1] == '\n' && ++n == lines) {
            break;
        }
    }
    return text.substr(start);
}

void PgCluster::fail(const std::string &what) const {
    throw ClusterFailure(what + "\n--- end of " + log_ + ":\n" + log_tail());
}

}  // namespace test_support
