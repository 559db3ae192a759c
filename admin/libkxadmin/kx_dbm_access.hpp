// Access to the status databases by any number of sessions in any number of
// threads and processes.
//
// gdbm's ndbm layer takes no lock, and a handle keeps in memory what it has
// read of its file (the header, the bucket directory, the buckets): two
// handles that write lose each other's records, and a handle that reads
// after another one wrote may see neither the old nor the new state.  So
// every operation of the library on a database that it opened runs under a
// lock of the .pag file, shared to read and exclusive to write, and first
// makes sure that its handle sees the file as it is now: a handle whose file
// has changed since it last looked is opened afresh in place.  A change
// shows in the file's change time, which every write of the library renews;
// a handle that last looked within the same tick of the file system's clock
// as the last change cannot tell a later change in that tick and is opened
// afresh too.  The lock is held through a descriptor of the handle's own
// (flock), so that it also keeps apart two handles in one process; threads
// that share a handle take turns on it.
//
// A handle that the library did not open (dbm_open by the caller) is used
// as it is, without a lock.
#ifndef KX_DBM_ACCESS_HPP
#define KX_DBM_ACCESS_HPP

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kx_dbm.h"
#include "kx_dbm_codec.hpp"
#include "utils.h"

namespace kx::dbm {

// Opens an existing database, read-only for anonymous sessions (mode 1).
// Both files must be there, and the .pag file must not be empty: the
// library never creates a database, nor lets gdbm initialise an empty file
// or write the .dir half anew.
DBM *open_existing(char *path, int mode);

// Closes a database opened by open_existing (or any other handle).
void close(DBM *db);

struct Handle;

// The lock of one operation on a database, with the handle brought up to
// date; false when the database could not be locked or opened afresh (the
// operation then fails).
class Access {
public:
    enum Kind { kRead, kWrite };
    Access(DBM *db, Kind kind);
    ~Access();
    Access(const Access &) = delete;
    Access &operator=(const Access &) = delete;
    explicit operator bool() const { return ok_; }
    // Records that the operation is about to change the file.
    void writing() { writing_ = true; }

private:
    std::shared_ptr<Handle> handle_;
    std::unique_lock<std::mutex> turn_;
    bool locked_ = false, ok_ = false, writing_ = false;
};

// Stores the value under the id, locked (how: DBM_INSERT or DBM_REPLACE);
// 0, or -1 without a value or when the store fails.
int store(DBM *db, const char *id, const std::optional<std::string> &value, int how);

// Deletes the record of the id, locked: 0, or -1 when fetch (which logs a
// missing record) finds none or the handle is read-only (a read-only handle
// finds the record and fails to delete it).  `who` names the caller in the
// message of a missing record.
template <class Record>
int remove(DBM *db, char *id, Record *(*fetch)(DBM *, char *), void (*release)(Record *),
           const char *who, const char *what)
{
    bool writable = db && !dbm_rdonly(db);
    Access access(db, writable ? Access::kWrite : Access::kRead);
    Record *found = db && id && access ? fetch(db, id) : nullptr;
    if (!found) {
        dprintf("%s(): Could not get %s (%s)", who, what, id ? id : "");
        return -1;
    }
    int rc = -1;
    if (writable) {
        access.writing();
        rc = dbm_delete(db, key_datum(id));
    }
    release(found);
    return rc == 0 ? 0 : -1;
}

}  // namespace kx::dbm

#endif
