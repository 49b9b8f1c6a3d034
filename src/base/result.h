// The one way a failure travels in hidiap: an error code from one enum and a message in words,
// returned as a value. `Result<T>` carries either a T or an Error; `Status` (Result<void>) only
// says whether something worked. Nothing here throws, allocates beyond the message, or knows
// where the failure will be told: the program turns an Error into its exit status and its
// sentence in one place.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace base {

// What kind of failure it is: enough for a caller to decide what to do (the program's exit
// status, a retry, a fallback), never the words (those are the message's).
enum class ErrorCode {
    InvalidInput,      // the input was refused: malformed, out of range, of the wrong kind
    NotFound,          // a file, device, key or row that was asked for does not exist
    PermissionDenied,  // the operating system or a server said no
    Io,                // reading, writing or syncing failed
    NoSpace,           // the disk is full (or the quota spent)
    Busy,              // held by someone else: a lock, a file in use
    Unavailable,       // a server or device cannot be reached now; trying later may work
    Corrupt,           // stored data is damaged or not what this program wrote
    Unsupported,       // not possible on this system or in this build
    Interrupted,       // the user asked the program to stop
    Internal,          // a fault of the program itself
};

// The name of a code, for logs and tests ("invalid input", "no space", ...).
const char *error_code_name(ErrorCode code);

class Error {
  public:
    Error(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

    ErrorCode code() const { return code_; }
    const std::string &message() const { return message_; }

    // The same error told in a wider context: "CONTEXT: MESSAGE".
    Error in(const std::string &context) const & { return {code_, context + ": " + message_}; }
    Error in(const std::string &context) && {
        message_ = context + ": " + message_;
        return std::move(*this);
    }

  private:
    ErrorCode code_;
    std::string message_;
};

// Either a value or the Error that kept it from being made. A Result is looked at before its
// value is taken: value() on a failed Result is a programming error (asserted in debug builds).
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T &value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T &value() const & {
        assert(ok());
        return std::get<0>(state_);
    }
    T &&value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

    const Error &error() const {
        assert(!ok());
        return std::get<1>(state_);
    }
    ErrorCode code() const { return error().code(); }
    const std::string &message() const { return error().message(); }

  private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    const Error &error() const {
        assert(!ok());
        return *error_;
    }
    ErrorCode code() const { return error().code(); }
    const std::string &message() const { return error().message(); }

  private:
    std::optional<Error> error_;
};

using Status = Result<void>;

inline Status ok_status() {
    return {};
}

}  // namespace base
