// One connection to the records database through libpq, with every wait bounded: a station never
// stands still for the network. Everything it says has the password masked.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

typedef struct pg_conn PGconn;

namespace host {

using SqlValue = std::optional<std::string>;  // nullopt is NULL
using SqlRow = std::vector<SqlValue>;

struct SqlResult {
    bool ok = false;
    std::string sqlstate;  // the server's error code, when it gave one
    std::string error;
    std::vector<SqlRow> rows;
};

class PostgresLink {
  public:
    // How long a connection attempt may take when neither the URI nor PGCONNECT_TIMEOUT says,
    // and how long one statement may wait for its answer.
    static constexpr int kDefaultConnectSeconds = 5;
    static constexpr std::chrono::seconds kStatementLimit{5};

    // URI as given: every option libpq reads from it and from its environment applies.
    explicit PostgresLink(std::string uri);
    ~PostgresLink();
    PostgresLink(const PostgresLink &) = delete;
    PostgresLink &operator=(const PostgresLink &) = delete;

    // Whether libpq takes the URI; the reason when not.
    bool well_formed(std::string &error) const;
    // The URI as it may be shown.
    std::string shown() const;
    // What names the database whatever the password: user, hosts, ports and database name.
    std::string identity() const;

    enum class Reach { Connected, Unreachable, Refused };
    // Connects unless connected. With `classify`, Refused when the server answered and turned the
    // connection down (authentication, no such role or database); otherwise, and with no answer
    // in time, Unreachable.
    Reach connect(std::string &error, bool classify = true);
    bool connected() const { return conn_ != nullptr; }
    void disconnect();
    // The role the connection logged in as.
    std::string role() const;

    // Runs SQL (several statements when there are no parameters), waiting at most
    // kStatementLimit. A connection that broke or did not answer is dropped.
    SqlResult run(const std::string &sql, const std::vector<SqlValue> &params = {});

  private:
    std::string scrub(const std::string &text) const;
    bool wait_socket(bool for_write, std::chrono::steady_clock::time_point deadline);

    const std::string uri_;
    std::string password_;  // as libpq reads it from the URI, to keep it out of its messages
    PGconn *conn_ = nullptr;
};

}  // namespace host
