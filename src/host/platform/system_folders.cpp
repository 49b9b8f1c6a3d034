#include "host/platform/system_folders.h"

namespace host {

#if defined(_WIN32)

const char *trusted_keys_folder_text() {
    return "%ProgramData%\\hidiap\\trusted-keys";
}

const char *revoked_keys_folder_text() {
    return "%ProgramData%\\hidiap\\revoked-keys";
}

const char *spool_folder_text() {
    return "%LOCALAPPDATA%\\hidiap";
}

#else

const char *trusted_keys_folder_text() {
    return "/etc/hidiap/trusted-keys";
}

const char *revoked_keys_folder_text() {
    return "/etc/hidiap/revoked-keys";
}

const char *spool_folder_text() {
    return "$XDG_STATE_HOME/hidiap";
}

#endif

}  // namespace host
