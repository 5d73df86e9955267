// The companion: its command line, value data both ways, and the commands on a real store.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sstream>

#include "reg/commands.h"
#include "reg/utf16.h"
#include "reg/value_text.h"
#include "store/registry_store.h"
#include "store/store_file.h"
#include "tests/temporary_folder.h"

namespace {

base::Result<reg::Command> Parse(const std::vector<std::string_view>& arguments) {
  return reg::ParseCommandLine(reg::Operations(), arguments);
}

TEST(ParseCommandLine, AcceptsReglikeCommands) {
  const reg::Command add =
      Parse({"ADD", "hklm\\Software\\X\\", "/V", "Name", "-t", "reg_dword", "/d", "7", "/f"})
          .value();
  EXPECT_EQ(add.operation->name, "add");
  EXPECT_EQ(add.key.root, store::Root::LocalMachine);
  EXPECT_EQ(add.key.path, "Software\\X");
  EXPECT_EQ(add.valueName, "Name");
  EXPECT_EQ(add.type, store::kRegDword);
  EXPECT_EQ(add.data, "7");
  EXPECT_TRUE(add.force);

  const reg::Command query = Parse({"query", "HKEY_CURRENT_USER\\A", "/ve", "/reg:32"}).value();
  EXPECT_EQ(query.key.root, store::Root::CurrentUser);
  EXPECT_EQ(query.valueName, "");

  const reg::Command unnamed = Parse({"add", "HKU\\A", "/d", "x"}).value();
  EXPECT_EQ(unnamed.valueName, "") << "data without /v is for the unnamed value";

  EXPECT_EQ(Parse({"delete", "HKCR\\A", "/va", "/f"}).value().allValues, true);
  EXPECT_EQ(Parse({"query", "/?"}).value().operation, nullptr);
  EXPECT_EQ(Parse({"-H"}).value().operation, nullptr);
  EXPECT_TRUE(Parse({"query", "HKLM\\A", "/s"}).value().recursive);
  EXPECT_EQ(Parse({"--help"}).value().operation, nullptr);
  EXPECT_EQ(Parse({"add", "-h"}).value().operation, nullptr);

  // The word after an option is its data, even when it looks like a help request.
  EXPECT_EQ(Parse({"add", "HKLM\\X", "/v", "Opt", "/d", "-h", "/f"}).value().data, "-h");
  EXPECT_EQ(Parse({"add", "HKLM\\X", "/v", "/?", "/d", "1", "/f"}).value().valueName, "/?");
  const reg::Command deleteHelp = Parse({"delete", "HKLM\\X", "/v", "--help", "/f"}).value();
  EXPECT_EQ(deleteHelp.operation->name, "delete");
  EXPECT_EQ(deleteHelp.valueName, "--help");
  EXPECT_EQ(
      Parse({"add", "HKLM\\X", "/t", "REG_MULTI_SZ", "/s", "?", "/d", "a?b"}).value().separator,
      "?");
}

// A key the given number of levels below HKLM.
std::string KeyLevelsDeep(int levels) {
  std::string key = "HKLM";
  for (int level = 0; level < levels; ++level)
    key += "\\k";
  return key;
}

TEST(ParseCommandLine, RefusesWhatItCannotTakeExactly) {
  const std::string deepest = KeyLevelsDeep(512);
  const std::string tooDeep = KeyLevelsDeep(513);
  EXPECT_EQ(Parse({"add", deepest}).status().message(), "") << "Windows keeps keys 512 levels deep";
  const std::vector<std::vector<std::string_view>> refused = {
      {},
      {"add"},
      {"copy", "HKLM\\A"},
      {"add", "HKXX\\A"},
      {"add", "HKLMX\\A"},
      {"add", "HKLM\\A\nB"},
      {"add", "HKLM\\A\rB"},
      {"add", "HKLM\\A\\\\B"},
      {"add", "HKLM\\\\A"},
      {"add", "HKLM\\A\\\\"},
      {"add", "HKLM\\A", "/v"},
      {"add", "HKLM\\A", "/v", "x", "/ve"},
      {"add", "HKLM\\A", "/v", "x", "/v", "y"},
      {"add", "HKLM\\A", "/t", "REG_WORD"},
      {"add", "HKLM\\A", "/va"},
      {"add", "HKLM\\A", "/s", "ab"},
      {"add", "HKLM\\A", "extra"},
      {"query", "HKLM\\A", "/d", "x"},
      {"query", "HKLM\\A", "/f"},
      {"delete", "HKLM\\A", "/t", "REG_SZ"},
      {"delete", "HKLM\\A", "/v", "x", "/va"},
      {"query", "HKLM\\A", "/reg:32", "/reg:64"},
      {"backup"},
      {"backup", "copy.db", "/f"},
      {"restore", "copy.db", "/v", "x"},
      {"query", "HKLM\\A", "/?"},
      {"query", "/?", "x"},
      {"add", "HKLM\\A", "/v", "x", "/t", "REG_DWORD", "/f"},
      {"export", "HKLM\\A"},
      {"export", "HKLM\\A", "a.reg", "/v", "x"},
      {"import", "a.reg", "/y"},
      {"add", tooDeep},
      {"add", "HKLM\\A\xc2\x85"},                      // a C1 control character
      {"add", "HKLM\\A", "/v", "caf\xe9", "/d", "1"},  // not UTF-8
      {"add", "HKLM\\A", "/d", "\xed\xa0\x80"},        // a lone surrogate as UTF-8 writes none
  };
  for (const auto& arguments : refused) {
    std::string line;
    for (const auto argument : arguments)
      line.append(argument).append(" ");
    EXPECT_NE(Parse(arguments).status().message(), "") << line;
  }
}

TEST(ParseCommandLine, RefusalsNameTheWrongWordAfterRegsWords) {
  const struct {
    std::vector<std::string_view> arguments;
    const char* error;
  } cases[] = {
      {{"qeury", "HKLM\\A"},
       "ERROR: Invalid syntax: \"qeury\" is not an operation (add, query, delete, export, import, "
       "backup or restore).\nType \"pattern-counters-reg /?\" for usage."},
      {{"add", "HKLM\\A", "/v", "x", "--force"},
       "ERROR: Invalid syntax: \"--force\" is not an option of add.\nType "
       "\"pattern-counters-reg /?\" for usage."},
      {{"query", "HKLN\\SOFTWARE"},
       "ERROR: Invalid key name: \"HKLN\" is not a root key (HKLM, HKCU, HKCR, HKU, HKCC or a "
       "long name)."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Parse(c.arguments).status().message(), c.error);
}

// Each length of UTF-8 sequence at its first and last character, and bytes that start none.
TEST(Utf16, TextConvertsAtTheBoundariesOfEachSequenceLength) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::string utf16;
    bool roundTrips;
  } cases[] = {
      {"\x7f"s, "\x7f\0"s, true},
      {"\xc2\x80"s, "\x80\0"s, true},
      {"\xdf\xbf"s, "\xff\x07"s, true},
      {"\xe0\xa0\x80"s, "\x00\x08"s, true},
      {"\xef\xbf\xbf"s, "\xff\xff"s, true},
      {"\xf0\x90\x80\x80"s, "\x00\xd8\x00\xdc"s, true},
      {"\xf4\x8f\xbf\xbf"s, "\xff\xdb\xff\xdf"s, true},
      {"\xe0\x9f\xbf"s, "\xe0\0\x9f\0\xbf\0"s, false},  // overlong
      {"\xed\xa0\x80"s, "\xed\0\xa0\0\x80\0"s, false},  // a surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reg::Utf16FromText(c.text), c.utf16) << c.text;
    EXPECT_EQ(reg::TextFromUtf16(c.utf16).text == c.text, c.roundTrips) << c.text;
  }
  EXPECT_EQ(reg::TextFromUtf16("A\0\x00\xd8"s).loneSurrogate, 1u);
  EXPECT_EQ(reg::TextFromWindows1252("caf\xe9 \x80\x81"), "caf\xc3\xa9 \xe2\x82\xac\xc2\x81");
}

TEST(EncodeData, NumbersMustFitTheirTypeAndAreNeverCutDown) {
  const struct {
    std::uint32_t type;
    const char* text;
    bool accepted;
    std::uint64_t number;
  } cases[] = {
      {store::kRegDword, "0", true, 0},
      {store::kRegDword, "4294967295", true, 4294967295u},
      {store::kRegDword, "0xffffffff", true, 4294967295u},
      {store::kRegDword, "0XABCDEF01", true, 0xABCDEF01u},
      {store::kRegDword, "00042", true, 42},
      {store::kRegDword, "4294967296", false, 0},
      {store::kRegDword, "0x100000000", false, 0},
      {store::kRegDword, "99999999999999999999999", false, 0},
      {store::kRegDword, "-1", false, 0},
      {store::kRegDword, "+1", true, 1},
      {store::kRegDword, " 1", false, 0},
      {store::kRegDword, "12abc", false, 0},
      {store::kRegDword, "0x", false, 0},
      {store::kRegDword, "", true, 0},
      {store::kRegQword, "-1", true, UINT64_MAX},
      {store::kRegQword, "-18446744073709551616", false, 0},
      {store::kRegQword, "18446744073709551615", true, UINT64_MAX},
      {store::kRegQword, "0xffffffffffffffff", true, UINT64_MAX},
      {store::kRegQword, "18446744073709551616", false, 0},
  };
  for (const auto& c : cases) {
    const reg::EncodedData encoded = reg::EncodeData(c.type, std::string(c.text), "\\0");
    EXPECT_EQ(encoded.ok(), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(encoded->size(), c.type == store::kRegDword ? 4u : 8u);
      EXPECT_EQ(store::LittleEndianNumber(*encoded), c.number) << c.text;
    }
  }
  EXPECT_EQ(reg::EncodeData(store::kRegDword, std::nullopt, "\\0").value(), std::string(4, '\0'));
}

TEST(EncodeData, TextAndBytes) {
  const struct {
    std::uint32_t type;
    std::optional<std::string> text;
    std::string separator;
    std::optional<std::string> bytes;  // nothing: refused
  } cases[] = {
      {store::kRegSz, "abc", "\\0", std::string("abc\0", 4)},
      {store::kRegSz, std::nullopt, "\\0", std::string("\0", 1)},
      {store::kRegExpandSz, "%PATH%", "\\0", std::string("%PATH%\0", 7)},
      {store::kRegMultiSz, "a\\0bc", "\\0", std::string("a\0bc\0\0", 6)},
      {store::kRegMultiSz, "a,b", ",", std::string("a\0b\0\0", 5)},
      {store::kRegMultiSz, "", "\\0", std::string("\0", 1)},
      {store::kRegBinary, "00fF10", "\\0", std::string("\0\xff\x10", 3)},
      {store::kRegBinary, std::nullopt, "\\0", std::string()},
      {store::kRegBinary, "abc", "\\0", std::string("\x0a\xbc", 2)},
      {store::kRegMultiSz, "a\\0", "\\0", std::string("a\0\0", 3)},
      {store::kRegMultiSz, "\\0a", "\\0", std::nullopt},
      {store::kRegMultiSz, "a\\0\\0b", "\\0", std::nullopt},
      {store::kRegNone, "ab", "\\0", std::string("a\0b\0\0\0", 6)},
      {store::kRegNone, std::nullopt, "\\0", std::string(2, '\0')},
      {store::kRegBinary, "0x", "\\0", std::nullopt},
  };
  for (const auto& c : cases) {
    const reg::EncodedData encoded = reg::EncodeData(c.type, c.text, c.separator);
    if (c.bytes) {
      ASSERT_TRUE(encoded.ok()) << c.text.value_or("(none)");
      EXPECT_EQ(*encoded, *c.bytes) << c.text.value_or("(none)");
    } else {
      EXPECT_FALSE(encoded.ok()) << c.text.value_or("(none)");
    }
  }
}

TEST(DisplayData, ShowsEachTypeAsRegQueryDoes) {
  const struct {
    store::Value value;
    const char* typeName;
    const char* shown;
  } cases[] = {
      {{store::kRegDword, store::LittleEndianBytes(0x149c0c, 4)}, "REG_DWORD", "0x149c0c"},
      {{store::kRegDword, store::LittleEndianBytes(0, 4)}, "REG_DWORD", "0x0"},
      {{store::kRegQword, store::LittleEndianBytes(UINT64_MAX, 8)},
       "REG_QWORD",
       "0xffffffffffffffff"},
      {{store::kRegSz, std::string("abc\0", 4)}, "REG_SZ", "abc"},
      {{store::kRegMultiSz, std::string("a\0bc\0\0", 6)}, "REG_MULTI_SZ", "a\\0bc"},
      {{store::kRegBinary, std::string("\0\xab", 2)}, "REG_BINARY", "00AB"},
      {{store::kRegNone, ""}, "REG_NONE", ""},
      {{99, "\x01"}, "REG_UNKNOWN(99)", "01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reg::TypeName(c.value.type), c.typeName);
    EXPECT_EQ(reg::DisplayData(c.value), c.shown) << c.typeName;
  }
}

struct CommandResult {
  int status;
  std::string out;
  std::string err;
};

CommandResult RunReg(const std::string& storePath, const std::vector<std::string_view>& arguments,
                     const std::string& answers = "") {
  const base::Result<reg::Command> parsed = reg::ParseCommandLine(reg::Operations(), arguments);
  EXPECT_EQ(parsed.status().message(), "");
  std::istringstream in(answers);
  std::ostringstream out;
  std::ostringstream err;
  const int status =
      reg::RunCommand(parsed.ok() ? *parsed : reg::Command{}, storePath, {in, out, err});
  return {status, out.str(), err.str()};
}

TEST(RunCommand, QueryPrintsRegsLayout) {
  TemporaryFolder folder;
  const std::string path = folder.File("state/registry.db");
  RunReg(path, {"add", "HKLM\\Software\\Client", "/v", "Count", "/t", "REG_DWORD", "/d", "10"});
  RunReg(path, {"add", "HKLM\\Software\\Client", "/ve", "/d", "default text"});
  RunReg(path, {"add", "HKLM\\Software\\Client\\Sub"});

  const CommandResult key = RunReg(path, {"query", "hklm\\software\\client"});
  EXPECT_EQ(key.status, 0);
  EXPECT_EQ(key.out,
            "\nHKEY_LOCAL_MACHINE\\software\\client\n"
            "    (Default)    REG_SZ    default text\n"
            "    Count    REG_DWORD    0xa\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\client\\Sub\n");
  const CommandResult value = RunReg(path, {"query", "HKLM\\Software\\Client", "/v", "COUNT"});
  EXPECT_EQ(value.out, "\nHKEY_LOCAL_MACHINE\\Software\\Client\n    COUNT    REG_DWORD    0xa\n\n");
  EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << "a query leaves no log behind";
  EXPECT_FALSE(std::filesystem::exists(path + "-shm"));
}

TEST(RunCommand, ReplacingOrDeletingAsksFirstWithoutForce) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  const std::string key = "HKLM\\Software\\Client";
  EXPECT_EQ(RunReg(path, {"add", key, "/v", "A", "/d", "1"}).status, 0);

  const CommandResult unanswered = RunReg(path, {"add", key, "/v", "A", "/d", "2"});
  EXPECT_EQ(unanswered.status, 1);
  EXPECT_EQ(unanswered.out, "Value A exists, overwrite (Yes/No)? \n");
  for (const char* notYes : {"no\n", "yellow\n", "yesterday\n", "\n", "n\n"}) {
    const CommandResult cancelled = RunReg(path, {"add", key, "/v", "A", "/d", "3"}, notYes);
    EXPECT_EQ(cancelled.status, 1) << notYes;
    EXPECT_TRUE(cancelled.out.ends_with("? \n")) << "the error starts a line of its own";
  }
  EXPECT_EQ(RunReg(path, {"query", key, "/v", "A"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Client\n    A    REG_SZ    1\n\n");

  EXPECT_EQ(RunReg(path, {"add", key, "/v", "A", "/d", "4"}, "yes\n").status, 0);
  EXPECT_EQ(RunReg(path, {"delete", key, "/v", "A"}).status, 1);
  EXPECT_EQ(RunReg(path, {"add", key, "/v", "A", "/d", "5"}, "YeS\n").status, 0);
  EXPECT_EQ(RunReg(path, {"delete", key, "/v", "A"}, "Y\n").status, 0);
  EXPECT_EQ(RunReg(path, {"query", key, "/v", "A"}).status, 1);
}

TEST(RunCommand, ErrorsGoToStandardErrorWithStatusOne) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  const std::string notFound =
      "ERROR: The system was unable to find the specified registry key or value.\n";
  const CommandResult noStore = RunReg(path, {"query", "HKLM\\Software"});
  EXPECT_EQ(noStore.status, 1);
  EXPECT_EQ(noStore.err, "ERROR: Cannot use the registry store " + path +
                             ": it does not exist; add, import or restore makes it.\n");
  EXPECT_FALSE(std::filesystem::exists(path)) << "only add creates the store";

  RunReg(path, {"add", "HKLM\\Software\\Client", "/v", "A", "/d", "1"});
  const struct {
    std::vector<std::string_view> arguments;
    std::string err;
  } cases[] = {
      {{"query", "HKLM\\Software\\Missing"}, notFound},
      {{"query", "HKLM\\Software\\Client", "/v", "B"}, notFound},
      {{"delete", "HKLM\\Software\\Client", "/v", "B", "/f"}, notFound},
      {{"delete", "HKLM\\Software\\Missing", "/f"}, notFound},
      {{"delete", "HKLM", "/f"},
       "ERROR: Invalid key name: HKEY_LOCAL_MACHINE is a root, which cannot be deleted.\n"},
  };
  for (const auto& c : cases) {
    const CommandResult result = RunReg(path, c.arguments);
    EXPECT_EQ(result.status, 1) << c.arguments[1];
    EXPECT_EQ(result.err, c.err) << c.arguments[1];
    EXPECT_EQ(result.out.find_first_not_of('\n'), std::string::npos) << c.arguments[1];
  }

  const std::string dangling = folder.File("dangling.db");
  std::filesystem::create_symlink(folder.File("gone.db"), dangling);
  const std::vector<std::vector<std::string_view>> onDangling = {
      {"add", "HKLM\\A", "/f"}, {"query", "HKLM\\A"}, {"delete", "HKLM\\A", "/f"}};
  for (const auto& arguments : onDangling) {
    const CommandResult result = RunReg(dangling, arguments);
    EXPECT_NE(result.err.find("symbolic link to a file that does not exist"), std::string::npos)
        << arguments[0] << ": " << result.err;
  }

  const std::string foreign = folder.File("foreign.db");
  WriteBytes(foreign, "not a store");
  const CommandResult refused = RunReg(foreign, {"add", "HKLM\\A", "/v", "A", "/d", "1", "/f"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("not a registry store"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadBytes(foreign), "not a store");
}

TEST(RunCommand, DeletingAKeyTakesItsSubkeys) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  RunReg(path, {"add", "HKLM\\A\\B\\C", "/v", "V", "/t", "REG_DWORD", "/d", "1"});
  EXPECT_EQ(RunReg(path, {"delete", "HKLM\\A\\B", "/f"}).out,
            "The operation completed successfully.\n");
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\A"}).out, "\n");
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\A\\B\\C"}).status, 1);

  // Deeper than the chain of deletes that SQLite follows through references, and than a walk
  // down the tree on the call stack could go: a store others may write can hold any depth, though
  // add refuses a key deeper than Windows allows.
  std::string deep = "d";
  for (int level = 1; level < 30000; ++level)
    deep += "\\d";
  {
    const store::Store db = std::move(store::OpenStore(path, store::Access::ReadWrite)->db);
    const store::Result<store::Key> bottom =
        store::CreateKey(db.get(), store::Root::LocalMachine, deep);
    ASSERT_TRUE(store::WriteValue(db.get(), bottom->id, "V", {store::kRegSz, "x"}).ok());
  }
  const CommandResult found = RunReg(path, {"query", "HKLM\\d", "/s", "/v", "V"});
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_TRUE(found.out.ends_with("End of search: 1 match(es) found.\n")) << found.err;
  const CommandResult deleted = RunReg(path, {"delete", "HKLM\\d", "/f"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\d"}).status, 1);
}

TEST(RunCommand, BackupAndRestoreTheWholeStore) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  const std::string backup = folder.File("backup.db");
  RunReg(path, {"add", "HKLM\\A\\B", "/v", "V", "/t", "REG_DWORD", "/d", "1"});
  ASSERT_EQ(RunReg(path, {"backup", backup}).status, 0);
  EXPECT_EQ(RunReg(path, {"backup", backup}).err,
            "ERROR: Cannot write the backup " + backup + ": the file exists already.\n");
  // No user who may not read the store may read a backup of it.
  namespace fs = std::filesystem;
  const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  fs::permissions(path, ownerOnly);
  ASSERT_EQ(RunReg(path, {"backup", folder.File("private.db")}).status, 0);
  EXPECT_EQ(fs::status(folder.File("private.db")).permissions() & fs::perms::all, ownerOnly);
  RunReg(path, {"add", "HKLM\\A\\B", "/v", "V", "/t", "REG_DWORD", "/d", "2", "/f"});
  RunReg(path, {"add", "HKLM\\Later", "/v", "W", "/d", "x"});

  EXPECT_EQ(RunReg(path, {"restore", backup}, "no\n").status, 1);
  const CommandResult restored = RunReg(path, {"restore", backup, "/f"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\A\\B", "/v", "V"}).out,
            "\nHKEY_LOCAL_MACHINE\\A\\B\n    V    REG_DWORD    0x1\n\n");
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\Later"}).status, 1);
  const std::string fresh = folder.File("fresh/registry.db");
  EXPECT_EQ(RunReg(fresh, {"restore", backup}).status, 0) << "a store that does not exist is made";
  EXPECT_EQ(RunReg(fresh, {"query", "HKLM\\A\\B", "/v", "V"}).out,
            "\nHKEY_LOCAL_MACHINE\\A\\B\n    V    REG_DWORD    0x1\n\n");
  EXPECT_FALSE(std::filesystem::exists(backup + "-wal")) << "reading a backup leaves no log";
  EXPECT_FALSE(std::filesystem::exists(backup + "-shm"));

  // A backup beside a log of its own without its index, as a writer killed in it leaves it, is
  // read whole.
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(backup.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(raw, "PRAGMA wal_autocheckpoint = 0; UPDATE vals SET data = x'03000000';",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    const std::string file = ReadBytes(backup);
    const std::string log = ReadBytes(backup + "-wal");
    sqlite3_close(raw);
    WriteBytes(backup, file);
    WriteBytes(backup + "-wal", log);
    std::filesystem::remove(backup + "-shm");
  }
  const std::string backupFile = ReadBytes(backup);
  const CommandResult fromLog = RunReg(path, {"restore", backup, "/f"});
  EXPECT_EQ(fromLog.status, 0) << fromLog.err;
  EXPECT_EQ(ReadBytes(backup), backupFile) << "a restore never writes the backup";
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\A\\B", "/v", "V"}).out,
            "\nHKEY_LOCAL_MACHINE\\A\\B\n    V    REG_DWORD    0x3\n\n");

  WriteBytes(folder.File("not a store"), "text");
  const std::string before = ReadBytes(path);
  EXPECT_EQ(RunReg(path, {"restore", folder.File("not a store"), "/f"}).status, 1);
  EXPECT_EQ(RunReg(path, {"restore", folder.File("missing"), "/f"}).status, 1);
  EXPECT_EQ(ReadBytes(path), before);

  // A key held open across a restore from another store's backup is gone: a write through it is
  // refused, never made in the restored key that had its id in that store.
  const std::string other = folder.File("other.db");
  RunReg(other, {"add", "HKLM\\X\\Y\\Z\\Secret", "/v", "Token", "/d", "t"});
  ASSERT_EQ(RunReg(other, {"backup", folder.File("other-backup.db")}).status, 0);
  const store::Store held = std::move(store::OpenStore(path, store::Access::ReadWrite)->db);
  const store::KeyId key = store::FindKey(held.get(), store::Root::LocalMachine, "A\\B")->id;
  ASSERT_EQ(RunReg(path, {"restore", folder.File("other-backup.db"), "/f"}).status, 0);
  EXPECT_FALSE(store::WriteValue(held.get(), key, "ParentPattern",
                                 {store::kRegDword, std::string("\1\0\0\0", 4)})
                   .ok());
  EXPECT_EQ(RunReg(path, {"query", "HKLM\\X\\Y\\Z\\Secret"}).out,
            "\nHKEY_LOCAL_MACHINE\\X\\Y\\Z\\Secret\n    Token    REG_SZ    t\n\n");
}

TEST(RunCommand, ARefusedImportNamesTheLineAndChangesNothing) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  RunReg(path, {"add", "HKCU\\Kept", "/v", "v", "/d", "before", "/f"});
  const std::string before = RunReg(path, {"query", "HKCU\\Kept", "/s"}).out;
  const struct {
    const char* text;
    const char* line;
  } files[] = {
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=\"after\"\n\"w\"=dword:123456789\n", "line 4:"},
      {"REGEDIT4\n[-HKEY_CURRENT_USER\\Kept]\n[HKEY_CURRENT_USER\\New]\n\"x\"=hex:1,,2\n",
       "line 4:"},
      {"REGEDIT4\n\"v\"=\"after\"\n", "line 2:"},
      {"REGEDIT4\n[HKEY_NOWHERE\\Kept]\n", "line 2:"},
      {"REGEDIT4\n[-HKEY_CURRENT_USER]\n", "line 2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept\n", "line 2:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=\"open\n", "line 3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=hex(2):41,\\\n  00,4g\n", "line 3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=text\n", "line 3:"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=hex:01,\\\n", "line 3:"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=hex(1):41\n",
       "line 3:"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Kept]\n\"v\"=\"a\"\n"
       "\"w\"=hex(1):41,00,00,d8,42,00,00,00\n",
       "line 4: UTF-16 text holds a lone surrogate"},
      {"REGEDIT 4\n[HKEY_CURRENT_USER\\Kept]\n", "line 1:"},
  };
  for (const auto& file : files) {
    WriteBytes(folder.File("bad.reg"), file.text);
    const CommandResult refused = RunReg(path, {"import", folder.File("bad.reg")});
    EXPECT_EQ(refused.status, 1) << file.text;
    EXPECT_NE(refused.err.find(file.line), std::string::npos) << refused.err;
    EXPECT_EQ(RunReg(path, {"query", "HKCU\\Kept", "/s"}).out, before) << file.text;
    EXPECT_EQ(RunReg(path, {"query", "HKCU\\New"}).status, 1) << file.text;
  }
}

TEST(RunCommand, ExportAsksBeforeReplacingAFile) {
  TemporaryFolder folder;
  const std::string path = folder.File("registry.db");
  const std::string file = folder.File("key.reg");
  RunReg(path, {"add", "HKCU\\Key", "/v", "v", "/d", "1", "/f"});
  WriteBytes(file, "kept");
  const CommandResult unanswered = RunReg(path, {"export", "HKCU\\Key", file});
  EXPECT_EQ(unanswered.status, 1);
  EXPECT_EQ(unanswered.out, "File " + file + " already exists. Overwrite (Yes/No)? \n");
  EXPECT_EQ(ReadBytes(file), "kept");
  EXPECT_EQ(RunReg(path, {"export", "HKCU\\Key", file}, "yes\n").status, 0);
  EXPECT_EQ(ReadBytes(file).substr(0, 4), std::string("\xFF\xFEW\0", 4));
  RunReg(path, {"delete", "HKCU\\Key", "/f"});
  EXPECT_EQ(RunReg(path, {"import", file}).status, 0);
  EXPECT_EQ(RunReg(path, {"query", "HKCU\\Key", "/v", "v"}).out,
            "\nHKEY_CURRENT_USER\\Key\n    v    REG_SZ    1\n\n");
}

}  // namespace
