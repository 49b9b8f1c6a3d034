// SQLite's own file access through the Env: a VFS that wraps the system's default one and asks
// env().allow_io(kind, path) before each open, read, write, sync, truncate and lock, so that a
// test can make SQLite's disk fill up or its fsync fail as it does the Env's files. Everything
// else (SQLite's locking protocol, the WAL's shared memory) stays the default VFS's own.
#pragma once

namespace host {

// The VFS's name for sqlite3_open_v2, registered on first use (never as the default).
const char *sqlite_env_vfs();

}  // namespace host
