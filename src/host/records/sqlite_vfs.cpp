#include "host/records/sqlite_vfs.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <string>

#include "host/platform/env.h"

namespace host {

namespace {

using base::ErrorCode;

sqlite3_vfs *inner_vfs = nullptr;  // the default VFS, set once before ours is registered

// A file of ours: the default VFS's file follows it in the same allocation.
struct EnvFile {
    sqlite3_file base;
    const char *path;  // SQLite keeps the name alive until the file is closed
    sqlite3_file *inner() { return reinterpret_cast<sqlite3_file *>(this + 1); }
};

EnvFile *of(sqlite3_file *f) {
    return reinterpret_cast<EnvFile *>(f);
}

// SQLite's answer for an operation the Env refused.
int refused(IoKind kind, const std::string &path) {
    const base::Status allowed = env().allow_io(kind, path);
    if (allowed.ok()) {
        return SQLITE_OK;
    }
    if (allowed.code() == ErrorCode::NoSpace) {
        return SQLITE_FULL;
    }
    if (allowed.code() == ErrorCode::Busy) {
        return SQLITE_BUSY;
    }
    switch (kind) {
        case IoKind::Open:
            return SQLITE_CANTOPEN;
        case IoKind::Read:
            return SQLITE_IOERR_READ;
        case IoKind::Write:
            return SQLITE_IOERR_WRITE;
        case IoKind::Sync:
            return SQLITE_IOERR_FSYNC;
        case IoKind::Truncate:
            return SQLITE_IOERR_TRUNCATE;
        case IoKind::Lock:
            return SQLITE_IOERR_LOCK;
    }
    return SQLITE_IOERR;
}

int refused(IoKind kind, sqlite3_file *f) {
    return refused(kind, of(f)->path != nullptr ? of(f)->path : "");
}

// --- The file's methods: each asks the Env where it may fail, then the default VFS's file.

int env_close(sqlite3_file *f) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xClose(inner);
}

int env_read(sqlite3_file *f, void *buf, int amount, sqlite3_int64 offset) {
    if (const int rc = refused(IoKind::Read, f); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xRead(inner, buf, amount, offset);
}

int env_write(sqlite3_file *f, const void *buf, int amount, sqlite3_int64 offset) {
    if (const int rc = refused(IoKind::Write, f); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xWrite(inner, buf, amount, offset);
}

int env_truncate(sqlite3_file *f, sqlite3_int64 size) {
    if (const int rc = refused(IoKind::Truncate, f); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xTruncate(inner, size);
}

int env_sync(sqlite3_file *f, int flags) {
    if (const int rc = refused(IoKind::Sync, f); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xSync(inner, flags);
}

int env_file_size(sqlite3_file *f, sqlite3_int64 *size) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xFileSize(inner, size);
}

int env_lock(sqlite3_file *f, int level) {
    if (const int rc = refused(IoKind::Lock, f); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xLock(inner, level);
}

int env_unlock(sqlite3_file *f, int level) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xUnlock(inner, level);
}

int env_check_reserved_lock(sqlite3_file *f, int *out) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xCheckReservedLock(inner, out);
}

int env_file_control(sqlite3_file *f, int op, void *arg) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xFileControl(inner, op, arg);
}

int env_sector_size(sqlite3_file *f) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xSectorSize(inner);
}

int env_device_characteristics(sqlite3_file *f) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xDeviceCharacteristics(inner);
}

int env_shm_map(sqlite3_file *f, int region, int size, int extend, void volatile **out) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xShmMap(inner, region, size, extend, out);
}

int env_shm_lock(sqlite3_file *f, int offset, int n, int flags) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xShmLock(inner, offset, n, flags);
}

void env_shm_barrier(sqlite3_file *f) {
    sqlite3_file *inner = of(f)->inner();
    inner->pMethods->xShmBarrier(inner);
}

int env_shm_unmap(sqlite3_file *f, int delete_flag) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xShmUnmap(inner, delete_flag);
}

int env_fetch(sqlite3_file *f, sqlite3_int64 offset, int amount, void **out) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xFetch(inner, offset, amount, out);
}

int env_unfetch(sqlite3_file *f, sqlite3_int64 offset, void *p) {
    sqlite3_file *inner = of(f)->inner();
    return inner->pMethods->xUnfetch(inner, offset, p);
}

// The methods of our files, of the default VFS's version: the shared-memory and memory-map
// calls exist only where the inner file's methods have them.
sqlite3_io_methods methods_like(const sqlite3_io_methods &inner) {
    sqlite3_io_methods m{};
    m.iVersion = inner.iVersion;
    m.xClose = env_close;
    m.xRead = env_read;
    m.xWrite = env_write;
    m.xTruncate = env_truncate;
    m.xSync = env_sync;
    m.xFileSize = env_file_size;
    m.xLock = env_lock;
    m.xUnlock = env_unlock;
    m.xCheckReservedLock = env_check_reserved_lock;
    m.xFileControl = env_file_control;
    m.xSectorSize = env_sector_size;
    m.xDeviceCharacteristics = env_device_characteristics;
    if (inner.iVersion >= 2) {
        m.xShmMap = env_shm_map;
        m.xShmLock = env_shm_lock;
        m.xShmBarrier = env_shm_barrier;
        m.xShmUnmap = env_shm_unmap;
    }
    if (inner.iVersion >= 3) {
        m.xFetch = env_fetch;
        m.xUnfetch = env_unfetch;
    }
    return m;
}

// One set of methods per set of the default VFS's (it has a few, by file kind and locking).
const sqlite3_io_methods *methods_for(const sqlite3_io_methods *inner) {
    struct Known {
        const sqlite3_io_methods *inner;
        sqlite3_io_methods ours;
    };
    static std::mutex mutex;
    static Known known[8];
    static size_t count = 0;
    const std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < count; i++) {
        if (known[i].inner == inner) {
            return &known[i].ours;
        }
    }
    if (count == sizeof known / sizeof known[0]) {
        return nullptr;
    }
    known[count] = {inner, methods_like(*inner)};
    return &known[count++].ours;
}

// --- The VFS: opening asks the Env; the rest is the default VFS's.

int env_open(sqlite3_vfs *, const char *name, sqlite3_file *f, int flags, int *out_flags) {
    EnvFile *file = of(f);
    file->base.pMethods = nullptr;
    file->path = name;
    if (const int rc = refused(IoKind::Open, name != nullptr ? name : ""); rc != SQLITE_OK) {
        return rc;
    }
    sqlite3_file *inner = file->inner();
    const int rc = inner_vfs->xOpen(inner_vfs, name, inner, flags, out_flags);
    if (inner->pMethods == nullptr) {
        return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    }
    file->base.pMethods = methods_for(inner->pMethods);
    if (file->base.pMethods == nullptr) {
        inner->pMethods->xClose(inner);
        return SQLITE_CANTOPEN;
    }
    // Failed or not, the file is ours to close now (SQLite calls xClose when pMethods is set).
    return rc;
}

int env_delete(sqlite3_vfs *, const char *name, int sync_dir) {
    return inner_vfs->xDelete(inner_vfs, name, sync_dir);
}

int env_access(sqlite3_vfs *, const char *name, int flags, int *out) {
    return inner_vfs->xAccess(inner_vfs, name, flags, out);
}

int env_full_pathname(sqlite3_vfs *, const char *name, int size, char *out) {
    return inner_vfs->xFullPathname(inner_vfs, name, size, out);
}

void *env_dl_open(sqlite3_vfs *, const char *name) {
    return inner_vfs->xDlOpen(inner_vfs, name);
}

void env_dl_error(sqlite3_vfs *, int size, char *out) {
    inner_vfs->xDlError(inner_vfs, size, out);
}

void (*env_dl_sym(sqlite3_vfs *, void *handle, const char *symbol))(void) {
    return inner_vfs->xDlSym(inner_vfs, handle, symbol);
}

void env_dl_close(sqlite3_vfs *, void *handle) {
    inner_vfs->xDlClose(inner_vfs, handle);
}

int env_randomness(sqlite3_vfs *, int size, char *out) {
    return inner_vfs->xRandomness(inner_vfs, size, out);
}

int env_sleep(sqlite3_vfs *, int microseconds) {
    return inner_vfs->xSleep(inner_vfs, microseconds);
}

int env_current_time(sqlite3_vfs *, double *out) {
    return inner_vfs->xCurrentTime(inner_vfs, out);
}

int env_get_last_error(sqlite3_vfs *, int size, char *out) {
    return inner_vfs->xGetLastError != nullptr ? inner_vfs->xGetLastError(inner_vfs, size, out) : 0;
}

int env_current_time_int64(sqlite3_vfs *, sqlite3_int64 *out) {
    return inner_vfs->xCurrentTimeInt64(inner_vfs, out);
}

int env_set_system_call(sqlite3_vfs *, const char *name, sqlite3_syscall_ptr call) {
    return inner_vfs->xSetSystemCall(inner_vfs, name, call);
}

sqlite3_syscall_ptr env_get_system_call(sqlite3_vfs *, const char *name) {
    return inner_vfs->xGetSystemCall(inner_vfs, name);
}

const char *env_next_system_call(sqlite3_vfs *, const char *name) {
    return inner_vfs->xNextSystemCall(inner_vfs, name);
}

sqlite3_vfs make_vfs(sqlite3_vfs *inner) {
    sqlite3_vfs v{};
    v.iVersion = inner->iVersion < 3 ? inner->iVersion : 3;
    v.szOsFile = static_cast<int>(sizeof(EnvFile)) + inner->szOsFile;
    v.mxPathname = inner->mxPathname;
    v.zName = "hidiap-env";
    v.xOpen = env_open;
    v.xDelete = env_delete;
    v.xAccess = env_access;
    v.xFullPathname = env_full_pathname;
    v.xDlOpen = inner->xDlOpen != nullptr ? env_dl_open : nullptr;
    v.xDlError = inner->xDlError != nullptr ? env_dl_error : nullptr;
    v.xDlSym = inner->xDlSym != nullptr ? env_dl_sym : nullptr;
    v.xDlClose = inner->xDlClose != nullptr ? env_dl_close : nullptr;
    v.xRandomness = env_randomness;
    v.xSleep = env_sleep;
    v.xCurrentTime = env_current_time;
    v.xGetLastError = env_get_last_error;
    if (v.iVersion >= 2) {
        v.xCurrentTimeInt64 = env_current_time_int64;
    }
    if (v.iVersion >= 3) {
        v.xSetSystemCall = inner->xSetSystemCall != nullptr ? env_set_system_call : nullptr;
        v.xGetSystemCall = inner->xGetSystemCall != nullptr ? env_get_system_call : nullptr;
        v.xNextSystemCall = inner->xNextSystemCall != nullptr ? env_next_system_call : nullptr;
    }
    return v;
}

}  // namespace

const char *sqlite_env_vfs() {
    static const char *const name = [] {
        static sqlite3_vfs vfs;
        if (sqlite3_initialize() != SQLITE_OK ||
            (inner_vfs = sqlite3_vfs_find(nullptr)) == nullptr) {
            return static_cast<const char *>(nullptr);
        }
        vfs = make_vfs(inner_vfs);
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
    }();
    return name;
}

}  // namespace host
