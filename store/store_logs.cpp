// Telling whether the files beside a store are its own: the write-ahead log read as SQLite
// recovers it, the commit marks it carries, and the store file's length, judged under a lock that
// no connection to the store can hold at the same time.
#include "store/store_logs.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "store/sqlite_statement.h"
#include "store/whole_files.h"

namespace store {
namespace {

constexpr std::size_t kMarkSize = 16;
using Mark = std::array<unsigned char, kMarkSize>;

// A transaction's commit marks: its own, and the one before it.
struct MarkPair {
  Mark mark;
  Mark previous;
  bool operator==(const MarkPair&) const = default;
};

std::uint32_t BigEndian32(std::string_view bytes, std::size_t offset) {
  return (std::uint32_t{static_cast<unsigned char>(bytes[offset])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(bytes[offset + 1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(bytes[offset + 2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(bytes[offset + 3])};
}

std::uint32_t LittleEndian32(std::string_view bytes, std::size_t offset) {
  return (std::uint32_t{static_cast<unsigned char>(bytes[offset + 3])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(bytes[offset + 2])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(bytes[offset + 1])} << 8) |
         std::uint32_t{static_cast<unsigned char>(bytes[offset])};
}

// The log's running checksum over `bytes` (a multiple of 8 long), continuing from `sums`, with the
// words read in the byte order that the log's header names.
void AddChecksum(std::string_view bytes, bool bigEndianWords, std::array<std::uint32_t, 2>& sums) {
  for (std::size_t offset = 0; offset + 8 <= bytes.size(); offset += 8) {
    const auto word = [&](std::size_t at) {
      return bigEndianWords ? BigEndian32(bytes, at) : LittleEndian32(bytes, at);
    };
    sums[0] += word(offset) + sums[1];
    sums[1] += word(offset + 4) + sums[0];
  }
}

// Reads an SQLite variable-length integer at `offset`, moving `offset` past it; nothing when it
// runs past the end.
std::optional<std::uint64_t> Varint(std::string_view bytes, std::size_t& offset) {
  std::uint64_t value = 0;
  for (int i = 0; i < 9; ++i) {
    if (offset >= bytes.size())
      return std::nullopt;
    const auto byte = static_cast<unsigned char>(bytes[offset++]);
    if (i == 8)
      return (value << 8) | byte;
    value = (value << 7) | (byte & 0x7f);
    if ((byte & 0x80) == 0)
      return value;
  }
  return value;
}

// The commit marks, when the page is the `commits` table: a table leaf holding the one row 1 of
// (NULL id, 16-byte mark, 16-byte previous mark). No other table of a store has a row of that
// shape, as blobs of 16 bytes have the serial type 44.
std::optional<MarkPair> MarksOnPage(std::string_view page) {
  if (page.size() < 12 || static_cast<unsigned char>(page[0]) != 0x0d ||
      ((static_cast<unsigned char>(page[3]) << 8) | static_cast<unsigned char>(page[4])) != 1) {
    return std::nullopt;
  }
  std::size_t offset = (static_cast<std::size_t>(static_cast<unsigned char>(page[8])) << 8) |
                       static_cast<unsigned char>(page[9]);
  const auto payloadSize = Varint(page, offset);
  const auto rowid = Varint(page, offset);
  constexpr std::string_view kRecordHeader("\x04\x00\x2c\x2c", 4);
  constexpr std::size_t kPayloadSize = kRecordHeader.size() + 2 * kMarkSize;
  if (!payloadSize || !rowid || *payloadSize != kPayloadSize || *rowid != 1 ||
      offset + kPayloadSize > page.size() || page.substr(offset, 4) != kRecordHeader) {
    return std::nullopt;
  }
  MarkPair marks{};
  const std::string_view body = page.substr(offset + kRecordHeader.size());
  std::copy_n(body.begin(), kMarkSize, marks.mark.begin());
  std::copy_n(body.begin() + kMarkSize, kMarkSize, marks.previous.begin());
  return marks;
}

// What the log holds, read as SQLite recovers it: each committed transaction, with its commit
// marks when it wrote them.
struct LogContents {
  std::uint32_t pageSize = 0;
  std::vector<std::optional<MarkPair>> transactions;
  std::uint32_t marksPage = 0;  // the number of the page that holds the marks; 0 for none
};

// Frames count while their salt is the header's and the running checksum holds; a frame with a
// database size ends a transaction, and frames after the last such one are not replayed.
LogContents ReadLog(std::string_view log) {
  constexpr std::size_t kHeaderSize = 32;
  constexpr std::size_t kFrameHeaderSize = 24;
  LogContents contents;
  if (log.size() < kHeaderSize)
    return contents;
  const std::uint32_t magic = BigEndian32(log, 0);
  const std::uint32_t pageSize = BigEndian32(log, 8);
  if ((magic & 0xfffffffe) != 0x377f0682 || pageSize < 512 || pageSize > 65536 ||
      (pageSize & (pageSize - 1)) != 0) {
    return contents;
  }
  const bool bigEndianWords = (magic & 1) != 0;
  std::array<std::uint32_t, 2> sums{0, 0};
  AddChecksum(log.substr(0, 24), bigEndianWords, sums);
  if (sums[0] != BigEndian32(log, 24) || sums[1] != BigEndian32(log, 28))
    return contents;
  contents.pageSize = pageSize;
  std::optional<MarkPair> marksSoFar;
  for (std::size_t frame = kHeaderSize; frame + kFrameHeaderSize + pageSize <= log.size();
       frame += kFrameHeaderSize + pageSize) {
    const std::string_view header = log.substr(frame, kFrameHeaderSize);
    const std::string_view page = log.substr(frame + kFrameHeaderSize, pageSize);
    if (header.substr(8, 8) != log.substr(16, 8) || BigEndian32(header, 0) == 0)
      break;
    AddChecksum(header.substr(0, 8), bigEndianWords, sums);
    AddChecksum(page, bigEndianWords, sums);
    if (sums[0] != BigEndian32(header, 16) || sums[1] != BigEndian32(header, 20))
      break;
    if (const auto marks = MarksOnPage(page)) {
      marksSoFar = marks;
      contents.marksPage = BigEndian32(header, 0);
    }
    if (BigEndian32(header, 4) != 0) {
      contents.transactions.push_back(marksSoFar);
      marksSoFar.reset();
    }
  }
  return contents;
}

// The page `number` of the store file, of `pageSize` bytes; shorter where the file ends first.
std::string ReadPage(int storeFd, std::uint32_t number, std::uint32_t pageSize) {
  std::string page(pageSize, '\0');
  const off_t offset = static_cast<off_t>(number - 1) * pageSize;
  const ssize_t got = number == 0 ? -1 : ::pread(storeFd, page.data(), page.size(), offset);
  page.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return page;
}

// Whether the file is at least as long as its header says. A store cut short would read as if
// values were missing, and seeding over values that do exist would lose them.
bool HoldsItsPages(std::string_view header, off_t fileSize) {
  // The recorded page count holds only while the header marks it as current.
  if (header.size() < 100 || BigEndian32(header, 92) != BigEndian32(header, 24))
    return true;
  const std::uint32_t pageSizeField = BigEndian32(header, 14) & 0xffff;
  const std::uint64_t pageSize = pageSizeField == 1 ? 65536u : pageSizeField;
  return static_cast<std::uint64_t>(fileSize) >= pageSize * BigEndian32(header, 28);
}

// Whether the log's transactions are the store's own, given the store file's layout and the
// marks the file holds where the log keeps them.
bool IsOwnLog(const LogContents& log, std::uint32_t layout, const std::optional<MarkPair>& inFile) {
  const auto& transactions = log.transactions;
  const auto marked = [](const std::optional<MarkPair>& marks) { return marks.has_value(); };
  // Layout 1 records no marks, and is brought to layout 2 only as a whole new file: a log with
  // marks beside it was written to some other store.
  if (layout == 1)
    return std::none_of(transactions.begin(), transactions.end(), marked);
  if (!std::all_of(transactions.begin(), transactions.end(), marked) || !inFile)
    return false;
  for (std::size_t i = 1; i < transactions.size(); ++i) {
    if (transactions[i]->previous != transactions[i - 1]->mark)
      return false;
  }
  if (transactions.front()->previous == inFile->mark)
    return true;
  return std::any_of(transactions.begin(), transactions.end(),
                     [&](const std::optional<MarkPair>& marks) { return *marks == *inFile; });
}

std::string ForeignLog(const std::string& name) {
  return name +
         "-wal beside it holds changes that are not this store's: written to another "
         "database, or to the store before its file was replaced. Move " +
         name + "-wal and " + name + "-shm away (the store file is as it was), then try again";
}

// Judges the files while no connection has the store open, so that none changes meanwhile.
// Returns an error text, empty when SQLite may open the store.
std::string JudgeQuietFiles(int storeFd, const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  struct stat journal {};
  if (::stat((path + "-journal").c_str(), &journal) == 0 && journal.st_size > 0) {
    return name +
           "-journal beside it is a rollback journal, which the store never writes: it "
           "belongs to another database. Move it away, then try again";
  }
  struct stat logStatus {};
  std::string logBytes;
  if (::lstat((path + "-wal").c_str(), &logStatus) == 0) {
    if (const std::string failure = ReadRegularFile(path + "-wal", logBytes); !failure.empty())
      return "its log file " + name + "-wal cannot be read: " + failure;
  }
  const LogContents log = ReadLog(logBytes);
  std::string header(100, '\0');
  struct stat status {};
  if (::pread(storeFd, header.data(), header.size(), 0) != 100 || ::fstat(storeFd, &status) != 0)
    return "the store file cannot be read";
  if (log.transactions.empty()) {
    if (!HoldsItsPages(header, status.st_size))
      return "the store is damaged: it is shorter than its header says";
    return std::string();
  }
  const std::string marksPage = ReadPage(storeFd, log.marksPage, log.pageSize);
  if (!IsOwnLog(log, BigEndian32(header, 60), MarksOnPage(marksPage)))
    return ForeignLog(name);
  return std::string();
}

// SQLite's locks on a database file: every connection that has the store open holds a read lock
// on the shared range; the byte after SQLite's own is taken by those who judge the files.
constexpr off_t kSqliteSharedFirst = 0x40000002;
constexpr off_t kSqliteSharedSize = 510;
constexpr off_t kJudgeByte = 0x40000200;

// Takes or releases a lock of this open file's own, which conflicts with every other process's
// locks and with SQLite's in this process too. Returns whether it was taken.
bool Lock(int fd, short type, off_t start, off_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Takes the judges' lock, waiting as long as SQLite waits for a lock. Returns whether it was taken.
bool TakeJudgesLock(int fd) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Lock(fd, F_WRLCK, kJudgeByte, 1)) {
    if (std::chrono::steady_clock::now() > giveUp)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `work` with the store file's descriptor while no connection has the store open, one such
// process at a time, so that a judge never finds the store in use by another that is only
// looking; otherwise runs nothing. A process that may not write the store file runs nothing. A
// process must not do this to a store it has open: closing this descriptor drops the locks that
// SQLite holds on the file for the process.
template <typename Work>
void WhileNoConnection(const std::string& path, Work&& work) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  if (TakeJudgesLock(fd)) {
    if (Lock(fd, F_WRLCK, kSqliteSharedFirst, kSqliteSharedSize)) {
      work(fd);
      Lock(fd, F_UNLCK, kSqliteSharedFirst, kSqliteSharedSize);
    }
    Lock(fd, F_UNLCK, kJudgeByte, 1);
  }
  ::close(fd);
}

}  // namespace

bool HasCommitMarks(sqlite3* db) {
  const Statement find = Prepare(db, "SELECT 1 FROM sqlite_schema WHERE name = 'commits'");
  return find && sqlite3_step(find.get()) == SQLITE_ROW;
}

// SQLite replays a log only for the first connection, so the files are judged only when there is
// none: then no writer is half-way, and a log that a connection already replayed is left to it.
std::string CheckStoreFiles(const std::string& path) {
  std::string failure;
  WhileNoConnection(path, [&](int fd) { failure = JudgeQuietFiles(fd, path); });
  return failure;
}

void RemoveEmptyLog(const std::string& path) {
  struct stat log {};
  if (::stat((path + "-wal").c_str(), &log) != 0 || log.st_size != 0)
    return;
  WhileNoConnection(path, [&](int) {
    if (::stat((path + "-wal").c_str(), &log) == 0 && log.st_size == 0) {
      ::unlink((path + "-wal").c_str());
      ::unlink((path + "-shm").c_str());
    }
  });
}

}  // namespace store
