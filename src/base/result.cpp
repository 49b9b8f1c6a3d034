#include "base/result.h"

namespace base {

const char *error_code_name(ErrorCode code) {
    switch (code) {
        case ErrorCode::InvalidInput:
            return "invalid input";
        case ErrorCode::NotFound:
            return "not found";
        case ErrorCode::PermissionDenied:
            return "permission denied";
        case ErrorCode::Io:
            return "I/O error";
        case ErrorCode::NoSpace:
            return "no space";
        case ErrorCode::Busy:
            return "busy";
        case ErrorCode::Unavailable:
            return "unavailable";
        case ErrorCode::Corrupt:
            return "corrupt";
        case ErrorCode::Unsupported:
            return "unsupported";
        case ErrorCode::Interrupted:
            return "interrupted";
        case ErrorCode::Internal:
            return "internal error";
    }
    return "unknown";
}

}  // namespace base
