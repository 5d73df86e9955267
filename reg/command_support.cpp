// What the companion's commands share: their console, reg's messages, and opening and reading
// the store.
#include "reg/command_support.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <istream>
#include <ostream>
#include <sstream>
#include <thread>

#include "base/ascii.h"
#include "reg/value_text.h"

namespace reg {
namespace {

// How long a process that may only read the store waits before it reads again, after SQLite
// refused it for the moment or a writer changed the file under its snapshot.
constexpr auto kPauseBeforeReadingAgain = std::chrono::milliseconds(20);
// How many links a path is followed through, as the system follows them at most.
constexpr int kMostLinksFollowed = 40;

}  // namespace

int Fail(Console& console, std::string_view message) {
  console.err << message << '\n';
  return 1;
}

int Fail(Console& console, std::string_view subject, const base::Status& status) {
  if (status.IsNotFound())
    return Fail(console, kNotFound);
  return Fail(console, "ERROR: " + std::string(subject) + ": " + status.message() + ".");
}

bool Confirm(Console& console, const std::string& question) {
  console.out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  const bool answered = static_cast<bool>(std::getline(console.in, answer));
  if (!answered || !console.answersTyped)
    console.out << '\n';
  if (!answered)
    return false;
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
    answer.pop_back();
  return base::EqualIgnoringCase(answer, "y") || base::EqualIgnoringCase(answer, "yes");
}

std::string StoreSubject(const std::string& storePath) {
  return "Cannot use the registry store" + (storePath.empty() ? "" : " " + storePath);
}

int FailOnStore(Console& console, sqlite3* db, const base::Status& status) {
  const char* file = sqlite3_db_filename(db, "main");
  return Fail(console, StoreSubject(file == nullptr ? std::string() : file), status);
}

int OpenFailure(const std::string& storePath, const base::Status& status, Console& console) {
  std::error_code ignored;
  if (!storePath.empty() && std::filesystem::symlink_status(storePath, ignored).type() ==
                                std::filesystem::file_type::not_found) {
    return Fail(console, StoreSubject(storePath),
                base::Status::Failed("it does not exist; add, import or restore makes it"));
  }
  return Fail(console, StoreSubject(storePath), status);
}

store::Store OpenForWriting(const std::string& storePath, Console& console) {
  store::Result<store::OpenedStore> opened = store::OpenStore(storePath, store::Access::ReadWrite);
  if (!opened.ok()) {
    OpenFailure(storePath, opened.status(), console);
    return nullptr;
  }
  return std::move(opened->db);
}

store::Store CreateAndOpen(const std::string& storePath, Console& console) {
  if (const store::Status created = store::CreateStoreIfMissing(storePath); !created.ok()) {
    Fail(console, StoreSubject(storePath), created);
    return nullptr;
  }
  return OpenForWriting(storePath, console);
}

int ReadAtOneMoment(const std::string& storePath, Console& console,
                    const std::function<int(sqlite3* db, Console& console)>& read) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(store::kLockWaitMilliseconds);
  std::string refused;
  do {
    if (!refused.empty())
      std::this_thread::sleep_for(kPauseBeforeReadingAgain);
    store::Result<store::OpenedStore> opened = store::OpenForReading(storePath);
    if (!opened.ok() && !opened.status().IsTransient())
      return OpenFailure(storePath, opened.status(), console);
    if (!opened.ok()) {
      refused = opened.status().message();
      continue;
    }
    std::ostringstream out;
    std::ostringstream err;
    Console buffered{console.in, out, err};
    int status = 1;
    const store::Status transaction = store::InOneReadTransaction(opened->db.get(), [&] {
      status = read(opened->db.get(), buffered);
      return store::Status::OK();
    });
    if (!transaction.ok() && !transaction.IsTransient())
      return Fail(console, StoreSubject(storePath), transaction);
    opened->db.reset();
    if (transaction.ok() && store::SnapshotStillCurrent(storePath, *opened)) {
      console.out << out.str();
      console.err << err.str();
      return status;
    }
    refused = transaction.ok() ? "writers kept changing it" : transaction.message();
  } while (std::chrono::steady_clock::now() < deadline);
  return Fail(console, "ERROR: The registry store " + storePath +
                           " could not be read at one moment within " +
                           std::to_string(store::kLockWaitMilliseconds / 1000) + " seconds (" +
                           refused + "); try again.");
}

namespace {

// The path with the links in it followed, as far as they lead, to a file that may not exist.
std::filesystem::path Resolved(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::absolute(path, error);
  for (int link = 0; link < kMostLinksFollowed && std::filesystem::is_symlink(resolved, error);
       ++link) {
    const std::filesystem::path target = std::filesystem::read_symlink(resolved, error);
    resolved = (resolved.parent_path() / target).lexically_normal();
  }
  return std::filesystem::weakly_canonical(resolved, error);
}

}  // namespace

bool IsStoreOrSideFile(const std::string& storePath, const std::string& file) {
  const std::filesystem::path target = Resolved(file);
  for (const char* side : {"", "-wal", "-shm", "-journal"}) {
    std::error_code notSame;
    const std::string storeFile = storePath + side;
    if (target == Resolved(storeFile) || std::filesystem::equivalent(file, storeFile, notSame))
      return true;
  }
  return false;
}

std::string ShownName(std::string_view valueName) {
  return valueName.empty() ? std::string("(Default)") : std::string(valueName);
}

void PrintValue(Console& console, const store::NamedValue& named) {
  console.out << "    " << ShownName(named.name) << "    " << TypeName(named.value.type) << "    "
              << DisplayData(named.value) << '\n';
}

}  // namespace reg
