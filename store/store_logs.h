// Telling whether the log files beside a store are the store's own, before SQLite replays them.
//
// SQLite folds whatever write-ahead log or rollback journal lies beside a database file into it,
// whichever database wrote it. A store never writes a rollback journal, and every write
// transaction of a store records a new random commit mark, with the mark before it, in the
// store's `commits` row. A log is the store's own when its transactions carry marks that chain
// from the mark in the store file, or from one of them (a checkpoint may have copied part of the
// log into the file already).
#pragma once

#include <string>

struct sqlite3;

namespace store {

// The SQL that records a new commit mark; every write transaction that changes a row runs it.
inline constexpr const char* kRecordCommitMark =
    "UPDATE commits SET previous = mark, mark = randomblob(16) WHERE id = 1";

// Checks the -journal and -wal beside the store file at `path`. Returns an error text that says
// what is wrong and what to do, empty when SQLite may replay them (or there are none).
std::string CheckStoreLogs(const std::string& path);

}  // namespace store
