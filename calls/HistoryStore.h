// HistoryStore: the call history database, one SQLite file behind an owning wrapper.
//
// Contract:
// - One row per call: the moment (seconds since the epoch and its UTC text), the local text
//   the list shows, the line's name, the number and the name as the line sent them, why each
//   one is absent (AbsenceWord), and the texts the list shows for them. Every value is a bound
//   parameter; texts are cut to MaxHistoryText bytes.
// - Calls are kept in the order they came, not by their clock time: each row has an arrival
//   number (milliseconds, never smaller than the one before it of the same writer, see
//   History.h), and every reader lists by arrival, then row. A clock set back lists later
//   calls after earlier ones all the same, with the times they were shown at.
// - The file is in WAL mode, so readers (another process printing the history) read while a
//   writer writes. After each write the log is folded back into the file when no reader is in
//   the way (Checkpoint), so a file swapped for another one under the writer does not get this
//   file's log laid over it. The schema version is SQLite's user_version; opening for writing
//   migrates an older file step by step inside one transaction, and refuses a newer one
//   (hfNewer).
// - Opening for writing creates the file and its folder, private to the user (0600 and 0700,
//   the journal as the file: callers' data); it first checks that an existing
//   file is a SQLite file at all (hfNotADatabase, the file is left alone) and then that it is
//   sound (quick_check; hfDamaged). Opening for reading never creates or changes anything.
// - Every SQLite result is checked, and mapped to a fault in one place (FaultOf); a failure
//   throws EHistory with the fault and a message that names the file.
// - SameFile tells whether the path still names the file that was opened (device and inode),
//   so that a writer notices a history deleted or replaced by another program.
// - A store belongs to one thread at a time.
#pragma once

#include "calls/CallRecord.h"
#include "common/AdExcept.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

enum THistoryFault {
  hfNone,
  hfLocked,       // another program holds the write lock longer than the busy time
  hfFull,         // the disk or the file size limit is reached
  hfReadOnly,     // the file or its folder cannot be written or created
  hfNotADatabase, // a file that is not a SQLite database
  hfDamaged,      // a SQLite file that is corrupt
  hfNewer,        // written by a later version of the program
  hfOther
};

class EHistory : public Exception {
public:
  EHistory(THistoryFault Fault, const std::string& Message) : Exception(Message), FFault(Fault) {}
  THistoryFault Fault() const { return FFault; }

private:
  THistoryFault FFault;
};

// The fault a SQLite result code stands for, with the errno of the failed system call if any.
THistoryFault FaultOf(int Code, int SystemError = 0);

inline constexpr int HistorySchemaVersion = 4;
inline constexpr size_t MaxHistoryText = 256;

// What to read: every filter is optional. Limit and Offset count from the newest call (page
// 0 is the newest Limit calls); 0 as Limit means no limit. The result is always newest last.
struct THistoryQuery {
  std::optional<std::time_t> Since; // moment >= Since
  std::optional<std::time_t> Until; // moment < Until
  std::string Line;                 // the line's name, exactly
  std::string Text;                 // part of the number, or of the name or contact in any case
  size_t Limit = 0;
  size_t Offset = 0;
};

// Whether a call meets the filters of Query (Limit and Offset aside), as the file's query has it.
bool MatchesQuery(const TCallRecord& Call, const THistoryQuery& Query);

// A stored call, its place in the order of arrival, and the token that names it for good
// ("" for calls written before there were tokens).
struct THistoryCall {
  TCallRecord Call;
  int64_t Arrival = 0;
  std::string Token;
};

enum THistoryOpen { hoWrite, hoRead };

class THistoryStore {
public:
  // Throws EHistory when the file cannot be used in this mode.
  THistoryStore(const std::string& Path, THistoryOpen Mode, int BusyMs);
  ~THistoryStore();
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  const std::string& Path() const { return FPath; }
  int SchemaVersion();

  void Begin();
  void Commit();
  // Never throws: it ends a transaction that already failed.
  void Rollback() noexcept;

  // The new row's id. Arrival 0 stands for the call's own moment.
  int64_t Insert(const TCallRecord& Call, int64_t Arrival = 0, const std::string& Token = "");
  // Writes the call: over the row of the same token when there is one (a later report of the
  // call, or a call written before and handed in again), else as a new row. The row's id.
  int64_t Write(const THistoryCall& Item);
  // The largest arrival in the file, 0 for none.
  int64_t LatestArrival();
  // Folds the write-ahead log back into the file; a reader in the way leaves it for later.
  void Checkpoint() noexcept;
  bool SameFile() const;

  // HistoryId of each record is its row id.
  std::vector<THistoryCall> Query(const THistoryQuery& Query);

private:
  struct TCloseDatabase {
    void operator()(sqlite3* Db) const;
  };
  struct TFinalize {
    void operator()(sqlite3_stmt* Statement) const;
  };
  using TStatement = std::unique_ptr<sqlite3_stmt, TFinalize>;

  void Check(int Code, const char* What);
  void Execute(const char* Sql, const char* What);
  TStatement Prepare(const char* Sql);
  // Binds ?1 (the moment) and ?2 to ?10 (Texts, which must outlive the statement's step).
  void BindCall(sqlite3_stmt* Statement, const TCallRecord& Call,
                const std::vector<std::string>& Texts);
  void Migrate();
  void CheckSound();

  std::string FPath;
  std::unique_ptr<sqlite3, TCloseDatabase> FDb;
  dev_t FDevice = 0; // of the file opened
  ino_t FInode = 0;
};

// Whether a file that exists starts like a SQLite database (an empty file counts as one).
bool LooksLikeSqlite(const std::string& Path);
// The name a damaged file is moved to: Path + ".damaged-" + the UTC moment.
std::string DamagedName(const std::string& Path, std::time_t Moment);
// Moves a damaged file and its write-ahead log aside and drops its shared-memory index;
// returns the new name, "" when the rename failed.
std::string MoveDamagedAside(const std::string& Path, std::time_t Moment);
