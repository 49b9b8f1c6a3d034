// The static libpq of the Windows build, run by tests/windows/run under Wine: linked beside
// winpthreads (std::thread) as hidiap.exe will link it, it reports its version and makes one
// connection attempt, from another thread, to the connection string given as the argument.
// Prints "libpq VERSION", then "connect: STATUS: MESSAGE"; exit status 0 once it got that far.
#include <libpq-fe.h>

#include <cstdio>
#include <thread>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hidiap-libpq-probe CONNECTION-STRING\n");
        return 2;
    }
    std::printf("libpq %d\n", PQlibVersion());
    std::fflush(stdout);
    const char *conninfo = argv[1];
    std::thread attempt([conninfo] {
        PGconn *conn = PQconnectdb(conninfo);
        if (conn == nullptr) {
            std::printf("connect: no memory\n");
            return;
        }
        const bool ok = PQstatus(conn) == CONNECTION_OK;
        std::printf("connect: %s: %s", ok ? "ok" : "failed", ok ? "\n" : PQerrorMessage(conn));
        PQfinish(conn);
    });
    attempt.join();
    return 0;
}
