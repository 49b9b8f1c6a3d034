// The system's folders as the help and the reference name them: the text a user reads, with the
// variable or the folder a user recognises, not the path it stands for on this machine.
#pragma once

namespace host {

// The folder of the system's trusted public keys: "/etc/hidiap/trusted-keys", or on Windows
// "%ProgramData%\hidiap\trusted-keys" (trusted_keys_folder() gives the path itself).
const char *trusted_keys_folder_text();
// Likewise the folder of the revoked ones: "/etc/hidiap/revoked-keys".
const char *revoked_keys_folder_text();

// Where a records database's spool files go by default: "$XDG_STATE_HOME/hidiap", or on Windows
// "%LOCALAPPDATA%\hidiap".
const char *spool_folder_text();

}  // namespace host
