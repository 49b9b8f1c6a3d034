// One connection to the records database through libpq, with every wait bounded: a station never
// stands still for the network. Everything it says has the password masked.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/platform/env.h"

typedef struct pg_conn PGconn;

namespace host {

using SqlValue = std::optional<std::string>;  // nullopt is NULL
using SqlRow = std::vector<SqlValue>;
using SqlRows = std::vector<SqlRow>;

class PostgresLink {
  public:
    // How long a connection attempt may take when neither the URI nor PGCONNECT_TIMEOUT says,
    // and how long one statement may wait for its answer.
    static constexpr int kDefaultConnectSeconds = 5;
    static constexpr std::chrono::seconds kStatementLimit{5};

    // URI as given (its scheme in any case): every option libpq reads from it and from its
    // environment applies.
    explicit PostgresLink(const std::string &uri);
    ~PostgresLink();
    PostgresLink(const PostgresLink &) = delete;
    PostgresLink &operator=(const PostgresLink &) = delete;

    // Whether libpq takes the URI as hidiap reads it: InvalidInput, with a reason that shows no
    // part of the password, when not.
    base::Status well_formed() const;
    // The URI as it may be shown.
    std::string shown() const;
    // What names the database whatever the password: user, hosts, ports and database name.
    std::string identity() const;

    // Connects unless connected. With `classify`, a server that answered and turned the
    // connection down (authentication, no such role or database) is PermissionDenied, and a
    // setting libpq would not even try with InvalidInput; no answer in time is Unavailable, and
    // so is every failure without `classify`.
    base::Status connect(bool classify = true);
    bool connected() const { return conn_ != nullptr; }
    void disconnect();
    // The role the connection logged in as.
    std::string role() const;

    // Runs SQL (several statements when there are no parameters), waiting at most
    // kStatementLimit; the rows of the last statement that returned rows. A connection that
    // broke or did not answer is dropped (Unavailable). The server's refusals by their SQLSTATE:
    // InvalidInput for the data (classes 22 and 23: a value of the wrong form, a constraint),
    // PermissionDenied for a missing right, NotFound for a missing table, Unavailable for the
    // server's own state, Internal for the rest.
    base::Result<SqlRows> run(const std::string &sql, const std::vector<SqlValue> &params = {});

  private:
    struct ConnFinish {
        void operator()(PGconn *conn) const;
    };
    using ConnOwner = std::unique_ptr<PGconn, ConnFinish>;

    std::string scrub(const std::string &text) const;
    base::Status send_query(const std::string &sql, const std::vector<SqlValue> &params,
                            SteadyTime deadline);
    base::Status wait_socket(SocketWait what, SteadyTime deadline);
    base::Status wait_result(SteadyTime deadline);
    base::Result<SqlRows> collect_results(SteadyTime deadline);
    base::Error lost(base::Error why);

    const std::string given_;  // as given, for showing
    const std::string uri_;    // as libpq reads it
    std::string password_;     // as libpq reads it, to keep it out of its messages
    ConnOwner conn_;
};

}  // namespace host
