// Locked, up-to-date access to the status databases (see kx_dbm_access.hpp).

#include "kx_dbm_access.hpp"

#include "admin_private.h"
#include "kx_dbm_codec.hpp"

#include <cerrno>
#include <ctime>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx::dbm {

struct Handle {
    std::string base;      // the database's path, without .dir or .pag
    std::string pag;       // base + ".pag"
    int flags = O_RDONLY;  // how the handle opens it
    int lock_fd = -1;      // the .pag file, for flock
    std::mutex turn;       // threads that share the handle
    struct stat seen {};   // the .pag file as the handle last saw it
    bool current = false;  // whether every later change shows in `seen`
    Handle() = default;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle()
    {
        if (lock_fd >= 0)
            ::close(lock_fd);
    }
};

namespace {

// The handles that the library opened; never destroyed, so that a handle
// may still be closed while the program exits.
std::mutex registry_lock;
std::unordered_map<DBM *, std::shared_ptr<Handle>> &registry()
{
    static auto *handles = new std::unordered_map<DBM *, std::shared_ptr<Handle>>;
    return *handles;
}

std::shared_ptr<Handle> find(DBM *db)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    auto found = registry().find(db);
    return found == registry().end() ? nullptr : found->second;
}

bool lock(int fd, int how)
{
    while (flock(fd, how) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const struct stat &now, const struct stat &seen)
{
    return same_file(now, seen) && now.st_size == seen.st_size &&
           same_time(now.st_ctim, seen.st_ctim) && same_time(now.st_mtim, seen.st_mtim);
}

// A file gdbm can open without writing it: a regular file that is not empty
// (an empty one it would initialise as a new database).
bool usable(const struct stat &st) { return S_ISREG(st.st_mode) && st.st_size > 0; }

// Records the state of the file that the handle now sees.  The file system
// stamps changes with the coarse clock: a change later in the tick of the
// last one may leave the times as they are, so the handle can only be sure
// to notice the next change once that tick is over.
void note(Handle &h, const struct stat &st)
{
    h.seen = st;
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    h.current = st.st_ctim.tv_sec < now.tv_sec ||
                (st.st_ctim.tv_sec == now.tv_sec && st.st_ctim.tv_nsec < now.tv_nsec);
}

// Sets the file's modification time to one that no other write gives it:
// the current second with a random fraction (a write of the kernel stamps
// the time of its clock, any other writer of the library a random one of its
// own).  Only the file's owner (or root) may set a time; false otherwise.
bool stamp_own(int fd)
{
    thread_local std::minstd_rand random(std::random_device{}());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec times[2] = {{0, UTIME_OMIT}, {now.tv_sec, static_cast<long>(random() % 1000000000)}};
    return futimens(fd, times) == 0;
}

// A new gdbm handle of the locked file; nullptr when the path names
// another file now or the database cannot be opened.
DBM *open_locked(const Handle &h, const struct stat &locked)
{
    std::string base = h.base;
    DBM *fresh = dbm_open(base.data(), h.flags | O_CLOEXEC, 0);
    if (!fresh)
        return nullptr;
    struct stat st;
    if (fstat(dbm_pagfno(fresh), &st) != 0 || !same_file(st, locked)) {
        dbm_close(fresh);
        return nullptr;
    }
    return fresh;
}

// Brings the handle up to date with its locked file: a handle that cannot
// be sure to see the file as it is now is replaced, in place, by a new one.
bool refresh(DBM *db, Handle &h, const struct stat &locked)
{
    if (!usable(locked))
        return false;
    if (h.current && unchanged(locked, h.seen))
        return true;
    DBM *fresh = open_locked(h, locked);
    if (!fresh)
        return false;
    std::swap(*db, *fresh);
    dbm_close(fresh);
    note(h, locked);
    return true;
}

}  // namespace

DBM *open_existing(char *path, int mode)
{
    if (!path)
        return nullptr;
    auto h = std::make_shared<Handle>();
    h->base = path;
    h->pag = h->base + ".pag";
    h->flags = mode == 1 ? O_RDONLY : O_RDWR;
    struct stat dir, locked;
    if (stat((h->base + ".dir").c_str(), &dir) != 0 || !usable(dir))
        return nullptr;
    h->lock_fd = open(h->pag.c_str(), O_RDONLY | O_CLOEXEC);
    if (h->lock_fd < 0 || !lock(h->lock_fd, h->flags == O_RDONLY ? LOCK_SH : LOCK_EX))
        return nullptr;
    DBM *db = nullptr;
    if (fstat(h->lock_fd, &locked) == 0 && usable(locked) && (db = open_locked(*h, locked)))
        note(*h, locked);
    flock(h->lock_fd, LOCK_UN);
    if (db) {
        std::lock_guard<std::mutex> hold(registry_lock);
        registry()[db] = std::move(h);
    }
    return db;
}

void close(DBM *db)
{
    if (!db)
        return;
    std::shared_ptr<Handle> h;
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        if (auto found = registry().find(db); found != registry().end()) {
            h = std::move(found->second);
            registry().erase(found);
        }
    }
    dbm_close(db);
}

Access::Access(DBM *db, Kind kind) : handle_(find(db))
{
    if (!handle_) {
        ok_ = db != nullptr;
        return;
    }
    Handle &h = *handle_;
    if (kind == kWrite && h.flags == O_RDONLY)
        return;
    turn_ = std::unique_lock<std::mutex>(h.turn);
    for (int tries = 0; tries < 3; ++tries) {
        if (!lock(h.lock_fd, kind == kWrite ? LOCK_EX : LOCK_SH))
            return;
        locked_ = true;
        struct stat named, locked;
        if (stat(h.pag.c_str(), &named) != 0 || fstat(h.lock_fd, &locked) != 0)
            return;
        if (same_file(named, locked)) {
            ok_ = refresh(db, h, locked);
            return;
        }
        // The path names another file now (a database put back from a
        // copy, say): follow it.
        flock(h.lock_fd, LOCK_UN);
        locked_ = false;
        int fd = open(h.pag.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        ::close(h.lock_fd);
        h.lock_fd = fd;
        h.current = false;
    }
}

Access::~Access()
{
    if (!handle_)
        return;
    Handle &h = *handle_;
    if (ok_ && writing_) {
        // gdbm writes through a shared mapping, which does not stamp the
        // file at every write: stamp it, so that other handles notice.  A
        // stamp of the handle's own tells it that nobody wrote after it for
        // as long as the file keeps it; failing that, the time of the
        // change does, once its tick is over.
        struct stat st;
        if (stamp_own(h.lock_fd) && fstat(h.lock_fd, &st) == 0) {
            h.seen = st;
            h.current = true;
        } else if (futimens(h.lock_fd, nullptr) == 0 && fstat(h.lock_fd, &st) == 0) {
            note(h, st);
        } else {
            h.current = false;
        }
    }
    if (locked_)
        flock(h.lock_fd, LOCK_UN);
}

int store(DBM *db, const char *id, const std::optional<std::string> &value, int how)
{
    if (!value)
        return -1;
    Access access(db, Access::kWrite);
    if (!access)
        return -1;
    access.writing();
    return dbm_store(db, key_datum(id), as_datum(*value), how) == 0 ? 0 : -1;
}

}  // namespace kx::dbm

int _kx_checkStatusDb(DBM *db, int users, char ***bad)
{
    if (!bad)
        return -1;
    *bad = nullptr;
    kx::dbm::Access access(db, kx::dbm::Access::kRead);
    if (!db || !access)
        return -1;
    int records = 0;
    for (datum key = dbm_firstkey(db); key.dptr; key = dbm_nextkey(db)) {
        ++records;
        if (auto why = kx::dbm::undecodable(key, dbm_fetch(db, key), users != 0)) {
            std::string id(key.dptr, static_cast<size_t>(key.dsize));
            kx_add_array(bad, safe_strdup((id + " (" + *why + ")").c_str()));
        }
    }
    return dbm_error(db) ? -1 : records;
}
