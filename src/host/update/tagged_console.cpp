#include "host/update/tagged_console.h"

#include "console/console.h"

namespace host {

namespace {
thread_local long scoped_device = -1;
}  // namespace

TaggedConsole::DeviceScope::DeviceScope(size_t device) : previous_(scoped_device) {
    scoped_device = static_cast<long>(device);
}

TaggedConsole::DeviceScope::~DeviceScope() {
    scoped_device = previous_;
}

TaggedConsole::TaggedConsole(std::vector<std::string> tags, Sink out)
    : out_(std::move(out)), tags_(std::move(tags)), pending_(tags_.size()), own_(tags_.size()) {}

TaggedConsole::~TaggedConsole() {
    uninstall();
}

void TaggedConsole::attach(const EngineRunner *runner, size_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    runners_.emplace_back(runner, device);
}

size_t TaggedConsole::add(const std::string &tag, Sink own) {
    std::lock_guard<std::mutex> lock(mutex_);
    tags_.push_back(tag);
    pending_.emplace_back();
    own_.push_back(std::move(own));
    return tags_.size() - 1;
}

void TaggedConsole::detach(const EngineRunner *runner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = runners_.begin(); it != runners_.end();) {
        if (it->first != runner) {
            ++it;
            continue;
        }
        if (!pending_[it->second].empty()) {
            pending_[it->second] += '\n';
            flush_locked(it->second);
        }
        it = runners_.erase(it);
    }
}

void TaggedConsole::install() {
    sink_.emplace([this](std::string_view text) { write(text); });
}

void TaggedConsole::uninstall() {
    if (!sink_) {
        return;
    }
    sink_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t device = 0; device < pending_.size(); device++) {
        if (!pending_[device].empty()) {
            pending_[device] += '\n';
            flush_locked(device);
        }
    }
}

long TaggedConsole::device_of_this_thread_locked() const {
    if (const EngineRunner *runner = EngineRunner::current()) {
        for (const auto &[known, device] : runners_) {
            if (known == runner) {
                return static_cast<long>(device);
            }
        }
    }
    return scoped_device < static_cast<long>(tags_.size()) ? scoped_device : -1;
}

void TaggedConsole::write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long device = device_of_this_thread_locked();
    if (device < 0) {
        out_(text);
        return;
    }
    std::string &line = pending_[static_cast<size_t>(device)];
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const size_t take = end == std::string_view::npos ? text.size() : end + 1;
        line.append(text.substr(0, take));
        text.remove_prefix(take);
        if (line.back() == '\n' || line.size() >= kLongestLine) {
            flush_locked(static_cast<size_t>(device));
        }
    }
}

void TaggedConsole::flush_locked(size_t device) {
    std::string &line = pending_[device];
    if (own_[device]) {
        own_[device](line);
    } else {
        out_("[" + tags_[device] + "] " + line);
    }
    line.clear();
}

}  // namespace host
