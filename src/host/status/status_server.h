// The station's read-only status page on --status-listen [ADDRESS:]PORT: GET /status (JSON),
// GET /metrics (Prometheus' text format) and GET / (the page for a screen beside the line).
// Anything but GET is refused. A slow or hostile client holds at most one of the server's few
// threads for a few seconds and never the station: the board is only read under its own lock.
#pragma once

#include <memory>
#include <string>

#include "base/result.h"
#include "host/status/status_board.h"

namespace host {

struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 0;
};

// "[ADDRESS:]PORT": InvalidInput with why not.
base::Result<ListenAddress> parse_listen_address(const std::string &text);

class StatusServer {
  public:
    explicit StatusServer(StatusBoard &board);
    ~StatusServer();
    StatusServer(const StatusServer &) = delete;
    StatusServer &operator=(const StatusServer &) = delete;

    // Binds and serves on a thread of its own; the reason when it cannot bind.
    base::Status start(const ListenAddress &address);
    void stop();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The page of GET /.
const std::string &status_page_html();

}  // namespace host
