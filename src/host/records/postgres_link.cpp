#include "host/records/postgres_link.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "host/records/database_uri.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

struct ResultClear {
    void operator()(PGresult *result) const { PQclear(result); }
};
using ResultOwner = std::unique_ptr<PGresult, ResultClear>;

struct ConninfoFree {
    void operator()(PQconninfoOption *options) const { PQconninfoFree(options); }
};
using ConninfoOwner = std::unique_ptr<PQconninfoOption, ConninfoFree>;

constexpr const char *kUnclearUserInfo =
    "its user and password cannot be told from its host and parameters: write each '@' but the "
    "one before the host as %40, and a '/', '?' or '#' in the password as %2F, %3F or %23 (or "
    "keep the password in ~/.pgpass)";

// libpq's own words end in a line end, sometimes several lines: one line for our messages.
std::string one_line(std::string text) {
    for (char &c : text) {
        if (c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    for (size_t at = text.find("  "); at != std::string::npos; at = text.find("  ", at)) {
        text.erase(at, 1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// The value libpq read for KEY; nullopt when none.
std::optional<std::string> option_value(const PQconninfoOption *options, const char *key) {
    for (const PQconninfoOption *o = options; o != nullptr && o->keyword != nullptr; o++) {
        if (std::strcmp(o->keyword, key) == 0 && o->val != nullptr) {
            return std::string(o->val);
        }
    }
    return std::nullopt;
}

// libpq reads the ports only when it connects, and a port it cannot read would then look like a
// server that does not answer.
base::Status check_ports(const PQconninfoOption *options) {
    const std::string ports = option_value(options, "port").value_or("");
    for (size_t at = 0; at <= ports.size();) {
        const size_t end = std::min(ports.find(',', at), ports.size());
        const std::string port = ports.substr(at, end - at);
        at = end + 1;
        if (port.empty()) {
            continue;
        }
        unsigned long number = 0;
        const bool digits =
            port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        for (const char c : digits ? port : std::string()) {
            number = number * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!digits || number < 1 || number > 65535) {
            return Error(ErrorCode::InvalidInput, "invalid port number: \"" + port + "\"");
        }
    }
    return {};
}

// What a refusal of the server's is, by its SQLSTATE's class.
ErrorCode code_of_sqlstate(const std::string &state) {
    const std::string cls = state.substr(0, 2);
    if (cls == "22" || cls == "23") {
        return ErrorCode::InvalidInput;
    }
    if (state == "42501" || cls == "28") {
        return ErrorCode::PermissionDenied;
    }
    if (state == "42P01") {
        return ErrorCode::NotFound;
    }
    if (cls == "40") {
        return ErrorCode::Busy;
    }
    if (cls == "08" || cls == "53" || cls == "57" || cls == "58" || cls == "25") {
        return ErrorCode::Unavailable;
    }
    return ErrorCode::Internal;
}

SqlRows rows_of(const PGresult *r) {
    SqlRows rows;
    for (int row = 0; row < PQntuples(r); row++) {
        SqlRow cells;
        for (int col = 0; col < PQnfields(r); col++) {
            cells.push_back(PQgetisnull(r, row, col) != 0 ? SqlValue()
                                                          : SqlValue(PQgetvalue(r, row, col)));
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

// The options every connection and ping passes, with the URI last so that its settings win.
class ConnectParams {
  public:
    explicit ConnectParams(const std::string &uri)
        : timeout_(std::to_string(PostgresLink::kDefaultConnectSeconds)) {
        add("fallback_application_name", "hidiap");
        // The connect time-out is ours only when neither the URI nor the environment gives one.
        const char *env_timeout = std::getenv("PGCONNECT_TIMEOUT");
        if (env_timeout == nullptr || *env_timeout == '\0') {
            add("connect_timeout", timeout_.c_str());
        }
        add("dbname", uri.c_str());
        add(nullptr, nullptr);
    }
    const char *const *keys() const { return keys_.data(); }
    const char *const *values() const { return values_.data(); }

  private:
    void add(const char *key, const char *value) {
        keys_.push_back(key);
        values_.push_back(value);
    }
    const std::string timeout_;
    std::vector<const char *> keys_;
    std::vector<const char *> values_;
};

}  // namespace

void PostgresLink::ConnFinish::operator()(PGconn *conn) const {
    PQfinish(conn);
}

PostgresLink::PostgresLink(const std::string &uri) : given_(uri), uri_(normalised_uri(uri)) {
    const ConninfoOwner options(PQconninfoParse(uri_.c_str(), nullptr));
    password_ = option_value(options.get(), "password").value_or("");
}

PostgresLink::~PostgresLink() = default;

base::Status PostgresLink::well_formed() const {
    char *message = nullptr;
    const ConninfoOwner options(PQconninfoParse(uri_.c_str(), &message));
    const std::string why = one_line(message != nullptr ? message : "out of memory");
    PQfreemem(message);
    // Where libpq reads another password than the one hidiap masks, its messages would show the
    // rest of it (as a host name, a port, a parameter).
    const std::optional<std::string> masked = uri_password(uri_);
    if (masked && (!options || option_value(options.get(), "password") != masked)) {
        return Error(ErrorCode::InvalidInput, kUnclearUserInfo);
    }
    if (!options) {
        return Error(ErrorCode::InvalidInput, scrub(why));
    }
    return check_ports(options.get());
}

std::string PostgresLink::shown() const {
    return mask_passwords(given_);
}

std::string PostgresLink::identity() const {
    // In libpq's order of its options: the spool files of earlier runs are named after this.
    std::string id;
    const ConninfoOwner options(PQconninfoParse(uri_.c_str(), nullptr));
    for (const PQconninfoOption *o = options.get(); o != nullptr && o->keyword != nullptr; o++) {
        for (const char *key : {"user", "host", "hostaddr", "port", "dbname", "service"}) {
            if (std::strcmp(o->keyword, key) == 0) {
                id += std::string(key) + "=" + (o->val != nullptr ? o->val : "") + ";";
            }
        }
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

base::Status PostgresLink::connect(bool classify) {
    if (conn_) {
        return {};
    }
    const ConnectParams p(uri_);
    ConnOwner conn(PQconnectdbParams(p.keys(), p.values(), 1));
    if (conn && PQstatus(conn.get()) == CONNECTION_OK) {
        PQsetnonblocking(conn.get(), 1);
        // The server's notices ("already exists, skipping") are not the operator's business.
        PQsetNoticeProcessor(
            conn.get(), [](void *, const char *) {}, nullptr);
        conn_ = std::move(conn);
        return {};
    }
    const std::string why = scrub(one_line(conn ? PQerrorMessage(conn.get()) : "out of memory"));
    const bool needs_password = conn && PQconnectionNeedsPassword(conn.get()) != 0;
    conn.reset();
    if (!classify) {
        return Error(ErrorCode::Unavailable, why);
    }
    if (needs_password) {
        return Error(ErrorCode::PermissionDenied, why);
    }
    // An answering server that turned us down is a refusal, and so is a setting libpq would not
    // even try with (it checks some values only when connecting); no answer is the network's.
    switch (PQpingParams(p.keys(), p.values(), 1)) {
        case PQPING_OK:
            return Error(ErrorCode::PermissionDenied, why);
        case PQPING_NO_ATTEMPT:
            return Error(ErrorCode::InvalidInput, "not a usable database URI: " + why);
        default:
            return Error(ErrorCode::Unavailable, why);
    }
}

void PostgresLink::disconnect() {
    conn_.reset();
}

std::string PostgresLink::role() const {
    const char *user = conn_ ? PQuser(conn_.get()) : nullptr;
    return user != nullptr ? user : "";
}

base::Status PostgresLink::wait_socket(SocketWait what, SteadyTime deadline) {
    const base::Result<bool> ready = env().wait_socket(PQsocket(conn_.get()), what, deadline);
    if (!ready.ok()) {
        return ready.error();
    }
    if (!*ready) {
        return Error(ErrorCode::Unavailable, "no answer from the server in time");
    }
    return {};
}

// Out with the query, each wait for the socket bounded by the deadline.
base::Status PostgresLink::send_query(const std::string &sql, const std::vector<SqlValue> &params,
                                      SteadyTime deadline) {
    std::vector<const char *> values;
    for (const SqlValue &v : params) {
        values.push_back(v ? v->c_str() : nullptr);
    }
    const int sent = params.empty() ? PQsendQuery(conn_.get(), sql.c_str())
                                    : PQsendQueryParams(conn_.get(), sql.c_str(),
                                                        static_cast<int>(params.size()), nullptr,
                                                        values.data(), nullptr, nullptr, 0);
    if (sent != 1) {
        return Error(ErrorCode::Unavailable, "");
    }
    for (int flushed = PQflush(conn_.get()); flushed != 0; flushed = PQflush(conn_.get())) {
        if (flushed < 0) {
            return Error(ErrorCode::Unavailable, "");
        }
        if (base::Status ready = wait_socket(SocketWait::Writable, deadline); !ready.ok()) {
            return ready;
        }
    }
    return {};
}

base::Error PostgresLink::lost(base::Error why) {
    std::string words = why.message();
    if (words.empty()) {
        words = one_line(PQerrorMessage(conn_.get()));
    }
    if (words.empty()) {
        words = "the connection broke";
    }
    disconnect();
    return Error(ErrorCode::Unavailable, scrub(words));
}

base::Status PostgresLink::wait_result(SteadyTime deadline) {
    while (PQisBusy(conn_.get()) != 0) {
        if (base::Status ready = wait_socket(SocketWait::Readable, deadline); !ready.ok()) {
            return ready;
        }
        if (PQconsumeInput(conn_.get()) == 0) {
            return Error(ErrorCode::Unavailable, "");
        }
    }
    return {};
}

// Every result of the statements sent, each wait bounded: the rows of the last that returned
// rows, or the first refusal.
base::Result<SqlRows> PostgresLink::collect_results(SteadyTime deadline) {
    SqlRows rows;
    std::optional<Error> refused;
    for (;;) {
        if (base::Status ready = wait_result(deadline); !ready.ok()) {
            return lost(ready.error());
        }
        const ResultOwner r(PQgetResult(conn_.get()));
        if (!r) {
            break;
        }
        const ExecStatusType status = PQresultStatus(r.get());
        if (refused || status == PGRES_COMMAND_OK) {
            continue;
        }
        if (status == PGRES_TUPLES_OK) {
            rows = rows_of(r.get());
            continue;
        }
        const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
        const char *primary = PQresultErrorField(r.get(), PG_DIAG_MESSAGE_PRIMARY);
        refused =
            Error(code_of_sqlstate(state != nullptr ? state : ""),
                  scrub(one_line(primary != nullptr ? primary : PQresultErrorMessage(r.get()))));
    }
    if (refused) {
        return *refused;
    }
    return rows;
}

base::Result<SqlRows> PostgresLink::run(const std::string &sql,
                                        const std::vector<SqlValue> &params) {
    if (!conn_) {
        return Error(ErrorCode::Unavailable, "not connected");
    }
    const SteadyTime deadline = deadline_after(kStatementLimit);
    if (base::Status sent = send_query(sql, params, deadline); !sent.ok()) {
        return lost(sent.error());
    }
    base::Result<SqlRows> rows = collect_results(deadline);
    if (conn_ && PQstatus(conn_.get()) != CONNECTION_OK) {
        disconnect();
    }
    return rows;
}

}  // namespace host
