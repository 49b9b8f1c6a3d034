// Linux only: the gadget side of a USB HID function (/dev/hidgN). Output reports written by the
// host are read here, report ID first; input reports written here reach the host's reads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gadget {

class HidgEndpoint {
  public:
    ~HidgEndpoint();
    // Opens the device node and starts the reader thread. False, with errno set, on failure.
    bool open(const std::string &path);
    void close();

    // Waits until a report has arrived or the deadline passes; moves every arrived report out.
    std::vector<std::vector<uint8_t>> wait_reports(std::chrono::steady_clock::time_point deadline);
    // Writes one input report, waiting at most `limit` for the host to take the previous one.
    bool write_report(const uint8_t *report, size_t len, std::chrono::milliseconds limit);

  private:
    void reader();

    int read_fd_ = -1;
    int write_fd_ = -1;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::vector<uint8_t>> reports_;
    bool reader_done_ = false;
};

}  // namespace gadget
