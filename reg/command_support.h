// What the companion's commands share: where they talk to their user, reg's messages, and how
// they open the store and read it at one moment.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "store/registry_store.h"
#include "store/store_file.h"

namespace reg {

// Where a command reads confirmations and writes its results and errors.
struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool answersTyped = false;  // `in` is a terminal, which shows an answer and ends its line
};

inline constexpr std::string_view kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";
inline constexpr std::string_view kCancelled = "ERROR: The operation was cancelled.";
inline constexpr std::string_view kDone = "The operation completed successfully.";

// Writes the error message on its line. Returns the exit status for it, 1.
int Fail(Console& console, std::string_view message);

// Reports a failure about `subject`, what could not be done ("Cannot write the file F"): reg's
// message for a key or value that is not there when it is NotFound, else "ERROR: subject:
// reason.". Returns the exit status for it, 1.
int Fail(Console& console, std::string_view subject, const base::Status& status);

// Asks a yes-or-no question, and ends its line where no typed answer ended it. Returns whether
// the answer was y or yes, in any case; no answer is no.
bool Confirm(Console& console, const std::string& question);

// What a failure of the store at `storePath` is about, for Fail.
std::string StoreSubject(const std::string& storePath);

// Reports a failure of the open store `db`, naming its file. Returns the exit status for it, 1.
int FailOnStore(Console& console, sqlite3* db, const base::Status& status);

// Reports why the store could not be opened, or that it does not exist. Returns the exit status.
int OpenFailure(const std::string& storePath, const base::Status& status, Console& console);

// Opens the store for writing; nullptr after reporting why it could not be.
store::Store OpenForWriting(const std::string& storePath, Console& console);

// Creates the store when it does not exist yet, as add and import do, and opens it for writing;
// nullptr after reporting why it could not be.
store::Store CreateAndOpen(const std::string& storePath, Console& console);

// Runs `read` in one read transaction on the store opened for reading, with its output held back
// until it is known to be a read of the store at one moment. A process that may only read the
// store reads again, within the store's lock wait, when SQLite refused it for the moment or a
// writer changed the store file under its snapshot. `read` returns an exit status. Returns the
// exit status.
int ReadAtOneMoment(const std::string& storePath, Console& console,
                    const std::function<int(sqlite3* db, Console& console)>& read);

// Why a copy or an export may not be written where it was asked to be.
inline constexpr std::string_view kIsTheStore = "it is the registry store or one of its side files";

// Whether writing `file` would write the store or one of the files SQLite keeps beside it, by
// its name or through a link, even one that leads to a file that does not exist yet.
bool IsStoreOrSideFile(const std::string& storePath, const std::string& file);

// A value's name as reg shows it: (Default) for the unnamed value.
std::string ShownName(std::string_view valueName);

// Writes a value on its line, as reg query shows it.
void PrintValue(Console& console, const store::NamedValue& named);

}  // namespace reg
