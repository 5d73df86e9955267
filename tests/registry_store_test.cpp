// The registry store: recognising its files, the key tree, exact values, and refused writes.
#include "store/registry_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "store/sqlite_statement.h"
#include "store/store_file.h"
#include "tests/temporary_folder.h"

namespace {

using store::Access;
using store::Root;

// What a lookup or a delete came to, for the tables below.
enum class Outcome { Found, NotFound, Failed };
Outcome OutcomeOf(const store::Status& status) {
  return status.ok() ? Outcome::Found : status.IsNotFound() ? Outcome::NotFound : Outcome::Failed;
}
template <typename T>
Outcome OutcomeOf(const store::Result<T>& result) {
  return result.ok() ? Outcome::Found : OutcomeOf(result.status());
}

store::Store CreateAndOpen(const TemporaryFolder& folder, Access access = Access::ReadWrite) {
  const std::string path = folder.File("registry.db");
  EXPECT_EQ(store::CreateStoreIfMissing(path).message(), "");
  store::Result<store::OpenedStore> opened = store::OpenStore(path, access);
  EXPECT_EQ(opened.status().message(), "");
  return opened.ok() ? std::move(opened->db) : nullptr;
}

// Makes an SQLite database that belongs to some other program.
void MakeForeignDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE keys (id INTEGER); INSERT INTO keys VALUES (1);", nullptr, nullptr,
               nullptr);
  sqlite3_close(db);
}

// The same in write-ahead-log mode, with the index of its log left beside it as its program
// leaves it while it runs.
void MakeForeignDatabaseWithIndex(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE keys (id INTEGER);", nullptr, nullptr,
               nullptr);
  const std::string index = ReadBytes(path + "-shm");
  sqlite3_close(db);
  WriteBytes(path + "-shm", index);
}

TEST(OpenStore, RefusesFilesThatAreNotStoresAndLeavesThemAsTheyWere) {
  const struct {
    const char* title;
    void (*make)(const std::string& path);
  } cases[] = {
      {"missing", [](const std::string&) {}},
      {"empty", [](const std::string& path) { WriteBytes(path, ""); }},
      {"garbage", [](const std::string& path) { WriteBytes(path, std::string(5000, '\x9c')); }},
      {"header only", [](const std::string& path) { WriteBytes(path, "SQLite format 3"); }},
      {"another program's database", MakeForeignDatabase},
      {"another program's database beside its log's index", MakeForeignDatabaseWithIndex},
      {"a store's marks without its tables",
       [](const std::string& path) {
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "PRAGMA application_id = 1346589255; PRAGMA user_version = 2;", nullptr,
                      nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); }},
      {"a FIFO, which no one writes",
       [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }},
      {"a symbolic link to nothing",
       [](const std::string& path) { std::filesystem::create_symlink(path + ".gone", path); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TemporaryFolder folder;
    const std::string path = folder.File("registry.db");
    c.make(path);
    const std::string before = std::filesystem::is_regular_file(path) ? ReadBytes(path) : "";
    const bool indexBeside = std::filesystem::exists(path + "-shm");
    const std::string index = indexBeside ? ReadBytes(path + "-shm") : "";
    for (const Access access : {Access::ReadOnly, Access::ReadWrite}) {
      const store::Result<store::OpenedStore> opened = store::OpenStore(path, access);
      EXPECT_FALSE(opened.ok());
      EXPECT_NE(opened.status().message(), "");
    }
    if (std::filesystem::is_regular_file(path)) {
      EXPECT_EQ(ReadBytes(path), before);
    }
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    EXPECT_EQ(std::filesystem::exists(path + "-shm"), indexBeside);
    if (indexBeside) {
      EXPECT_EQ(ReadBytes(path + "-shm"), index) << "another program's index is left as it was";
    }
  }
}

// A store holding one value, damaged afterwards; returns its bytes as damaged.
std::string DamagedStore(const TemporaryFolder& folder, void (*damage)(std::string& bytes)) {
  {
    const store::Store db = CreateAndOpen(folder);
    const store::KeyId key = store::CreateKey(db.get(), Root::LocalMachine, "K")->id;
    EXPECT_TRUE(store::WriteValue(db.get(), key, "Counter",
                                  {store::kRegDword, store::LittleEndianBytes(5, 4)})
                    .ok());
  }
  const std::string path = folder.File("registry.db");
  std::string bytes = ReadBytes(path);
  damage(bytes);
  WriteBytes(path, bytes);
  return bytes;
}

// A store cut short could read as if values were missing; seeds written over them would lose them.
TEST(OpenStore, RefusesAStoreShorterThanItsHeaderSaysAndLeavesItAsItWas) {
  const struct {
    const char* title;
    void (*damage)(std::string& bytes);
  } cases[] = {
      {"cut in half", [](std::string& bytes) { bytes.resize(bytes.size() / 2); }},
      {"cut to its header", [](std::string& bytes) { bytes.resize(100); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TemporaryFolder folder;
    const std::string bytes = DamagedStore(folder, c.damage);
    for (const Access access : {Access::ReadOnly, Access::ReadWrite}) {
      const store::Result<store::OpenedStore> opened =
          store::OpenStore(folder.File("registry.db"), access);
      EXPECT_FALSE(opened.ok());
      EXPECT_NE(opened.status().message(), "");
    }
    EXPECT_EQ(ReadBytes(folder.File("registry.db")), bytes);
  }
}

// Damage inside a page shows when the page is read: as a failed read, never as a missing value.
TEST(Values, ADamagedPageFailsTheReadRatherThanHidingTheValue) {
  TemporaryFolder folder;
  const std::string bytes = DamagedStore(folder, [](std::string& damaged) {
    damaged.replace(damaged.size() - 4096, 4096, 4096, '\x5a');
  });
  {
    const store::Result<store::OpenedStore> opened =
        store::OpenStore(folder.File("registry.db"), Access::ReadWrite);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    const store::Result<store::Key> key = store::FindKey(opened->db.get(), Root::LocalMachine, "K");
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(OutcomeOf(store::ReadValue(opened->db.get(), key->id, "Counter")), Outcome::Failed);
  }
  EXPECT_EQ(ReadBytes(folder.File("registry.db")), bytes);
}

TEST(CreateStoreIfMissing, CreatesFoldersButNeverReplacesAFile) {
  TemporaryFolder folder;
  const std::string nested = folder.File("a/b/registry.db");
  EXPECT_EQ(store::CreateStoreIfMissing(nested).message(), "");
  EXPECT_TRUE(store::OpenStore(nested, Access::ReadWrite).ok());

  const std::string foreign = folder.File("foreign.db");
  WriteBytes(foreign, "not a store");
  EXPECT_EQ(store::CreateStoreIfMissing(foreign).message(), "");
  EXPECT_EQ(ReadBytes(foreign), "not a store");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path),
                          std::filesystem::directory_iterator()),
            2)
      << "no temporary file is left behind";
}

// Another user's files of the form a creator's temporary file once had are never removed.
TEST(CreateStoreIfMissing, LeavesFilesThatOnlyLookTemporaryAndIsItsOwnersAlone) {
  TemporaryFolder folder;
  const std::string path = folder.File("state/registry.db");
  std::filesystem::create_directory(folder.File("state"));
  for (const char* left : {".new-abc123", ".new-abc123-wal"})
    WriteBytes(path + left, "someone's own");
  const mode_t mask = ::umask(0);
  EXPECT_EQ(store::CreateStoreIfMissing(folder.File("state/new/registry.db")).message(), "");
  EXPECT_EQ(store::CreateStoreIfMissing(path).message(), "");
  ::umask(mask);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.File("state")))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"new", "registry.db", "registry.db.new-abc123",
                                             "registry.db.new-abc123-wal"}));
  EXPECT_EQ(ReadBytes(path + ".new-abc123"), "someone's own");
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(folder.File("state/new")).permissions(), fs::perms::owner_all);
}

// Each restore of a backup of the store gives the restored keys the next ids, so that they grow by
// the number of keys, never by their values.
TEST(RestoreFrom, IdsGrowByTheKeysRestoredOverAThousandCycles) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::KeyId key = store::CreateKey(db.get(), Root::LocalMachine, "A\\B\\C")->id;
  ASSERT_TRUE(
      store::WriteValue(db.get(), key, "V", {store::kRegDword, store::LittleEndianBytes(1, 4)})
          .ok());
  const std::string backup = folder.File("backup.db");
  for (int cycle = 0; cycle < 1000; ++cycle) {
    std::filesystem::remove(backup);
    ASSERT_TRUE(store::WriteBackup(*store::ImageOf(db.get()), backup).ok());
    const store::Status restored = store::RestoreFrom(db.get(), *store::CheckBackup(backup));
    ASSERT_TRUE(restored.ok()) << "cycle " << cycle << ": " << restored.message();
  }
  const store::Result<store::Key> found = store::FindKey(db.get(), Root::LocalMachine, "A\\B\\C");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->id, 5 + 3 * 1001);
  EXPECT_EQ(store::ReadValue(db.get(), found->id, "V")->value.bytes,
            store::LittleEndianBytes(1, 4));
}

TEST(Keys, FormATreeThatMatchesWithoutRegardToCaseAndKeepsItsCase) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::Result<store::Key> created =
      store::CreateKey(db.get(), Root::LocalMachine, "Software\\Vendor\\App");
  ASSERT_TRUE(created.ok());
  EXPECT_EQ(created->path, "Software\\Vendor\\App");

  const store::Result<store::Key> again =
      store::CreateKey(db.get(), Root::LocalMachine, "SOFTWARE\\vendor\\APP");
  EXPECT_EQ(again->id, created->id);
  EXPECT_EQ(again->path, "Software\\Vendor\\App");

  const struct {
    Root root;
    const char* path;
    Outcome outcome;
  } lookups[] = {
      {Root::LocalMachine, "software\\VENDOR\\app", Outcome::Found},
      {Root::LocalMachine, "Software\\Vendor", Outcome::Found},
      {Root::LocalMachine, "", Outcome::Found},
      {Root::LocalMachine, "Software\\Vendor\\App\\Missing", Outcome::NotFound},
      {Root::LocalMachine, "Software\\Vendör", Outcome::NotFound},
      {Root::CurrentUser, "Software\\Vendor\\App", Outcome::NotFound},
  };
  for (const auto& lookup : lookups) {
    EXPECT_EQ(OutcomeOf(store::FindKey(db.get(), lookup.root, lookup.path)), lookup.outcome)
        << lookup.path;
  }
}

TEST(Values, KeepTheirTypeAndBytesExactly) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::KeyId key = store::CreateKey(db.get(), Root::LocalMachine, "K")->id;
  const store::NamedValue values[] = {
      {"Dword", {store::kRegDword, store::LittleEndianBytes(0xDEADBEEF, 4)}},
      {"Text", {store::kRegSz, std::string("caf\xe9\0", 5)}},
      {"Binary", {store::kRegBinary, std::string("\0\xff\0\x80", 4)}},
      {"Empty", {store::kRegNone, ""}},
      {"Odd type", {0x12345678, "x"}},
      {"", {store::kRegSz, std::string("default\0", 8)}},
  };
  for (const auto& value : values)
    ASSERT_TRUE(store::WriteValue(db.get(), key, value.name, value.value).ok());
  for (const auto& value : values) {
    const store::Result<store::NamedValue> read = store::ReadValue(db.get(), key, value.name);
    ASSERT_TRUE(read.ok()) << value.name;
    EXPECT_EQ(read->value.type, value.value.type) << value.name;
    EXPECT_EQ(read->value.bytes, value.value.bytes) << value.name;
  }
  EXPECT_EQ(OutcomeOf(store::ReadValue(db.get(), key, "missing")), Outcome::NotFound);
}

TEST(Values, StatementsKeptForManyValuesSeeOtherWritersAndDoNotHoldUpTheirOwnWrites) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::KeyId key = store::CreateKey(db.get(), Root::LocalMachine, "K")->id;
  const auto dword = [](std::uint32_t number) {
    return store::Value{store::kRegDword, store::LittleEndianBytes(number, 4)};
  };
  ASSERT_TRUE(store::WriteValue(db.get(), key, "A", dword(1)).ok());
  const store::Store other =
      std::move(store::OpenStore(folder.File("registry.db"), Access::ReadWrite)->db);
  ASSERT_NE(other, nullptr);

  const store::Statement read = store::PrepareReadValue(db.get());
  const store::Statement write = store::PrepareWriteValue(db.get());
  EXPECT_EQ(store::ReadValueWith(db.get(), read.get(), key, "A")->value.bytes, dword(1).bytes);
  ASSERT_TRUE(store::WriteValue(other.get(), key, "A", dword(2)).ok());
  EXPECT_TRUE(store::WriteValueWith(db.get(), write.get(), key, "B", dword(3)).ok());
  EXPECT_TRUE(store::WriteValueWith(db.get(), write.get(), key, "C", dword(4)).ok());
  EXPECT_EQ(store::ReadValueWith(db.get(), read.get(), key, "A")->value.bytes, dword(2).bytes);
  EXPECT_EQ(store::ReadValueWith(db.get(), read.get(), key, "B")->value.bytes, dword(3).bytes);
  EXPECT_EQ(store::ReadValue(other.get(), key, "C")->value.bytes, dword(4).bytes);
  EXPECT_EQ(OutcomeOf(store::ReadValueWith(db.get(), read.get(), key, "missing")),
            Outcome::NotFound);
  EXPECT_EQ(OutcomeOf(store::ReadValueWith(db.get(), nullptr, key, "A")), Outcome::Failed);
  EXPECT_FALSE(store::WriteValueWith(db.get(), nullptr, key, "A", dword(5)).ok());
}

TEST(Values, ReplacingKeepsTheNameAsCreatedAndTakesTheNewType) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::KeyId key = store::CreateKey(db.get(), Root::LocalMachine, "K")->id;
  ASSERT_TRUE(store::WriteValue(db.get(), key, "UsingPattern", {store::kRegSz, "long text"}).ok());
  ASSERT_TRUE(store::WriteValue(db.get(), key, "USINGPATTERN",
                                {store::kRegDword, store::LittleEndianBytes(1, 4)})
                  .ok());
  const auto values = store::ListValues(db.get(), key);
  ASSERT_TRUE(values.ok());
  ASSERT_EQ(values->size(), 1u);
  EXPECT_EQ(values->front().name, "UsingPattern");
  EXPECT_EQ(values->front().value.type, store::kRegDword);
}

TEST(Keys, DeletingAKeyTakesItsSubkeysAndValuesAndLaterWritesAreRefused) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::KeyId parent = store::CreateKey(db.get(), Root::LocalMachine, "A")->id;
  const store::KeyId child = store::CreateKey(db.get(), Root::LocalMachine, "A\\B")->id;
  ASSERT_TRUE(
      store::WriteValue(db.get(), child, "V", {store::kRegDword, store::LittleEndianBytes(1, 4)})
          .ok());
  EXPECT_EQ(OutcomeOf(store::DeleteKey(db.get(), parent)), Outcome::Found);
  EXPECT_EQ(OutcomeOf(store::FindKey(db.get(), Root::LocalMachine, "A\\B")), Outcome::NotFound);
  EXPECT_EQ(OutcomeOf(store::ReadValue(db.get(), child, "V")), Outcome::NotFound);
  EXPECT_EQ(
      store::WriteValue(db.get(), child, "V", {store::kRegDword, store::LittleEndianBytes(1, 4)})
          .message(),
      "a key it refers to is not there (FOREIGN KEY constraint failed)")
      << "the failure is reported, not the rollback after it";
  EXPECT_EQ(OutcomeOf(store::DeleteKey(db.get(), parent)), Outcome::NotFound);

  // Keys created after the delete never take a deleted key's id, so that writes through a key
  // held open since before the delete are refused rather than landing in an unrelated key.
  const store::KeyId unrelated = store::CreateKey(db.get(), Root::LocalMachine, "Unrelated\\X")->id;
  EXPECT_GT(unrelated, child);
  EXPECT_FALSE(
      store::WriteValue(db.get(), child, "V", {store::kRegDword, store::LittleEndianBytes(2, 4)})
          .ok());
  EXPECT_EQ(store::ListValues(db.get(), unrelated)->size(), 0u);
}

TEST(Values, WritesThroughAReadOnlyOpeningAreRefusedAndChangeNothing) {
  TemporaryFolder folder;
  {
    const store::Store db = CreateAndOpen(folder);
    ASSERT_TRUE(store::WriteValue(db.get(), store::CreateKey(db.get(), Root::LocalMachine, "K")->id,
                                  "V", {store::kRegDword, store::LittleEndianBytes(5, 4)})
                    .ok());
  }
  const store::Store db = CreateAndOpen(folder, Access::ReadOnly);
  const store::KeyId key = store::FindKey(db.get(), Root::LocalMachine, "K")->id;
  EXPECT_FALSE(
      store::WriteValue(db.get(), key, "V", {store::kRegDword, store::LittleEndianBytes(6, 4)})
          .ok());
  EXPECT_EQ(OutcomeOf(store::DeleteValue(db.get(), key, "V")), Outcome::Failed);
  EXPECT_EQ(store::ReadValue(db.get(), key, "V")->value.bytes, store::LittleEndianBytes(5, 4));
}

TEST(Transactions, OneWriteTransactionKeepsAllItsWritesOrNone) {
  TemporaryFolder folder;
  const store::Store db = CreateAndOpen(folder);
  const store::Value one{store::kRegDword, store::LittleEndianBytes(1, 4)};
  const store::KeyId kept = store::CreateKey(db.get(), Root::CurrentUser, "Kept")->id;
  ASSERT_TRUE(store::WriteValue(db.get(), kept, "V", one).ok());
  const auto changeBoth = [&] {
    const store::KeyId added = store::CreateKey(db.get(), Root::CurrentUser, "Added")->id;
    if (store::Status written = store::WriteValue(db.get(), added, "W", one); !written.ok())
      return written;
    const store::Status deleted = store::DeleteValue(db.get(), kept, "V");
    return deleted.ok() ? deleted : store::Status::Failed("V was not deleted");
  };
  // A write refused part-way (to a key that does not exist) takes back every write before it.
  EXPECT_FALSE(store::InOneWriteTransaction(db.get(), [&] {
                 const store::Status changed = changeBoth();
                 return changed.ok() ? store::WriteValue(db.get(), 12345, "X", one) : changed;
               }).ok());
  EXPECT_EQ(OutcomeOf(store::FindKey(db.get(), Root::CurrentUser, "Added")), Outcome::NotFound);
  EXPECT_EQ(OutcomeOf(store::ReadValue(db.get(), kept, "V")), Outcome::Found);

  EXPECT_TRUE(store::InOneWriteTransaction(db.get(), changeBoth).ok());
  EXPECT_EQ(OutcomeOf(store::FindKey(db.get(), Root::CurrentUser, "Added")), Outcome::Found);
  EXPECT_EQ(OutcomeOf(store::ReadValue(db.get(), kept, "V")), Outcome::NotFound);
}

}  // namespace
