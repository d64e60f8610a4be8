#pragma once

// SQLite over its own file layer ("unix"), with the writes to a database
// file and to its rollback journal gathered: writes that follow one another
// on the file go to the kernel in one call, at the latest when anything
// needs them there (a sync, a read, the file's size, a truncation, a lock
// released, closing). SQLite writes a journal as three calls per 1 KiB page
// (its number, its bytes, a checksum) and the database one call per page:
// an add or take-out of 2,000 files made some 11,000 and 18,000 of them.
//
// Nothing SQLite relies on changes: it counts a write as durable only after
// the file's sync, and the gathered bytes reach the file before that sync
// is asked of the kernel. A program killed before the sync loses what it
// had not synced, which SQLite's journal already allows for, as it allows
// for a power failure. The files are byte for byte the same.
namespace gatheredwrites {

// The name to open database connections with (sqlite3_open_v2); the layer is
// registered on the first call. nullptr when it cannot be: SQLite's own is
// used then.
const char* vfsName();

} // namespace gatheredwrites
