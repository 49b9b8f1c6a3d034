#include "host/records/postgres_link.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/records/database_uri.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace host {

namespace {

// libpq's own words end in a line end, sometimes several lines: one line for our messages.
std::string one_line(std::string text) {
    for (size_t at = text.find("  "); at != std::string::npos; at = text.find("  ", at)) {
        text.erase(at, 1);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    for (char &c : text) {
        if (c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    return text;
}

struct ConnectParams {
    std::vector<const char *> keys;
    std::vector<const char *> values;
};

}  // namespace

PostgresLink::PostgresLink(std::string uri) : uri_(std::move(uri)) {
    if (PQconninfoOption *options = PQconninfoParse(uri_.c_str(), nullptr)) {
        for (PQconninfoOption *o = options; o->keyword != nullptr; o++) {
            if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr) {
                password_ = o->val;
            }
        }
        PQconninfoFree(options);
    }
}

PostgresLink::~PostgresLink() {
    disconnect();
}

bool PostgresLink::well_formed(std::string &error) const {
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(uri_.c_str(), &message);
    if (options == nullptr) {
        error = scrub(one_line(message != nullptr ? message : "out of memory"));
        PQfreemem(message);
        return false;
    }
    // libpq reads the ports only when it connects, and a port it cannot read would then look
    // like a server that does not answer.
    for (PQconninfoOption *o = options; o->keyword != nullptr; o++) {
        if (std::strcmp(o->keyword, "port") != 0 || o->val == nullptr) {
            continue;
        }
        const std::string ports = o->val;
        for (size_t at = 0; at <= ports.size();) {
            const size_t end = std::min(ports.find(',', at), ports.size());
            const std::string port = ports.substr(at, end - at);
            const bool number = !port.empty() && port.size() <= 5 &&
                                port.find_first_not_of("0123456789") == std::string::npos;
            if (!port.empty() && (!number || std::stoi(port) < 1 || std::stoi(port) > 65535)) {
                error = "invalid port number: \"" + port + "\"";
                PQconninfoFree(options);
                return false;
            }
            at = end + 1;
        }
    }
    PQconninfoFree(options);
    return true;
}

std::string PostgresLink::shown() const {
    return mask_passwords(uri_);
}

std::string PostgresLink::identity() const {
    std::string id;
    if (PQconninfoOption *options = PQconninfoParse(uri_.c_str(), nullptr)) {
        for (PQconninfoOption *o = options; o->keyword != nullptr; o++) {
            for (const char *key : {"user", "host", "hostaddr", "port", "dbname", "service"}) {
                if (std::strcmp(o->keyword, key) == 0) {
                    id += std::string(key) + "=" + (o->val != nullptr ? o->val : "") + ";";
                }
            }
        }
        PQconninfoFree(options);
    }
    return id;
}

std::string PostgresLink::scrub(const std::string &text) const {
    std::string out = mask_passwords(text);
    if (password_.size() >= 3) {
        for (size_t at = out.find(password_); at != std::string::npos;
             at = out.find(password_, at)) {
            out.replace(at, password_.size(), "***");
        }
    }
    return out;
}

PostgresLink::Reach PostgresLink::connect(std::string &error, bool classify) {
    if (conn_ != nullptr) {
        return Reach::Connected;
    }
    // The URI's own settings come last and win; the connect time-out is ours only when neither
    // the URI nor the environment gives one.
    const std::string timeout = std::to_string(kDefaultConnectSeconds);
    ConnectParams p;
    p.keys.push_back("fallback_application_name");
    p.values.push_back("hidiap");
    const char *env_timeout = std::getenv("PGCONNECT_TIMEOUT");
    if (env_timeout == nullptr || *env_timeout == '\0') {
        p.keys.push_back("connect_timeout");
        p.values.push_back(timeout.c_str());
    }
    p.keys.push_back("dbname");
    p.values.push_back(uri_.c_str());
    p.keys.push_back(nullptr);
    p.values.push_back(nullptr);
    PGconn *conn = PQconnectdbParams(p.keys.data(), p.values.data(), 1);
    if (conn != nullptr && PQstatus(conn) == CONNECTION_OK) {
        conn_ = conn;
        PQsetnonblocking(conn_, 1);
        // The server's notices ("already exists, skipping") are not the operator's business.
        PQsetNoticeProcessor(
            conn_, [](void *, const char *) {}, nullptr);
        return Reach::Connected;
    }
    error = scrub(one_line(conn != nullptr ? PQerrorMessage(conn) : "out of memory"));
    const bool needs_password = conn != nullptr && PQconnectionNeedsPassword(conn) != 0;
    PQfinish(conn);
    if (!classify) {
        return Reach::Unreachable;
    }
    if (needs_password) {
        return Reach::Refused;
    }
    // An answering server that turned us down is a refusal, and so is a setting libpq would not
    // even try with (it checks some values only when connecting); no answer is the network's.
    switch (PQpingParams(p.keys.data(), p.values.data(), 1)) {
        case PQPING_OK:
            return Reach::Refused;
        case PQPING_NO_ATTEMPT:
            error = "not a usable database URI: " + error;
            return Reach::Refused;
        default:
            return Reach::Unreachable;
    }
}

void PostgresLink::disconnect() {
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
}

std::string PostgresLink::role() const {
    const char *user = conn_ != nullptr ? PQuser(conn_) : nullptr;
    return user != nullptr ? user : "";
}

bool PostgresLink::wait_socket(bool for_write, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
#ifdef _WIN32
    WSAPOLLFD fd{};
    fd.fd = static_cast<SOCKET>(PQsocket(conn_));
    fd.events = for_write ? POLLWRNORM : POLLRDNORM;
    return WSAPoll(&fd, 1, static_cast<int>(left.count())) > 0;
#else
    pollfd fd{PQsocket(conn_), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    return poll(&fd, 1, static_cast<int>(left.count())) > 0;
#endif
}

SqlResult PostgresLink::run(const std::string &sql, const std::vector<SqlValue> &params) {
    SqlResult result;
    if (conn_ == nullptr) {
        result.error = "not connected";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStatementLimit;
    std::vector<const char *> values;
    for (const SqlValue &v : params) {
        values.push_back(v ? v->c_str() : nullptr);
    }
    const int sent = params.empty()
                         ? PQsendQuery(conn_, sql.c_str())
                         : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()),
                                             nullptr, values.data(), nullptr, nullptr, 0);
    bool alive = sent == 1;
    // Out with the query, then in with every result, each wait bounded by the deadline.
    for (int flushed = alive ? PQflush(conn_) : -1; alive && flushed == 1;
         flushed = PQflush(conn_)) {
        alive = wait_socket(true, deadline);
    }
    bool failed = !alive;
    while (alive) {
        while (PQisBusy(conn_) != 0) {
            if (!wait_socket(false, deadline) || PQconsumeInput(conn_) == 0) {
                alive = false;
                break;
            }
        }
        if (!alive) {
            break;
        }
        PGresult *r = PQgetResult(conn_);
        if (r == nullptr) {
            break;
        }
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_TUPLES_OK && !failed) {
            result.rows.clear();
            for (int row = 0; row < PQntuples(r); row++) {
                SqlRow cells;
                for (int col = 0; col < PQnfields(r); col++) {
                    cells.push_back(PQgetisnull(r, row, col) != 0
                                        ? SqlValue()
                                        : SqlValue(PQgetvalue(r, row, col)));
                }
                result.rows.push_back(std::move(cells));
            }
        } else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failed) {
            failed = true;
            const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            result.sqlstate = state != nullptr ? state : "";
            const char *primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
            result.error = scrub(one_line(primary != nullptr ? primary : PQresultErrorMessage(r)));
        }
        PQclear(r);
    }
    if (!alive) {
        if (result.error.empty()) {
            const std::string why = one_line(PQerrorMessage(conn_));
            result.error = why.empty() ? "no answer from the server in time" : scrub(why);
        }
        disconnect();
        return result;
    }
    if (PQstatus(conn_) != CONNECTION_OK) {
        disconnect();
    }
    result.ok = !failed;
    return result;
}

}  // namespace host
