// The call history database.
#include "calls/HistoryStore.h"

#include "platform/SafeFile.h"
#include "platform/Text.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <system_error>

namespace fs = std::filesystem;

namespace {

void MakePrivateFile(const std::string& Path) {
  // Callers' numbers and names are the user's alone: a folder made for them is 0700, a new
  // file 0600 (SQLite gives its journal the file's mode). What cannot be made here fails
  // when SQLite opens the file, which says why.
  Platform::MakeDirectories(fs::path(Path).parent_path().string(), 0700);
  const int File = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (File >= 0)
    ::close(File);
}

// Each step takes the file from the version before it to its own; the first one makes the
// table. A step is never changed once released: a new layout is a new step.
const char* const MigrationSteps[HistorySchemaVersion] = {
    // 1: the calls.
    "CREATE TABLE calls ("
    " id INTEGER PRIMARY KEY,"
    " moment INTEGER NOT NULL,"  // seconds since the epoch
    " utc TEXT NOT NULL,"        // the same moment, YYYY-MM-DDTHH:MM:SSZ
    " local_time TEXT NOT NULL," // as the list shows it
    " line TEXT NOT NULL,"
    " number TEXT NOT NULL," // as the line sent it, '' when absent
    " name TEXT NOT NULL,"
    " number_absent TEXT NOT NULL," // '', 'withheld', 'out-of-area', 'unavailable'
    " name_absent TEXT NOT NULL,"
    " shown_number TEXT NOT NULL," // the list's texts
    " shown_name TEXT NOT NULL);",
    // 2: reading by date and by line stays quick on a long history.
    "CREATE INDEX calls_moment ON calls (moment, id);"
    "CREATE INDEX calls_line ON calls (line, moment);",
    // 3: what the call screen decided: the contact's name ('' for none) and blocked (0/1).
    "ALTER TABLE calls ADD COLUMN contact TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE calls ADD COLUMN blocked INTEGER NOT NULL DEFAULT 0;",
    // 4: the order the calls came in (milliseconds), apart from what the clock said; the
    // earlier rows came in the order of their moments.
    // The token names one call for good, so that a call written again (from the spool, or a
    // later report of it) finds its row and never another call's.
    "ALTER TABLE calls ADD COLUMN arrival INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE calls ADD COLUMN token TEXT NOT NULL DEFAULT '';"
    "UPDATE calls SET arrival = moment * 1000;"
    "CREATE INDEX calls_arrival ON calls (arrival, id);"
    "CREATE INDEX calls_token ON calls (token) WHERE token <> '';",
};

std::string Cut(const std::string& Text) {
  return Text.size() <= MaxHistoryText ? Text : Text.substr(0, MaxHistoryText);
}

TAbsence AbsenceFromWord(const std::string& Word) {
  for (TAbsence Reason : {abWithheld, abOutOfArea, abUnavailable})
    if (Word == AbsenceWord(Reason))
      return Reason;
  return abNone;
}

std::string ColumnText(sqlite3_stmt* Statement, int Column) {
  const unsigned char* Text = sqlite3_column_text(Statement, Column);
  return Text == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(Text),
                           static_cast<size_t>(sqlite3_column_bytes(Statement, Column)));
}

const char* FaultText(THistoryFault Fault) {
  switch (Fault) {
  case hfLocked:
    return "is locked by another program";
  case hfFull:
    return "cannot grow: the disk is full, the file size limit is reached or a write failed";
  case hfReadOnly:
    return "cannot be written (a read-only file or folder)";
  case hfNotADatabase:
    return "is not a database";
  case hfDamaged:
    return "is damaged";
  case hfNewer:
    return "was written by a later version of Ringlet";
  case hfNone:
  case hfOther:
    break;
  }
  return "cannot be used";
}

} // namespace

THistoryFault FaultOf(int Code, int SystemError) {
  // A write cut short by the file size limit or a full disk ends as a plain write error, and
  // SQLite does not always keep the errno.
  if (SystemError == EFBIG || SystemError == ENOSPC || Code == SQLITE_IOERR_WRITE)
    return hfFull;
  switch (Code & 0xFF) {
  case SQLITE_OK:
  case SQLITE_ROW:
  case SQLITE_DONE:
    return hfNone;
  case SQLITE_BUSY:
  case SQLITE_LOCKED:
    return hfLocked;
  case SQLITE_FULL:
    return hfFull;
  case SQLITE_READONLY:
  case SQLITE_CANTOPEN:
  case SQLITE_PERM:
  case SQLITE_AUTH:
    return hfReadOnly;
  case SQLITE_NOTADB:
    return hfNotADatabase;
  case SQLITE_CORRUPT:
    return hfDamaged;
  default:
    return hfOther;
  }
}

void THistoryStore::TCloseDatabase::operator()(sqlite3* Db) const {
  // Statements are finalised before; close_v2 also copes with any left.
  sqlite3_close_v2(Db);
}

void THistoryStore::TFinalize::operator()(sqlite3_stmt* Statement) const {
  sqlite3_finalize(Statement);
}

THistoryStore::THistoryStore(const std::string& Path, THistoryOpen Mode, int BusyMs) : FPath(Path) {
  if (Mode == hoWrite)
    MakePrivateFile(Path);
  if (!LooksLikeSqlite(Path))
    throw EHistory(hfNotADatabase, "the call history " + Path + " " + FaultText(hfNotADatabase) +
                                       "; it is left as it is");
  const int Flags =
      Mode == hoWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  sqlite3* Db = nullptr;
  const int Opened = sqlite3_open_v2(Path.c_str(), &Db, Flags | SQLITE_OPEN_NOMUTEX, nullptr);
  FDb.reset(Db);
  Check(Opened, "open");
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) == 0) {
    FDevice = Info.st_dev;
    FInode = Info.st_ino;
  }
  Check(sqlite3_extended_result_codes(FDb.get(), 1), "set up");
  Check(sqlite3_busy_timeout(FDb.get(), BusyMs), "set up");
  if (Mode == hoRead)
    return;
  Execute("PRAGMA journal_mode=WAL;", "switch to WAL");
  CheckSound();
  Migrate();
}

THistoryStore::~THistoryStore() = default;

void THistoryStore::Check(int Code, const char* What) {
  if (FaultOf(Code) == hfNone)
    return;
  const int System = FDb != nullptr ? sqlite3_system_errno(FDb.get()) : 0;
  THistoryFault Fault = FaultOf(Code, System);
  // The file was checked to start like a SQLite file before it was opened: one that SQLite
  // then refuses is a damaged one.
  if (Fault == hfNotADatabase)
    Fault = hfDamaged;
  std::string Detail = FDb != nullptr ? sqlite3_errmsg(FDb.get()) : sqlite3_errstr(Code);
  // After a refused open SQLite's errno is that of its last fallback, which misleads.
  if (System != 0 && (Fault == hfFull || Fault == hfOther))
    Detail += std::string(", ") + std::strerror(System);
  throw EHistory(Fault, "the call history " + FPath + " " + FaultText(Fault) + " (" + What + ": " +
                            Detail + ")");
}

void THistoryStore::Execute(const char* Sql, const char* What) {
  Check(sqlite3_exec(FDb.get(), Sql, nullptr, nullptr, nullptr), What);
}

THistoryStore::TStatement THistoryStore::Prepare(const char* Sql) {
  sqlite3_stmt* Statement = nullptr;
  const int Code = sqlite3_prepare_v2(FDb.get(), Sql, -1, &Statement, nullptr);
  TStatement Result(Statement);
  Check(Code, "prepare");
  return Result;
}

int THistoryStore::SchemaVersion() {
  TStatement Statement = Prepare("PRAGMA user_version;");
  const int Code = sqlite3_step(Statement.get());
  Check(Code, "read the schema version");
  return Code == SQLITE_ROW ? sqlite3_column_int(Statement.get(), 0) : 0;
}

void THistoryStore::CheckSound() {
  TStatement Statement = Prepare("PRAGMA quick_check(1);");
  const int Code = sqlite3_step(Statement.get());
  Check(Code, "check");
  if (Code != SQLITE_ROW)
    return;
  std::string Finding = ColumnText(Statement.get(), 0);
  if (Finding == "ok")
    return;
  // The finding spans lines; a message is one.
  std::replace(Finding.begin(), Finding.end(), '\n', ' ');
  throw EHistory(hfDamaged,
                 "the call history " + FPath + " " + FaultText(hfDamaged) + " (" + Finding + ")");
}

void THistoryStore::Migrate() {
  // The immediate transaction makes two writers starting at once migrate one after the other.
  Execute("BEGIN IMMEDIATE;", "begin the migration");
  try {
    const int Version = SchemaVersion();
    if (Version > HistorySchemaVersion)
      throw EHistory(hfNewer, "the call history " + FPath + " " + FaultText(hfNewer) + " (schema " +
                                  std::to_string(Version) + ")");
    for (int Step = Version; Step < HistorySchemaVersion; ++Step)
      Execute(MigrationSteps[Step], "migrate");
    if (Version < HistorySchemaVersion)
      Execute(("PRAGMA user_version=" + std::to_string(HistorySchemaVersion) + ";").c_str(),
              "migrate");
    Execute("COMMIT;", "migrate");
  } catch (...) {
    Rollback();
    throw;
  }
}

void THistoryStore::Begin() {
  Execute("BEGIN IMMEDIATE;", "begin a write");
}

void THistoryStore::Commit() {
  Execute("COMMIT;", "write");
}

void THistoryStore::Rollback() noexcept {
  if (sqlite3_get_autocommit(FDb.get()) == 0)
    sqlite3_exec(FDb.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
}

namespace {

// The texts a row is made of, in the order of the statements' parameters ?2 to ?11.
std::vector<std::string> CallTexts(const TCallRecord& Call) {
  return {Platform::UtcText(Call.Moment),
          Cut(Call.Time),
          Cut(Call.Line),
          Cut(Call.Number),
          Cut(Call.Name),
          AbsenceWord(Call.NumberAbsent),
          AbsenceWord(Call.NameAbsent),
          Cut(Call.ID),
          Cut(Call.IDName),
          Cut(Call.Contact)};
}

} // namespace

void THistoryStore::BindCall(sqlite3_stmt* Statement, const TCallRecord& Call,
                             const std::vector<std::string>& Texts) {
  Check(sqlite3_bind_int64(Statement, 1, static_cast<sqlite3_int64>(Call.Moment)), "write");
  int Index = 2;
  for (const std::string& Text : Texts)
    Check(sqlite3_bind_text(Statement, Index++, Text.c_str(), static_cast<int>(Text.size()),
                            SQLITE_STATIC),
          "write");
  Check(sqlite3_bind_int(Statement, Index, Call.Blocked ? 1 : 0), "write");
}

int64_t THistoryStore::Insert(const TCallRecord& Call, int64_t Arrival, const std::string& Token) {
  TStatement Statement =
      Prepare("INSERT INTO calls (moment, utc, local_time, line, number, name, number_absent,"
              " name_absent, shown_number, shown_name, contact, blocked, arrival, token)"
              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14);");
  const std::vector<std::string> Texts = CallTexts(Call);
  BindCall(Statement.get(), Call, Texts);
  const int64_t Order = Arrival != 0 ? Arrival : static_cast<int64_t>(Call.Moment) * 1000;
  Check(sqlite3_bind_int64(Statement.get(), 13, Order), "write");
  Check(sqlite3_bind_text(Statement.get(), 14, Token.c_str(), static_cast<int>(Token.size()),
                          SQLITE_STATIC),
        "write");
  Check(sqlite3_step(Statement.get()), "write");
  return sqlite3_last_insert_rowid(FDb.get());
}

int64_t THistoryStore::Write(const THistoryCall& Item) {
  const TCallRecord& Call = Item.Call;
  if (Item.Token.empty())
    return Insert(Call, Item.Arrival);
  TStatement Find = Prepare("SELECT id FROM calls WHERE token = ?1;");
  Check(sqlite3_bind_text(Find.get(), 1, Item.Token.c_str(), static_cast<int>(Item.Token.size()),
                          SQLITE_STATIC),
        "write");
  const int Found = sqlite3_step(Find.get());
  Check(Found, "write");
  if (Found != SQLITE_ROW)
    return Insert(Call, Item.Arrival, Item.Token);
  const int64_t Row = sqlite3_column_int64(Find.get(), 0);
  TStatement Statement = Prepare(
      "UPDATE calls SET moment = ?1, utc = ?2, local_time = ?3, line = ?4, number = ?5,"
      " name = ?6, number_absent = ?7, name_absent = ?8, shown_number = ?9, shown_name = ?10,"
      " contact = ?11, blocked = ?12 WHERE id = ?13;");
  const std::vector<std::string> Texts = CallTexts(Call);
  BindCall(Statement.get(), Call, Texts);
  Check(sqlite3_bind_int64(Statement.get(), 13, Row), "write");
  Check(sqlite3_step(Statement.get()), "write");
  return Row;
}

int64_t THistoryStore::LatestArrival() {
  TStatement Statement = Prepare(SchemaVersion() >= 4 ? "SELECT max(arrival) FROM calls;"
                                                      : "SELECT max(moment) * 1000 FROM calls;");
  const int Code = sqlite3_step(Statement.get());
  Check(Code, "read");
  return Code == SQLITE_ROW ? sqlite3_column_int64(Statement.get(), 0) : 0;
}

void THistoryStore::Checkpoint() noexcept {
  // Best effort by design: the calls are committed already, and a reader that holds the log
  // only means it is folded back at a later write.
  [[maybe_unused]] const int Ignored =
      sqlite3_wal_checkpoint_v2(FDb.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

bool THistoryStore::SameFile() const {
  struct stat Info {};
  return ::stat(FPath.c_str(), &Info) == 0 && Info.st_dev == FDevice && Info.st_ino == FInode;
}

std::vector<THistoryCall> THistoryStore::Query(const THistoryQuery& Query) {
  // A reader never migrates: the columns an older file lacks read as what the migration
  // would have given them.
  const int Version = SchemaVersion();
  const std::string Contact = Version >= 3 ? "contact" : "''";
  const std::string Blocked = Version >= 3 ? "blocked" : "0";
  const std::string Arrival = Version >= 4 ? "arrival" : "moment * 1000";
  const std::string Token = Version >= 4 ? "token" : "''";
  // Newest first with the limit applied, turned round afterwards: "the last N" is one query.
  const std::string Sql =
      "SELECT id, moment, local_time, line, number, name, number_absent, name_absent,"
      " shown_number, shown_name, " +
      Contact + ", " + Blocked + ", " + Arrival + ", " + Token +
      " FROM calls"
      " WHERE (?1 IS NULL OR moment >= ?1) AND (?2 IS NULL OR moment < ?2)"
      " AND (?3 = '' OR line = ?3)"
      " AND (?4 = '' OR instr(number, ?4) > 0 OR instr(lower(name), lower(?4)) > 0"
      "      OR instr(lower(" +
      Contact +
      "), lower(?4)) > 0)"
      " ORDER BY " +
      Arrival + " DESC, id DESC LIMIT ?5 OFFSET ?6;";
  TStatement Statement = Prepare(Sql.c_str());
  sqlite3_stmt* S = Statement.get();
  if (Query.Since)
    Check(sqlite3_bind_int64(S, 1, static_cast<sqlite3_int64>(*Query.Since)), "read");
  if (Query.Until)
    Check(sqlite3_bind_int64(S, 2, static_cast<sqlite3_int64>(*Query.Until)), "read");
  Check(sqlite3_bind_text(S, 3, Query.Line.c_str(), static_cast<int>(Query.Line.size()),
                          SQLITE_STATIC),
        "read");
  Check(sqlite3_bind_text(S, 4, Query.Text.c_str(), static_cast<int>(Query.Text.size()),
                          SQLITE_STATIC),
        "read");
  Check(sqlite3_bind_int64(S, 5, Query.Limit == 0 ? -1 : static_cast<sqlite3_int64>(Query.Limit)),
        "read");
  Check(sqlite3_bind_int64(S, 6, static_cast<sqlite3_int64>(Query.Offset)), "read");
  std::vector<THistoryCall> Calls;
  for (;;) {
    const int Code = sqlite3_step(S);
    Check(Code, "read");
    if (Code != SQLITE_ROW)
      break;
    THistoryCall Stored;
    TCallRecord& Call = Stored.Call;
    Call.HistoryId = static_cast<uint64_t>(sqlite3_column_int64(S, 0));
    Call.Moment = static_cast<std::time_t>(sqlite3_column_int64(S, 1));
    Call.Time = ColumnText(S, 2);
    Call.Line = ColumnText(S, 3);
    Call.Number = ColumnText(S, 4);
    Call.Name = ColumnText(S, 5);
    Call.NumberAbsent = AbsenceFromWord(ColumnText(S, 6));
    Call.NameAbsent = AbsenceFromWord(ColumnText(S, 7));
    Call.ID = ColumnText(S, 8);
    Call.IDName = ColumnText(S, 9);
    Call.Contact = ColumnText(S, 10);
    Call.Blocked = sqlite3_column_int(S, 11) != 0;
    Stored.Arrival = sqlite3_column_int64(S, 12);
    Stored.Token = ColumnText(S, 13);
    Calls.push_back(std::move(Stored));
  }
  return {Calls.rbegin(), Calls.rend()};
}

namespace {

std::string LowerAscii(std::string Text) {
  for (char& C : Text)
    if (C >= 'A' && C <= 'Z')
      C = static_cast<char>(C - 'A' + 'a');
  return Text;
}

} // namespace

bool MatchesQuery(const TCallRecord& Call, const THistoryQuery& Query) {
  if ((Query.Since && Call.Moment < *Query.Since) || (Query.Until && Call.Moment >= *Query.Until))
    return false;
  if (!Query.Line.empty() && Cut(Call.Line) != Query.Line)
    return false;
  if (Query.Text.empty() || Call.Number.find(Query.Text) != std::string::npos)
    return true;
  const std::string Text = LowerAscii(Query.Text);
  return LowerAscii(Call.Name).find(Text) != std::string::npos ||
         LowerAscii(Call.Contact).find(Text) != std::string::npos;
}

bool LooksLikeSqlite(const std::string& Path) {
  std::ifstream File(Path, std::ios::binary);
  if (!File)
    return true; // missing or unreadable: opening says which
  char Header[16] = {};
  File.read(Header, sizeof Header);
  const std::streamsize Got = File.gcount();
  return Got == 0 || (Got == sizeof Header && std::memcmp(Header, "SQLite format 3", 16) == 0);
}

std::string DamagedName(const std::string& Path, std::time_t Moment) {
  std::tm Utc{};
  gmtime_r(&Moment, &Utc);
  char Stamp[32];
  std::strftime(Stamp, sizeof Stamp, "%Y%m%dT%H%M%SZ", &Utc);
  return Path + ".damaged-" + Stamp;
}

std::string MoveDamagedAside(const std::string& Path, std::time_t Moment) {
  std::string Target = DamagedName(Path, Moment);
  // A second damaged file within the same second gets a number of its own.
  for (int N = 2; fs::exists(Target); ++N)
    Target = DamagedName(Path, Moment) + "-" + std::to_string(N);
  if (std::rename(Path.c_str(), Target.c_str()) != 0)
    return "";
  // The log may hold the last committed calls of the damaged file: it goes with it.
  std::error_code Ignored;
  if (fs::exists(Path + "-wal", Ignored))
    fs::rename(Path + "-wal", Target + "-wal", Ignored);
  fs::remove(Path + "-shm", Ignored);
  return Target;
}
