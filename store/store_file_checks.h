// Checks of a database file (a store, or a backup of one) before and as SQLite opens it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "store/store_file.h"

namespace store {

// Marks in the database header that tell a store of ours: "PCRG", and the layout's version.
// Layout 1 existed only in development builds; layout 2 never gives a key id twice, so that a key
// held open by id is never confused with a later one.
inline constexpr std::int64_t kApplicationId = 0x50435247;
inline constexpr std::int64_t kDevelopmentLayoutVersion = 1;
inline constexpr std::int64_t kLayoutVersion = 2;
inline constexpr const char* kNoLocation =
    "no store location: set PATTERN_COUNTERS_REGISTRY or HOME";
// How SQLite is asked to read a database file only: alone, as a snapshot, or with its log.
inline constexpr const char* kSnapshot = "?mode=ro&immutable=1";
inline constexpr const char* kReadOnly = "?mode=ro";

// Whether anything, a link included, has the name.
bool Exists(const std::string& path);

// The file's size; 0 when there is none.
off_t FileSize(const std::string& path);

// A stamp of the file that changes whenever the file is written, or replaced.
std::string FileStamp(const std::string& path);

// Why the store file may not be used: SQLite keeps a log for each name of a file, so a write made
// through one of two names (hard links) would be lost through the other. Returns that failure, ok
// for a file of one name.
Status CheckSingleName(const std::string& path);

// Why a side file of SQLite's beside the store stands in this user's way: one that another user's
// program made with a group this user is not in, say. Returns that failure, ok when none does.
Status CheckSideFiles(const std::string& path, Access access);

// What the header of the database `schema` says, as SQLite reads it. Returns ok for a store of
// ours, why it is none, or why SQLite could not read the database at all.
Status CheckIdentity(sqlite3* db, const std::string& path, const std::string& schema = "main");

// Whether the file at `path`, read alone, has the header of another file than a store of ours.
// Returns that failure, ok otherwise: any other failure is left to SQLite's own reading, under its
// locks.
Status CheckFileAlone(const std::string& path);

// Why this process may not write the store at `path` (the file, or its folder, where SQLite keeps
// the store's log files). Returns that failure, ok when nothing stands in the way.
Status CheckWritable(const std::string& path);

// Why SQLite could not open a file at `path` with `more` bytes added to its name, leaving room for
// its side files' longest suffix, "-journal". Returns that failure, ok when it could.
Status CheckPathLength(const std::string& path, std::size_t more);

// Why the database at `path` may not be opened at all, whatever the access. Returns that failure,
// ok when it may.
Status CheckDatabaseFile(const std::string& path);

}  // namespace store
