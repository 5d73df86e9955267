// Telling whether the log files beside a store are the store's own: the write-ahead log read as
// SQLite recovers it, and the commit marks it carries.
#include "store/store_logs.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "store/registry_store.h"
#include "store/sqlite_statement.h"

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
    if (const auto marks = MarksOnPage(page))
      marksSoFar = marks;
    if (BigEndian32(header, 4) != 0) {
      contents.transactions.push_back(marksSoFar);
      marksSoFar.reset();
    }
  }
  return contents;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The commit marks in the store file itself, read without its log. Nothing for a store of a
// layout without them; `failed` tells that the file could not be read.
std::optional<MarkPair> MarksInStoreFile(const std::string& path, bool& failed) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2((FileUri(path) + "?immutable=1").c_str(), &raw,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  const Store db(raw);
  failed = opened != SQLITE_OK;
  if (failed)
    return std::nullopt;
  const Statement read = Prepare(raw, "SELECT mark, previous FROM commits WHERE id = 1");
  if (!read) {
    failed = sqlite3_errcode(raw) != SQLITE_ERROR;  // a layout without the table
    return std::nullopt;
  }
  if (sqlite3_step(read.get()) != SQLITE_ROW || ColumnBytes(read.get(), 0).size() != kMarkSize ||
      ColumnBytes(read.get(), 1).size() != kMarkSize) {
    failed = true;
    return std::nullopt;
  }
  MarkPair marks{};
  const std::string mark = ColumnBytes(read.get(), 0);
  const std::string previous = ColumnBytes(read.get(), 1);
  std::copy(mark.begin(), mark.end(), marks.mark.begin());
  std::copy(previous.begin(), previous.end(), marks.previous.begin());
  return marks;
}

// Whether the log's transactions chain from the store file's marks. The first transaction of a
// store brought to the current layout has a zero previous mark, and a file of the old layout has
// no marks.
bool ChainsFromStoreFile(const std::vector<std::optional<MarkPair>>& transactions,
                         const std::optional<MarkPair>& inFile) {
  for (std::size_t i = 0; i < transactions.size(); ++i) {
    if (!transactions[i] || (i > 0 && transactions[i]->previous != transactions[i - 1]->mark))
      return false;
  }
  if (!inFile)
    return transactions.front()->previous == Mark{};
  if (transactions.front()->previous == inFile->mark)
    return true;
  for (const auto& transaction : transactions) {
    if (*transaction == *inFile)
      return true;
  }
  return false;
}

enum class Verdict { Own, NotOwn, Unsettled };

// One look at the log and the store file: unsettled when the log changed meanwhile.
Verdict JudgeLog(const std::string& path) {
  const std::optional<std::string> log = ReadFile(path + "-wal");
  if (!log)
    return Verdict::Own;  // none, or none this process may read: SQLite cannot replay it either
  const LogContents before = ReadLog(*log);
  if (before.transactions.empty())
    return Verdict::Own;
  bool failed = false;
  const std::optional<MarkPair> inFile = MarksInStoreFile(path, failed);
  const std::optional<std::string> logAfter = ReadFile(path + "-wal");
  if (failed || !logAfter || ReadLog(*logAfter).transactions != before.transactions)
    return Verdict::Unsettled;
  return ChainsFromStoreFile(before.transactions, inFile) ? Verdict::Own : Verdict::NotOwn;
}

}  // namespace

std::string CheckStoreLogs(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  struct stat journal {};
  if (::stat((path + "-journal").c_str(), &journal) == 0 && journal.st_size > 0) {
    return name +
           "-journal beside it is a rollback journal, which the store never writes: it "
           "belongs to another database. Move it away, then try again";
  }
  // Writers that fold the log into the file while it is looked at can change what a look sees,
  // so a log is judged not the store's own only when three looks in a row say so.
  int notOwn = 0;
  for (int look = 0; look < 20 && notOwn < 3; ++look) {
    const Verdict verdict = JudgeLog(path);
    if (verdict == Verdict::Own)
      return std::string();
    notOwn = verdict == Verdict::NotOwn ? notOwn + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * (look + 1)));
  }
  if (notOwn < 3)
    return "its log file " + name + "-wal kept changing while it was checked; try again";
  return name +
         "-wal beside it holds changes that are not this store's: written to another "
         "database, or to the store before its file was replaced. Move " +
         name + "-wal and " + name + "-shm away (the store file is as it was), then try again";
}

}  // namespace store
