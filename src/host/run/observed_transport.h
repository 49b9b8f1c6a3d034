// A transport that shows every report written and read, and every failure, to a run observer
// before passing it on. A failed read means the device is gone: that is how a disconnected
// device is told from a silent one.
#pragma once

#include "host/link/transport.h"
#include "host/run/run_observer.h"

namespace host {

class ObservedTransport : public Transport {
  public:
    ObservedTransport(Transport &inner, RunObserver &observer)
        : inner_(inner), observer_(observer) {}

    int write(const uint8_t *report, size_t len) override {
        const int n = inner_.write(report, len);
        observer_.on_report_sent(report, len, n >= 0);
        return n;
    }
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        const int n = inner_.read(buf, len, timeout_ms);
        if (n != 0) {
            observer_.on_report_received(buf, n);
        }
        return n;
    }
    bool product_string(std::wstring &out) override { return inner_.product_string(out); }
    bool disconnected() const override { return inner_.disconnected(); }
    base::Status keep_after_update(const std::string &name) override {
        return inner_.keep_after_update(name);
    }

  private:
    Transport &inner_;
    RunObserver &observer_;
};

}  // namespace host
