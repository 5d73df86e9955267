// Telling whether the files beside a store, and the store file's length, are what the store's
// own writers leave, before SQLite replays a log into the store.
//
// SQLite folds whatever write-ahead log or rollback journal lies beside a database file into it,
// whichever database wrote it. A store never writes a rollback journal, and every write
// transaction of a store records a new random commit mark, with the mark before it, in the
// store's `commits` row. A log is the store's own when its transactions carry marks that chain
// from the mark in the store file, or from one of them (a checkpoint may have copied part of the
// log into the file already). A store of layout 1 records no marks, and neither did the programs
// that wrote it: a log without marks beside it is taken as its own.
//
// The files are judged only while no connection has the store open: that is when SQLite replays
// a log, and then no writer or checkpointer can be half-way through its work. While a connection
// has it open, the log is one that SQLite already replayed for that connection.
#pragma once

#include <string>

struct sqlite3;

namespace store {

// The SQL that records a new commit mark; every write transaction that changes a row of a store
// of the current layout runs it.
inline constexpr const char* kRecordCommitMark =
    "UPDATE commits SET previous = mark, mark = randomblob(16) WHERE id = 1";

// Whether the open store records commit marks (layout 2 on).
bool HasCommitMarks(sqlite3* db);

// Checks the -journal and -wal beside the store file at `path`, and, where there is no log to
// complete it, that the file holds every page its header counts. Returns an error text that says
// what is wrong and what to do, empty when SQLite may open the store. Waits for another process
// that is checking the same store; a process that may not write the store file checks nothing,
// since SQLite will never write a log into the store for it.
std::string CheckStoreFiles(const std::string& path);

// Removes an empty log, and its index, that a connection which failed left beside the store at
// `path`, when no connection has the store open: they hold nothing, and a store is one file
// between runs.
void RemoveEmptyLog(const std::string& path);

}  // namespace store
