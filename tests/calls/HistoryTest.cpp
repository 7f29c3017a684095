// The call history with real SQLite files in temporary folders: what a row holds, the reader's
// filters, later reports of a call, migrations, and every fault with a real cause - another
// process holding the write lock, a read-only folder, the file size limit, a full file system,
// a file that is not a database, a damaged one.
#include "calls/History.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/capability.h>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using TestSupport::GenerousMs;
using TestSupport::TTempFolder;

// The writer's messages, collected from its thread.
class TMessages {
public:
  THistoryWriter::TMessage Sink() {
    return [this](const std::string& Text) {
      std::lock_guard<std::mutex> Guard(FLock);
      FTexts.push_back(Text);
    };
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FTexts;
  }
  std::string All() {
    std::string Joined;
    for (const std::string& Text : Texts())
      Joined += Text + "\n";
    return Joined;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FTexts;
};

TCallRecord Call(std::time_t Moment, const std::string& Number, const std::string& Name,
                 const std::string& Line = "Kitchen", uint64_t Key = 0) {
  TCallRecord Record;
  Record.Moment = Moment;
  Record.Time = "shown " + std::to_string(Moment);
  Record.Line = Line;
  Record.Number = Number;
  Record.Name = Name;
  Record.ID = Number;
  Record.IDName = Name;
  Record.CallKey = Key;
  return Record;
}

std::vector<TCallRecord> ReadAll(const std::string& Path, THistoryQuery Query = {}) {
  return THistoryReader(Path).Read(Query);
}

std::string Numbers(const std::vector<TCallRecord>& Calls) {
  std::string Text;
  for (const TCallRecord& Record : Calls)
    Text += (Text.empty() ? "" : " ") + Record.Number;
  return Text;
}

// One value of the first row of a query, read with a connection of the test's own.
std::string SqlValue(const std::string& Path, const std::string& Sql) {
  sqlite3* Db = nullptr;
  std::string Value = "<no row>";
  if (sqlite3_open_v2(Path.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* Statement = nullptr;
    if (sqlite3_prepare_v2(Db, Sql.c_str(), -1, &Statement, nullptr) != SQLITE_OK)
      Value = std::string("<error ") + sqlite3_errmsg(Db) + ">";
    else if (sqlite3_step(Statement) == SQLITE_ROW)
      Value = sqlite3_column_text(Statement, 0) != nullptr
                  ? reinterpret_cast<const char*>(sqlite3_column_text(Statement, 0))
                  : "<null>";
    sqlite3_finalize(Statement);
  }
  sqlite3_close(Db);
  return Value;
}

bool RunSql(const std::string& Path, const std::string& Sql) {
  sqlite3* Db = nullptr;
  bool Ok = sqlite3_open(Path.c_str(), &Db) == SQLITE_OK &&
            sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(Db);
  return Ok;
}

std::string FileBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream Bytes;
  Bytes << In.rdbuf();
  return Bytes.str();
}

// Writes calls through a writer of its own and ends it, so the file is complete and closed.
void WriteCalls(const std::string& Path, const std::vector<TCallRecord>& Calls) {
  THistoryWriter Writer(Path, nullptr);
  for (const TCallRecord& Record : Calls)
    Writer.Deliver(Record);
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  ASSERT_EQ(0u, Writer.Pending());
}

// Runs Body in a child process and returns what it reported: "" for success, else the
// problems it found, "SKIP: ..." when the system does not offer what it needs. The child
// is killed when it takes longer than the bound.
std::string InChild(const std::function<std::string()>& Body) {
  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0)
    return "pipe failed";
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::close(Pipe[0]);
    const std::string Report = Body();
    [[maybe_unused]] const ssize_t Ignored = ::write(Pipe[1], Report.data(), Report.size());
    ::_exit(0);
  }
  ::close(Pipe[1]);
  std::string Report;
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * GenerousMs);
  for (;;) {
    if (std::chrono::steady_clock::now() > End) {
      ::kill(Child, SIGKILL);
      Report += "the child did not finish in time";
      break;
    }
    pollfd Poll{Pipe[0], POLLIN, 0};
    if (::poll(&Poll, 1, 100) <= 0)
      continue;
    char Buffer[512];
    const ssize_t N = ::read(Pipe[0], Buffer, sizeof Buffer);
    if (N <= 0)
      break;
    Report.append(Buffer, static_cast<size_t>(N));
  }
  ::close(Pipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    Report += " (the child ended abnormally, status " + std::to_string(Status) + ")";
  return Report;
}

// Collects the problems a child finds, for its report.
struct TChecks {
  std::string Problems;
  void Expect(bool Ok, const std::string& What) {
    if (!Ok)
      Problems += What + "\n";
  }
};

// As root the permission bits do not hold; without these capabilities they do.
bool DropFileCapabilities() {
  __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct Data[2] = {};
  if (::syscall(SYS_capget, &Header, Data) != 0)
    return false;
  for (int Capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    Data[0].effective &= ~(1u << Capability);
    Data[0].permitted &= ~(1u << Capability);
  }
  return ::syscall(SYS_capset, &Header, Data) == 0;
}

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Another program holding the history's write lock (BEGIN EXCLUSIVE) until Release.
class TLockHolder {
public:
  explicit TLockHolder(const std::string& Path) {
    int Locked[2];
    if (::pipe2(Locked, O_CLOEXEC) != 0 || ::pipe2(FRelease, O_CLOEXEC) != 0)
      return;
    FChild = ::fork();
    if (FChild == 0) {
      sqlite3* Db = nullptr;
      char Byte = 'L';
      if (sqlite3_open(Path.c_str(), &Db) != SQLITE_OK ||
          sqlite3_exec(Db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) != SQLITE_OK)
        Byte = 'E';
      [[maybe_unused]] ssize_t Ignored = ::write(Locked[1], &Byte, 1);
      pollfd Poll{FRelease[0], POLLIN, 0};
      ::poll(&Poll, 1, 2 * GenerousMs);
      sqlite3_exec(Db, "COMMIT;", nullptr, nullptr, nullptr);
      sqlite3_close(Db);
      ::_exit(0);
    }
    ::close(Locked[1]);
    ::close(FRelease[0]);
    pollfd Poll{Locked[0], POLLIN, 0};
    char Byte = 0;
    FHolding = ::poll(&Poll, 1, GenerousMs) == 1 && ::read(Locked[0], &Byte, 1) == 1 && Byte == 'L';
    ::close(Locked[0]);
  }
  ~TLockHolder() { Release(); }
  TLockHolder(const TLockHolder&) = delete;
  TLockHolder& operator=(const TLockHolder&) = delete;

  bool Holding() const { return FHolding; }
  void Release() {
    if (FChild <= 0)
      return;
    [[maybe_unused]] ssize_t Ignored = ::write(FRelease[1], "R", 1);
    ::close(FRelease[1]);
    ::waitpid(FChild, nullptr, 0);
    FChild = -1;
  }

private:
  int FRelease[2] = {-1, -1};
  pid_t FChild = -1;
  bool FHolding = false;
};

// The history as another program (--history) reads it: numbers, newest last.
std::string NumbersInChild(const std::string& Path) {
  return InChild([&] {
    try {
      return Numbers(ReadAll(Path));
    } catch (const EHistory& Failure) {
      return std::string("error: ") + Failure.what();
    }
  });
}

// Waits, bounded, until Condition holds.
bool WaitUntil(const std::function<bool()>& Condition) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// What is stored and read back

TEST(HistoryStoreTest, OneRowPerCallWithTheAbsenceReasonsAsData) {
  TTempFolder Folder;
  const std::string Path = Folder / "sub/calls.sqlite";
  TCallRecord Withheld = Call(1765000000, "", "");
  Withheld.ID = Withheld.IDName = "Caller ID Blocked";
  Withheld.NumberAbsent = Withheld.NameAbsent = abWithheld;
  TCallRecord Away = Call(1765000100, "", "", "Office");
  Away.ID = Away.IDName = "Out of Area Call";
  Away.NumberAbsent = abOutOfArea;
  Away.NameAbsent = abUnavailable;
  WriteCalls(Path, {Call(1764999900, "5551234", "JOHN DOE"), Withheld, Away});

  EXPECT_EQ("wal", SqlValue(Path, "PRAGMA journal_mode;"));
  EXPECT_EQ(std::to_string(HistorySchemaVersion), SqlValue(Path, "PRAGMA user_version;"));
  EXPECT_EQ("withheld", SqlValue(Path, "SELECT number_absent FROM calls WHERE id = 2;"));
  EXPECT_EQ("unavailable", SqlValue(Path, "SELECT name_absent FROM calls WHERE id = 3;"));
  EXPECT_EQ("out-of-area", SqlValue(Path, "SELECT number_absent FROM calls WHERE id = 3;"));
  EXPECT_EQ("", SqlValue(Path, "SELECT number FROM calls WHERE id = 2;"));
  EXPECT_EQ("2025-12-06T05:45:00Z", SqlValue(Path, "SELECT utc FROM calls WHERE id = 1;"));
  EXPECT_EQ("shown 1764999900", SqlValue(Path, "SELECT local_time FROM calls WHERE id = 1;"));

  const std::vector<TCallRecord> Calls = ReadAll(Path);
  ASSERT_EQ(3u, Calls.size());
  EXPECT_EQ("5551234", Calls[0].Number);
  EXPECT_EQ("JOHN DOE", Calls[0].Name);
  EXPECT_EQ(abNone, Calls[0].NumberAbsent);
  EXPECT_EQ("Caller ID Blocked", Calls[1].ID);
  EXPECT_EQ(abWithheld, Calls[1].NameAbsent);
  EXPECT_EQ("Office", Calls[2].Line);
  EXPECT_EQ(abOutOfArea, Calls[2].NumberAbsent);
  EXPECT_EQ(abUnavailable, Calls[2].NameAbsent);
  EXPECT_EQ(1765000100, Calls[2].Moment);
}

TEST(HistoryStoreTest, TextsFromTheLineAreBoundAndCut) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  const std::string Hostile = "x'); DROP TABLE calls; --";
  WriteCalls(Path, {Call(100, Hostile, "O'Brien \"Bob\""), Call(200, "1", std::string(1000, 'n'))});
  const std::vector<TCallRecord> Calls = ReadAll(Path);
  ASSERT_EQ(2u, Calls.size());
  EXPECT_EQ(Hostile, Calls[0].Number);
  EXPECT_EQ("O'Brien \"Bob\"", Calls[0].Name);
  EXPECT_EQ(MaxHistoryText, Calls[1].Name.size());
}

// Callers' numbers and names are nobody else's business: a new history file, its journal and
// the folders made for it are the user's alone, whatever the umask lets others have.
TEST(HistoryStoreTest, ANewHistoryAndTheFoldersMadeForItArePrivate) {
  TTempFolder Folder;
  const mode_t Umask = ::umask(022);
  const std::string Path = Folder / "share/ringlet/calls.sqlite";
  {
    THistoryStore Store(Path, hoWrite, 1000);
    Store.Begin();
    Store.Insert(Call(100, "5551234", "JOHN DOE"));
    Store.Commit();
    struct stat Journal {};
    ASSERT_EQ(0, ::stat((Path + "-wal").c_str(), &Journal));
    EXPECT_EQ(0600u, Journal.st_mode & 0777);
  }
  ::umask(Umask);
  struct stat Info {};
  ASSERT_EQ(0, ::stat(Path.c_str(), &Info));
  EXPECT_EQ(0600u, Info.st_mode & 0777);
  for (const char* Made : {"share", "share/ringlet"}) {
    ASSERT_EQ(0, ::stat((Folder / Made).c_str(), &Info));
    EXPECT_EQ(0700u, Info.st_mode & 0777) << Made;
  }
}

TEST(HistoryStoreTest, ReaderFiltersAndPagesNewestLast) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  WriteCalls(Path, {Call(1000, "111", "Anna Alpha"), Call(2000, "222", "Bert Beta", "Office"),
                    Call(3000, "333", "carla ALPHA"), Call(4000, "444", "Dora Delta", "Office"),
                    Call(5000, "5551", "Emil Eta")});
  EXPECT_EQ("111 222 333 444 5551", Numbers(ReadAll(Path)));
  THistoryQuery Query;
  Query.Since = 2000;
  Query.Until = 4000;
  EXPECT_EQ("222 333", Numbers(ReadAll(Path, Query)));
  Query = {};
  Query.Line = "Office";
  EXPECT_EQ("222 444", Numbers(ReadAll(Path, Query)));
  Query = {};
  Query.Text = "alpha";
  EXPECT_EQ("111 333", Numbers(ReadAll(Path, Query))) << "names in any case";
  Query.Text = "55";
  EXPECT_EQ("5551", Numbers(ReadAll(Path, Query))) << "part of a number";
  Query.Text = "%";
  EXPECT_EQ("", Numbers(ReadAll(Path, Query))) << "no wildcards";
  Query = {};
  Query.Limit = 2;
  EXPECT_EQ("444 5551", Numbers(ReadAll(Path, Query))) << "the last N, newest last";
  Query.Offset = 2;
  EXPECT_EQ("222 333", Numbers(ReadAll(Path, Query))) << "the page before";
  Query.Offset = 4;
  EXPECT_EQ("111", Numbers(ReadAll(Path, Query)));
  EXPECT_EQ(5u, ReadAll(Path).back().HistoryId) << "the row id";
  EXPECT_EQ(0u, ReadAll(Path).back().CallKey) << "a stored row is no live call of a monitor";
}

TEST(HistoryStoreTest, MissingFileReadsAsNoCallsAndIsNotCreated) {
  TTempFolder Folder;
  const std::string Path = Folder / "none/calls.sqlite";
  EXPECT_TRUE(ReadAll(Path).empty());
  EXPECT_FALSE(fs::exists(Folder / "none"));
}

TEST(HistoryWriterTest, LaterReportOfTheSameCallUpdatesItsRow) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  THistoryWriter Writer(Path, nullptr);
  TCallRecord First = Call(100, "5551234", "", "Kitchen", 7);
  First.NameAbsent = abUnavailable;
  Writer.Deliver(First);
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  Writer.Deliver(Call(100, "5551234", "JOHN DOE", "Kitchen", 7));
  Writer.Deliver(Call(100, "999", "OTHER LINE", "Office", 7));
  Writer.Deliver(Call(200, "777", "NEXT", "Kitchen", 8));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  const std::vector<TCallRecord> Calls = ReadAll(Path);
  ASSERT_EQ(3u, Calls.size()) << Numbers(Calls);
  EXPECT_EQ("JOHN DOE", Calls[0].Name);
  EXPECT_EQ(abNone, Calls[0].NameAbsent);
  EXPECT_EQ("999", Calls[1].Number);
  EXPECT_EQ("777", Calls[2].Number);
}

TEST(HistoryWriterTest, DefaultFileFollowsXdgDataHome) {
  const char* Old = std::getenv("XDG_DATA_HOME");
  const std::string Kept = Old != nullptr ? Old : "";
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ("/srv/data/ringlet/calls.sqlite", DefaultHistoryFile());
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(std::string(std::getenv("HOME")) + "/.local/share/ringlet/calls.sqlite",
            DefaultHistoryFile());
  if (Old != nullptr)
    ::setenv("XDG_DATA_HOME", Kept.c_str(), 1);
}

// ---------------------------------------------------------------------------------------
// Schema versions

TEST(HistoryMigrationTest, FirstVersionFileIsMigratedAndKeepsItsCalls) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  // The layout of schema version 1, as the first release wrote it.
  ASSERT_TRUE(RunSql(Path, "CREATE TABLE calls (id INTEGER PRIMARY KEY, moment INTEGER NOT NULL,"
                           " utc TEXT NOT NULL, local_time TEXT NOT NULL, line TEXT NOT NULL,"
                           " number TEXT NOT NULL, name TEXT NOT NULL, number_absent TEXT NOT NULL,"
                           " name_absent TEXT NOT NULL, shown_number TEXT NOT NULL,"
                           " shown_name TEXT NOT NULL);"
                           "INSERT INTO calls VALUES (1, 50, '1970-01-01T00:00:50Z', 'then', 'Old',"
                           " '123', 'OLD CALL', '', '', '123', 'OLD CALL');"
                           "PRAGMA user_version = 1;"));
  EXPECT_EQ("123", Numbers(ReadAll(Path))) << "a reader reads an old file as it is";
  TCallRecord Screened = Call(60, "456", "NEW CALL");
  Screened.Contact = "Neighbour";
  Screened.Blocked = true;
  WriteCalls(Path, {Screened});
  EXPECT_EQ(std::to_string(HistorySchemaVersion), SqlValue(Path, "PRAGMA user_version;"));
  EXPECT_EQ("calls_moment",
            SqlValue(Path, "SELECT name FROM sqlite_master WHERE name = 'calls_moment';"));
  const std::vector<TCallRecord> Calls = ReadAll(Path);
  EXPECT_EQ("123 456", Numbers(Calls));
  ASSERT_EQ(2u, Calls.size());
  // The old row gets the new columns' defaults; the new row keeps what the screen decided.
  EXPECT_EQ("", Calls[0].Contact);
  EXPECT_FALSE(Calls[0].Blocked);
  EXPECT_EQ("Neighbour", Calls[1].Contact);
  EXPECT_TRUE(Calls[1].Blocked);
  THistoryQuery ByContact;
  ByContact.Text = "neighb";
  EXPECT_EQ("456", Numbers(ReadAll(Path, ByContact))) << "search finds the contact's name";
}

TEST(HistoryMigrationTest, FileOfALaterVersionIsLeftAlone) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  WriteCalls(Path, {Call(60, "456", "CALL")});
  ASSERT_TRUE(RunSql(Path, "PRAGMA user_version = 99;"));
  TMessages Messages;
  THistoryWriter Writer(Path, Messages.Sink());
  Writer.Deliver(Call(70, "789", "KEPT"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  EXPECT_EQ(hfNewer, Writer.LastFault());
  EXPECT_EQ(1u, Writer.Pending());
  EXPECT_EQ("99", SqlValue(Path, "PRAGMA user_version;"));
  EXPECT_EQ("1", SqlValue(Path, "SELECT count(*) FROM calls;"));
  ASSERT_EQ(1u, Messages.Texts().size()) << Messages.All();
  EXPECT_TRUE(Contains(Messages.All(), "later version")) << Messages.All();
}

// ---------------------------------------------------------------------------------------
// Faults: the calls are kept, told once, and written once the cause is gone

TEST(HistoryFaultTest, SecondProcessHoldingTheWriteLock) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  WriteCalls(Path, {Call(10, "100", "BEFORE")});

  // The other program: takes the write lock, says so, holds it until told.
  int Locked[2], Release[2];
  ASSERT_EQ(0, ::pipe2(Locked, O_CLOEXEC));
  ASSERT_EQ(0, ::pipe2(Release, O_CLOEXEC));
  const pid_t Holder = ::fork();
  if (Holder == 0) {
    sqlite3* Db = nullptr;
    char Byte = 'L';
    if (sqlite3_open(Path.c_str(), &Db) != SQLITE_OK ||
        sqlite3_exec(Db,
                     "BEGIN IMMEDIATE; INSERT INTO calls (moment, utc, local_time, line,"
                     " number, name, number_absent, name_absent, shown_number, shown_name)"
                     " VALUES (11, '', '', 'Other', 'uncommitted', '', '', '', '', '');",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
      Byte = 'E';
    [[maybe_unused]] ssize_t Ignored = ::write(Locked[1], &Byte, 1);
    pollfd Poll{Release[0], POLLIN, 0};
    ::poll(&Poll, 1, 2 * GenerousMs);
    sqlite3_exec(Db, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(Db);
    ::_exit(0);
  }
  ::close(Locked[1]);
  ::close(Release[0]);
  pollfd Poll{Locked[0], POLLIN, 0};
  char Byte = 0;
  ASSERT_EQ(1, ::poll(&Poll, 1, GenerousMs)) << "the lock holder did not start";
  ASSERT_EQ(1, ::read(Locked[0], &Byte, 1));
  ASSERT_EQ('L', Byte);

  TMessages Messages;
  {
    THistoryWriter Writer(Path, Messages.Sink(), {.BusyMs = 100});
    Writer.Deliver(Call(20, "200", "WHILE LOCKED"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    Writer.Deliver(Call(30, "300", "STILL LOCKED"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(hfLocked, Writer.LastFault());
    EXPECT_EQ(2u, Writer.Pending());
    ASSERT_EQ(1u, Messages.Texts().size()) << "told once: " << Messages.All();
    EXPECT_TRUE(Contains(Messages.All(), "locked by another program")) << Messages.All();
    // Readers are welcome meanwhile, and see the waiting calls too (from the spool).
    EXPECT_EQ("100 200 300", Numbers(ReadAll(Path)));
    EXPECT_EQ("1", SqlValue(Path, "SELECT count(*) FROM calls WHERE line <> 'Other';"));

    ASSERT_EQ(1, ::write(Release[1], "R", 1));
    ::waitpid(Holder, nullptr, 0);
    Writer.Deliver(Call(40, "400", "AFTER"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(hfNone, Writer.LastFault());
    EXPECT_EQ(0u, Writer.Pending());
  }
  ::close(Locked[0]);
  ::close(Release[1]);
  EXPECT_EQ("100 200 300 400", Numbers(ReadAll(Path)));
  EXPECT_TRUE(Contains(Messages.Texts().back(), "written again")) << Messages.All();
}

TEST(HistoryFaultTest, ReadOnlyFolder) {
  TTempFolder Folder;
  const fs::path Sealed = Folder / "sealed";
  fs::create_directories(Sealed);
  const std::string Path = (Sealed / "calls.sqlite").string();
  const std::string Report = InChild([&] {
    TChecks Checks;
    if (!DropFileCapabilities())
      return std::string("SKIP: the capabilities could not be dropped");
    fs::permissions(Sealed, fs::perms::owner_read | fs::perms::owner_exec);
    TMessages Messages;
    {
      THistoryWriter Writer(Path, Messages.Sink());
      Writer.Deliver(Call(10, "100", "ONE"));
      Writer.WaitIdle(GenerousMs);
      Writer.Deliver(Call(20, "200", "TWO"));
      Writer.WaitIdle(GenerousMs);
      Checks.Expect(Writer.LastFault() == hfReadOnly,
                    "fault " + std::to_string(Writer.LastFault()));
      Checks.Expect(Writer.Pending() == 2, "pending " + std::to_string(Writer.Pending()));
      // Told once each: the file, and the spool beside it that cannot be made either.
      Checks.Expect(Messages.Texts().size() == 2, "told once: " + Messages.All());
      Checks.Expect(Contains(Messages.All(), "cannot be written"), Messages.All());
      Checks.Expect(Contains(Messages.All(), "cannot be kept in " + Path + ".pending"),
                    Messages.All());
      fs::permissions(Sealed, fs::perms::owner_all);
      Writer.Deliver(Call(30, "300", "THREE"));
      Writer.WaitIdle(GenerousMs);
      Checks.Expect(Writer.Pending() == 0, "still pending");
    }
    Checks.Expect(Numbers(ReadAll(Path)) == "100 200 300", Numbers(ReadAll(Path)));
    // Sealed to the end: with nowhere to keep it, the call is shown in the last message.
    const fs::path Closed = Folder / "closed";
    fs::create_directories(Closed);
    fs::permissions(Closed, fs::perms::owner_read | fs::perms::owner_exec);
    TMessages Last;
    {
      THistoryWriter Writer((Closed / "calls.sqlite").string(), Last.Sink());
      Writer.Deliver(Call(40, "400", "FOUR"));
      Writer.WaitIdle(GenerousMs);
    }
    Checks.Expect(Contains(Last.Texts().back(), "nor kept in") &&
                      Contains(Last.Texts().back(), "\n  shown 40\t400\tFOUR"),
                  Last.All());
    fs::permissions(Closed, fs::perms::owner_all);
    return Checks.Problems;
  });
  if (Report.rfind("SKIP:", 0) == 0)
    GTEST_SKIP() << Report;
  EXPECT_EQ("", Report);
}

TEST(HistoryFaultTest, FileSizeLimit) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  const std::string Report = InChild([&] {
    TChecks Checks;
    TMessages Messages;
    size_t Delivered = 0;
    {
      THistoryWriter Writer(Path, Messages.Sink());
      Writer.Deliver(Call(1, "1", "FIRST"));
      ++Delivered;
      Writer.WaitIdle(GenerousMs);
      // The writer turned SIGXFSZ off: writes past the limit fail instead of ending us.
      rlimit Limit{64 * 1024, RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &Limit);
      for (int I = 0; I < 200 && Writer.LastFault() == hfNone; ++I) {
        Writer.Deliver(Call(10 + I, std::to_string(1000 + I), std::string(200, 'N')));
        ++Delivered;
        Writer.WaitIdle(GenerousMs);
      }
      Checks.Expect(Writer.LastFault() == hfFull, "fault " + std::to_string(Writer.LastFault()));
      Checks.Expect(Writer.Pending() > 0, "nothing pending at the limit");
      Checks.Expect(Contains(Messages.All(), "file size limit"), Messages.All());
      Limit.rlim_cur = RLIM_INFINITY;
      ::setrlimit(RLIMIT_FSIZE, &Limit);
      Writer.Deliver(Call(999, "999", "LAST"));
      ++Delivered;
      Writer.WaitIdle(GenerousMs);
      Checks.Expect(Writer.Pending() == 0, "still pending");
    }
    Checks.Expect(ReadAll(Path).size() == Delivered,
                  std::to_string(ReadAll(Path).size()) + " of " + std::to_string(Delivered));
    return Checks.Problems;
  });
  EXPECT_EQ("", Report);
}

TEST(HistoryFaultTest, FullFileSystem) {
  TTempFolder Folder;
  const std::string Mount = Folder / "small";
  fs::create_directories(Mount);
  const std::string Path = Mount + "/calls.sqlite";
  const std::string Report = InChild([&] {
    // A mount namespace of our own: the small file system goes away with this process.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", Mount.c_str(), "tmpfs", 0, "size=256k") != 0)
      return std::string("SKIP: no small file system can be mounted here: ") + std::strerror(errno);
    TChecks Checks;
    TMessages Messages;
    size_t Delivered = 0;
    {
      THistoryWriter Writer(Path, Messages.Sink());
      Writer.Deliver(Call(1, "1", "FIRST"));
      ++Delivered;
      Writer.WaitIdle(GenerousMs);
      {
        std::ofstream Filler(Mount + "/filler", std::ios::binary);
        const std::string Block(4096, 'f');
        for (int I = 0; I < 256 && Filler.write(Block.data(), Block.size()); ++I)
          Filler.flush();
      }
      fs::resize_file(Mount + "/filler", fs::file_size(Mount + "/filler") - 24 * 1024);
      for (int I = 0; I < 200 && Writer.LastFault() == hfNone; ++I) {
        Writer.Deliver(Call(10 + I, std::to_string(1000 + I), std::string(200, 'N')));
        ++Delivered;
        Writer.WaitIdle(GenerousMs);
      }
      Checks.Expect(Writer.LastFault() == hfFull, "fault " + std::to_string(Writer.LastFault()));
      Checks.Expect(Contains(Messages.All(), "disk is full"), Messages.All());
      fs::remove(Mount + "/filler");
      Writer.Deliver(Call(999, "999", "LAST"));
      ++Delivered;
      Writer.WaitIdle(GenerousMs);
      Checks.Expect(Writer.Pending() == 0, "still pending");
    }
    Checks.Expect(ReadAll(Path).size() == Delivered,
                  std::to_string(ReadAll(Path).size()) + " of " + std::to_string(Delivered));
    return Checks.Problems;
  });
  if (Report.rfind("SKIP:", 0) == 0)
    GTEST_SKIP() << Report;
  EXPECT_EQ("", Report);
}

TEST(HistoryFaultTest, FileThatIsNotADatabaseIsLeftAlone) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  const std::string Garbage = "These are my notes, not a database.\n" + std::string(5000, 'x');
  std::ofstream(Path, std::ios::binary) << Garbage;
  TMessages Messages;
  {
    THistoryWriter Writer(Path, Messages.Sink());
    Writer.Deliver(Call(10, "100", "ONE"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    Writer.Deliver(Call(20, "200", "TWO"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(hfNotADatabase, Writer.LastFault());
    EXPECT_EQ(2u, Writer.Pending());
    ASSERT_EQ(1u, Messages.Texts().size()) << Messages.All();
    EXPECT_TRUE(Contains(Messages.All(), "is not a database")) << Messages.All();
    EXPECT_EQ(Garbage, FileBytes(Path));
    EXPECT_THROW(ReadAll(Path), EHistory);
    // The user moves the file away: the waiting calls go to a new history.
    fs::rename(Path, Folder / "notes.txt");
    Writer.Deliver(Call(30, "300", "THREE"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(0u, Writer.Pending());
  }
  EXPECT_EQ("100 200 300", Numbers(ReadAll(Path)));
}

TEST(HistoryFaultTest, DamagedDatabaseIsMovedAsideAndANewOneStarted) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  std::vector<TCallRecord> Old;
  for (int I = 0; I < 50; ++I)
    Old.push_back(Call(I, std::to_string(100 + I), std::string(100, 'o')));
  WriteCalls(Path, Old);
  // Scribble over the pages after the first one: the header still says SQLite.
  std::string Bytes = FileBytes(Path);
  ASSERT_GT(Bytes.size(), 8192u);
  for (size_t I = 4096; I < Bytes.size(); ++I)
    Bytes[I] = static_cast<char>(0xA5 ^ (I * 31));
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;

  TMessages Messages;
  {
    THistoryWriter Writer(Path, Messages.Sink());
    Writer.Deliver(Call(1000, "1000", "NEW"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(hfNone, Writer.LastFault()) << Messages.All();
    EXPECT_EQ(0u, Writer.Pending());
  }
  std::vector<fs::path> Aside;
  for (const auto& Entry : fs::directory_iterator(Folder.Path()))
    if (Contains(Entry.path().filename().string(), "calls.sqlite.damaged-"))
      Aside.push_back(Entry.path());
  ASSERT_EQ(1u, Aside.size());
  EXPECT_EQ(Bytes, FileBytes(Aside[0].string())) << "moved as it was";
  EXPECT_EQ("1000", Numbers(ReadAll(Path)));
  ASSERT_FALSE(Messages.Texts().empty());
  EXPECT_TRUE(Contains(Messages.Texts()[0], "is damaged")) << Messages.All();
  EXPECT_FALSE(Contains(Messages.Texts()[0], "\n")) << "one line: " << Messages.All();
  EXPECT_TRUE(Contains(Messages.Texts()[0], Aside[0].filename().string())) << Messages.All();
}

TEST(HistoryFaultTest, DamagedNameCarriesTheUtcTime) {
  EXPECT_EQ("/x/calls.sqlite.damaged-20251206T054500Z", DamagedName("/x/calls.sqlite", 1764999900));
}

TEST(HistoryFaultTest, ResultCodesMapToFaults) {
  EXPECT_EQ(hfLocked, FaultOf(SQLITE_BUSY));
  EXPECT_EQ(hfLocked, FaultOf(SQLITE_BUSY_SNAPSHOT));
  EXPECT_EQ(hfFull, FaultOf(SQLITE_FULL));
  EXPECT_EQ(hfFull, FaultOf(SQLITE_IOERR_WRITE, EFBIG));
  EXPECT_EQ(hfFull, FaultOf(SQLITE_IOERR_WRITE));
  EXPECT_EQ(hfOther, FaultOf(SQLITE_IOERR_READ, EIO));
  EXPECT_EQ(hfReadOnly, FaultOf(SQLITE_CANTOPEN));
  EXPECT_EQ(hfReadOnly, FaultOf(SQLITE_READONLY));
  EXPECT_EQ(hfDamaged, FaultOf(SQLITE_CORRUPT));
  EXPECT_EQ(hfNone, FaultOf(SQLITE_DONE));
}

TEST(HistoryWriterTest, OverflowingQueueDropsTheOldestAndSaysSo) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  std::ofstream(Path) << "not a database at all, so nothing can be written";
  TMessages Messages;
  THistoryWriter Writer(Path, Messages.Sink(), {.BusyMs = 100, .QueueLimit = 3});
  for (int I = 1; I <= 5; ++I)
    Writer.Deliver(Call(I, std::to_string(I), "Q"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  EXPECT_EQ(3u, Writer.Pending());
  fs::remove(Path);
  Writer.Deliver(Call(6, "6", "Q"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  EXPECT_EQ("4 5 6", Numbers(ReadAll(Path)));
  EXPECT_TRUE(Contains(Messages.All(), "3 call(s) were dropped")) << Messages.All();
}

// ---------------------------------------------------------------------------------------
// No call lost or out of order once it is delivered

TEST(HistoryKeepTest, ALockedFileIsTriedAgainOnATimerAndItsWaitingCallsAreSeenMeanwhile) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  WriteCalls(Path, {Call(10, "100", "BEFORE")});
  TLockHolder Holder(Path);
  ASSERT_TRUE(Holder.Holding());
  TMessages Messages;
  THistoryWriter Writer(Path, Messages.Sink(),
                        {.BusyMs = 100, .RetryFirstMs = 100, .RetryMaxMs = 400});
  for (int I = 1; I <= 4; ++I)
    Writer.Deliver(Call(10 + I, std::to_string(100 + I), "WHILE LOCKED"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  EXPECT_EQ(4u, Writer.Pending());
  // This program's readers (the page, NCID clients) and another program see them waiting.
  EXPECT_EQ("100 101 102 103 104", Numbers(Writer.Read({})));
  EXPECT_EQ("100 101 102 103 104", NumbersInChild(Path));
  THistoryQuery Newest;
  Newest.Limit = 2;
  EXPECT_EQ("103 104", Numbers(Writer.Read(Newest)));
  Newest.Offset = 3;
  EXPECT_EQ("100 101", Numbers(Writer.Read(Newest)));

  // The lock ends and no call comes: the timer writes them.
  Holder.Release();
  ASSERT_TRUE(WaitUntil([&] { return Writer.Pending() == 0; })) << Messages.All();
  EXPECT_EQ("5", SqlValue(Path, "SELECT count(*) FROM calls;"));
  EXPECT_FALSE(fs::exists(Path + ".pending"));
  EXPECT_TRUE(Contains(Messages.Texts().back(), "written again")) << Messages.All();
}

TEST(HistoryKeepTest, CallsWaitingWhenTheProgramIsKilledOrEndsAreWrittenAtTheNextStart) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  WriteCalls(Path, {Call(10, "100", "BEFORE")});
  TLockHolder Holder(Path);
  ASSERT_TRUE(Holder.Holding());
  // Killed while the file is locked: the calls wait in the spool.
  const std::string Killed = InChild([&] {
    THistoryWriter Writer(Path, nullptr, {.BusyMs = 100});
    for (int I = 1; I <= 3; ++I)
      Writer.Deliver(Call(10 + I, std::to_string(100 + I), "KILLED"));
    Writer.WaitIdle(GenerousMs);
    ::raise(SIGKILL);
    return std::string("not killed");
  });
  EXPECT_TRUE(Contains(Killed, "abnormally")) << Killed;
  // Ended while the file is locked: said where they are.
  TMessages Ended;
  {
    THistoryWriter Writer(Path, Ended.Sink(), {.BusyMs = 100});
    Writer.Deliver(Call(20, "200", "ENDED"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  }
  EXPECT_TRUE(Contains(Ended.Texts().back(), "4 call(s) could not be written")) << Ended.All();
  EXPECT_TRUE(Contains(Ended.Texts().back(), "kept in " + Path + ".pending")) << Ended.All();
  EXPECT_EQ("100 101 102 103 200", NumbersInChild(Path));

  Holder.Release();
  TMessages Next;
  {
    THistoryWriter Writer(Path, Next.Sink());
    Writer.Deliver(Call(30, "300", "NEXT RUN"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(0u, Writer.Pending());
  }
  EXPECT_EQ("6", SqlValue(Path, "SELECT count(*) FROM calls;"));
  EXPECT_EQ("100 101 102 103 200 300", Numbers(ReadAll(Path)));
  EXPECT_FALSE(fs::exists(Path + ".pending"));
  ASSERT_FALSE(Next.Texts().empty());
  EXPECT_TRUE(Contains(Next.Texts()[0], "4 call(s) of an earlier run")) << Next.All();
}

TEST(HistoryKeepTest, ADeletedOrReplacedFileIsNoticedBeforeTheNextWrite) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  TMessages Messages;
  THistoryWriter Writer(Path, Messages.Sink());
  Writer.Deliver(Call(10, "100", "FIRST"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));

  // Deleted with its log and index: the next call goes to a new file, told once.
  for (const char* Suffix : {"", "-wal", "-shm"})
    fs::remove(Path + Suffix);
  Writer.Deliver(Call(20, "200", "AFTER DELETE"));
  Writer.Deliver(Call(21, "201", "AFTER DELETE"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  EXPECT_EQ("200 201", NumbersInChild(Path));
  EXPECT_EQ(1u, Messages.Texts().size()) << Messages.All();

  // Swapped for a backup: the backup reads as it is, the writer's log is not laid over it.
  std::vector<TCallRecord> Backup;
  for (int I = 0; I < 40; ++I)
    Backup.push_back(Call(I, std::to_string(1000 + I), "BACKUP"));
  WriteCalls(Folder / "backup.sqlite", Backup);
  fs::rename(Folder / "backup.sqlite", Path);
  EXPECT_EQ("40", InChild([&] { return std::to_string(ReadAll(Path).size()); }));
  Writer.Deliver(Call(30, "300", "AFTER SWAP"));
  ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  const std::vector<TCallRecord> Calls = ReadAll(Path);
  ASSERT_EQ(41u, Calls.size()) << Messages.All() << Writer.Pending() << Numbers(Calls);
  EXPECT_EQ("300", Calls.back().Number);
  EXPECT_EQ("ok", SqlValue(Path, "PRAGMA integrity_check;"));
  ASSERT_EQ(2u, Messages.Texts().size()) << Messages.All();
  EXPECT_TRUE(Contains(Messages.Texts()[1], "deleted or replaced")) << Messages.All();
}

TEST(HistoryKeepTest, NotADatabaseAtTheProgramsOwnFileIsMovedAsideAndANewOneStarted) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  const std::string Garbage = "These are my notes, not a database.\n" + std::string(5000, 'x');
  std::ofstream(Path, std::ios::binary) << Garbage;
  TMessages Messages;
  {
    THistoryWriter Writer(Path, Messages.Sink(), {.MoveAsideNotADatabase = true});
    Writer.Deliver(Call(10, "100", "ONE"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
    EXPECT_EQ(hfNone, Writer.LastFault()) << Messages.All();
    EXPECT_EQ(0u, Writer.Pending());
  }
  std::vector<fs::path> Aside;
  for (const auto& Entry : fs::directory_iterator(Folder.Path()))
    if (Contains(Entry.path().filename().string(), "calls.sqlite.damaged-"))
      Aside.push_back(Entry.path());
  ASSERT_EQ(1u, Aside.size());
  EXPECT_EQ(Garbage, FileBytes(Aside[0].string()));
  EXPECT_EQ("100", Numbers(ReadAll(Path)));
  ASSERT_EQ(1u, Messages.Texts().size()) << Messages.All();
  EXPECT_TRUE(
      Contains(Messages.Texts()[0], "is not a database; it was moved to " + Aside[0].string()))
      << Messages.All();
}

TEST(HistoryKeepTest, CallsKeepTheOrderTheyCameInWhateverTheClockSays) {
  TTempFolder Folder;
  const std::string Path = Folder / "calls.sqlite";
  const std::time_t Noon = 1796817600;
  {
    THistoryWriter Writer(Path, nullptr);
    Writer.Deliver(Call(Noon, "1", "FIRST"));
    Writer.Deliver(Call(Noon, "2", "SAME SECOND"));
    Writer.Deliver(Call(Noon - 7200, "3", "CLOCK SET BACK"));
    Writer.Deliver(Call(Noon - 7190, "4", "LATER STILL"));
    EXPECT_EQ("1 2 3 4", Numbers(Writer.Read({}))) << "while they wait";
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  }
  {
    // The next run, the clock still behind.
    THistoryWriter Writer(Path, nullptr);
    Writer.Deliver(Call(Noon - 7000, "5", "NEXT RUN"));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  }
  const std::vector<TCallRecord> Calls = ReadAll(Path);
  EXPECT_EQ("1 2 3 4 5", Numbers(Calls));
  ASSERT_EQ(5u, Calls.size());
  EXPECT_EQ("shown " + std::to_string(Noon - 7200), Calls[2].Time) << "shown as it was";
  EXPECT_EQ(Noon - 7200, Calls[2].Moment);
  EXPECT_EQ("1 2 3 4 5", NumbersInChild(Path));
  THistoryQuery Last;
  Last.Limit = 1;
  EXPECT_EQ("5", Numbers(ReadAll(Path, Last)));
}

} // namespace
