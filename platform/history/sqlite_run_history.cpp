#include "platform/history/sqlite_run_history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

namespace tavrin {
namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, job TEXT NOT NULL, started_by TEXT NOT NULL,"
    " started_ms INTEGER NOT NULL, ended_ms INTEGER NOT NULL, seconds REAL NOT NULL, outcome TEXT NOT NULL,"
    " count INTEGER NOT NULL, target TEXT NOT NULL, failure TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS runs_by_job ON runs(job, id);"
    "CREATE INDEX IF NOT EXISTS runs_by_outcome ON runs(job, outcome, id);"
    "CREATE TABLE IF NOT EXISTS totals(job TEXT NOT NULL, outcome TEXT NOT NULL, runs INTEGER NOT NULL,"
    " PRIMARY KEY(job, outcome));"
    "CREATE TABLE IF NOT EXISTS jobs(job TEXT PRIMARY KEY, next_due INTEGER);";

constexpr int kLogPages = 64;

const char kRunColumns[] = "job, started_by, started_ms, ended_ms, seconds, outcome, count, target, failure";

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// An SQLite result code and the text that explains it.
struct Failure {
  int code = SQLITE_OK;
  std::string text;
  explicit operator bool() const { return code != SQLITE_OK; }
};

Failure FailureOf(sqlite3* db, int code) {
  return {code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code)};
}

bool IsDamage(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

Failure Exec(sqlite3* db, const char* sql) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? Failure{} : FailureOf(db, rc);
}

Failure Prepare(sqlite3* db, const char* sql, Stmt* stmt) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  stmt->reset(raw);
  return rc == SQLITE_OK ? Failure{} : FailureOf(db, rc);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Runs a statement that returns no rows.
Failure Step(sqlite3* db, sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  return rc == SQLITE_DONE ? Failure{} : FailureOf(db, rc);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                         : std::string();
}

RunRecord RunOf(sqlite3_stmt* stmt) {
  RunRecord run;
  run.job = ColumnText(stmt, 0);
  run.trigger = ColumnText(stmt, 1);
  run.started_ms = sqlite3_column_int64(stmt, 2);
  run.ended_ms = sqlite3_column_int64(stmt, 3);
  run.seconds = sqlite3_column_double(stmt, 4);
  run.outcome = OutcomeNamed(ColumnText(stmt, 5)).value_or(RunOutcome::kFailed);
  run.count = sqlite3_column_int64(stmt, 6);
  run.target = ColumnText(stmt, 7);
  run.failure = ColumnText(stmt, 8);
  return run;
}

// The newest run of `job` that `condition` selects, when there is one.
Failure NewestRun(sqlite3* db, const std::string& job, const char* condition, std::optional<RunRecord>* out) {
  const std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE job = ?1" + condition +
                          " ORDER BY id DESC LIMIT 1";
  Stmt stmt;
  if (Failure f = Prepare(db, sql.c_str(), &stmt)) return f;
  BindText(stmt.get(), 1, job);
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) {
    *out = RunOf(stmt.get());
  } else if (rc != SQLITE_DONE) {
    return FailureOf(db, rc);
  }
  return {};
}

Failure ReadJob(sqlite3* db, const std::string& name, JobState* state) {
  state->job = name;
  if (Failure f = NewestRun(db, name, "", &state->last_run)) return f;
  if (Failure f = NewestRun(db, name, " AND outcome = 'completed'", &state->last_success)) return f;
  Stmt stmt;
  if (Failure f = Prepare(db, "SELECT outcome, runs FROM totals WHERE job = ?1", &stmt)) return f;
  BindText(stmt.get(), 1, name);
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    if (const auto outcome = OutcomeNamed(ColumnText(stmt.get(), 0)))
      state->totals[*outcome] = sqlite3_column_int64(stmt.get(), 1);
  }
  if (rc != SQLITE_DONE) return FailureOf(db, rc);
  if (Failure f = Prepare(db, "SELECT next_due FROM jobs WHERE job = ?1 AND next_due IS NOT NULL", &stmt))
    return f;
  BindText(stmt.get(), 1, name);
  rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) {
    state->next_due = sqlite3_column_int64(stmt.get(), 0);
  } else if (rc != SQLITE_DONE) {
    return FailureOf(db, rc);
  }
  if (Failure f = Prepare(db, "SELECT count(*) FROM runs WHERE job = ?1", &stmt)) return f;
  BindText(stmt.get(), 1, name);
  rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) return FailureOf(db, rc);
  state->kept = sqlite3_column_int64(stmt.get(), 0);
  return {};
}

// Device and inode of `path`, or {0, 0} when it cannot be looked at.
std::pair<dev_t, ino_t> IdentityOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

// Renames `from` to `to` unless `to` exists; 0 or an errno value.
int RenameNoReplace(const std::string& from, const std::string& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

// Moves the damaged history at `path` (the file whose identity is `seen`)
// aside with its journal files. Sets *aside to where it went; *aside stays
// empty when another process moved it first. 0 or an errno value.
int SetAside(const std::string& path, std::pair<dev_t, ino_t> seen, std::string* aside) {
  if (IdentityOf(path) != seen) return 0;
  std::string name = path + ".damaged-" + UtcStamp();
  int err = RenameNoReplace(path, name);
  if (err == EEXIST) {
    name += "-" + std::to_string(getpid());
    err = RenameNoReplace(path, name);
  }
  if (err != 0) return err;
  *aside = name;
  for (const char* suffix : {"-wal", "-shm"}) RenameNoReplace(path + suffix, name + suffix);
  return 0;
}

}  // namespace

namespace {

// Opens `path` for writing, creating it and its tables when missing, and
// runs `body` in one immediate transaction.
Failure WriteOnce(const std::string& path, const std::function<Failure(sqlite3*)>& body) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) return FailureOf(db.get(), rc);
  sqlite3_busy_timeout(db.get(), SqliteRunHistory::kBusyMilliseconds);
  // The last connection to close would copy the log into the file and sync
  // both, at every run; instead the log is copied, and emptied, once it
  // holds kLogPages pages: few enough for the next open, which reads the
  // whole log, to stay quick.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  int log_pages = 0;
  sqlite3_wal_hook(
      db.get(),
      [](void* pages, sqlite3*, const char*, int count) {
        *static_cast<int*>(pages) = count;
        return SQLITE_OK;
      },
      &log_pages);
  // NORMAL: a commit is not synced at once in WAL mode; a power cut may
  // lose the last runs, never the file.
  if (Failure f = Exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL")) return f;
  if (Failure f = Exec(db.get(), "BEGIN IMMEDIATE")) return f;
  Failure f = Exec(db.get(), kSchema);
  if (!f) f = body(db.get());
  if (!f) f = Exec(db.get(), "COMMIT");
  if (f) {
    Exec(db.get(), "ROLLBACK");
    return f;
  }
  // Best effort: another connection's readers may hold the log a while.
  if (log_pages >= kLogPages)
    sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return f;
}

bool IsBusy(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// WriteOnce, tried again while another writer holds the file. SQLite waits
// for a lock only where waiting cannot deadlock: a connection that read the
// file and now needs to write it (the switch of a new file to WAL while
// others open it too) is told at once that it is busy, and must start over.
Failure WriteWhenFree(const std::string& path, const std::function<Failure(sqlite3*)>& body) {
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(SqliteRunHistory::kBusyMilliseconds);
  for (int attempt = 1;; ++attempt) {
    Failure f = WriteOnce(path, body);
    if (!IsBusy(f.code) || std::chrono::steady_clock::now() >= give_up) return f;
    // Apart, so that the writers that collided do not collide again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + (getpid() + attempt) % 8 * attempt));
  }
}

// WriteWhenFree, and once more in a fresh file after a damaged one was set aside.
std::string Write(const std::string& path, const std::function<Failure(sqlite3*)>& body) {
  const std::pair<dev_t, ino_t> seen = IdentityOf(path);
  Failure f = WriteWhenFree(path, body);
  if (!f) return "";
  if (IsDamage(f.code)) {
    std::string aside;
    if (const int err = SetAside(path, seen, &aside)) {
      return "The run history " + path + " is damaged (" + f.text + ") and cannot be set aside (" +
             std::strerror(err) + "); nothing is recorded.";
    }
    const Failure again = WriteWhenFree(path, body);
    if (aside.empty()) return again ? "The run history " + path + " cannot be written: " + again.text : "";
    const std::string moved = "The run history " + path + " was damaged (" + f.text + "); it was kept as " +
                              aside + " and a new one started";
    return again ? moved + ", which cannot be written either: " + again.text : moved + ".";
  }
  return "The run history " + path + " cannot be written: " + f.text + "; runs are not recorded.";
}

}  // namespace

std::string SqliteRunHistory::Record(const RunRecord& run) {
  return Write(path_, [&run, kept = kept_runs_](sqlite3* db) -> Failure {
    Stmt stmt;
    const std::string insert = std::string("INSERT INTO runs(") + kRunColumns +
                               ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
    if (Failure f = Prepare(db, insert.c_str(), &stmt)) return f;
    BindText(stmt.get(), 1, run.job);
    BindText(stmt.get(), 2, run.trigger);
    sqlite3_bind_int64(stmt.get(), 3, run.started_ms);
    sqlite3_bind_int64(stmt.get(), 4, run.ended_ms);
    sqlite3_bind_double(stmt.get(), 5, run.seconds);
    const std::string outcome(OutcomeName(run.outcome));
    BindText(stmt.get(), 6, outcome);
    sqlite3_bind_int64(stmt.get(), 7, run.count);
    BindText(stmt.get(), 8, run.target);
    BindText(stmt.get(), 9, run.failure);
    if (Failure f = Step(db, stmt.get())) return f;
    if (Failure f = Prepare(db,
                            "INSERT INTO totals(job, outcome, runs) VALUES(?1, ?2, 1)"
                            " ON CONFLICT(job, outcome) DO UPDATE SET runs = runs + 1",
                            &stmt))
      return f;
    BindText(stmt.get(), 1, run.job);
    BindText(stmt.get(), 2, outcome);
    if (Failure f = Step(db, stmt.get())) return f;
    // The newest `kept` stay, and the last success beyond them.
    if (Failure f = Prepare(db,
                            "DELETE FROM runs WHERE job = ?1 AND id <= (SELECT id FROM runs WHERE job = ?1"
                            " ORDER BY id DESC LIMIT 1 OFFSET ?2) AND id IS NOT (SELECT max(id) FROM runs"
                            " WHERE job = ?1 AND outcome = 'completed')",
                            &stmt))
      return f;
    BindText(stmt.get(), 1, run.job);
    sqlite3_bind_int64(stmt.get(), 2, kept);
    return Step(db, stmt.get());
  });
}

std::string SqliteRunHistory::RecordNextDue(const std::vector<std::pair<std::string, int64_t>>& due) {
  return Write(path_, [&due](sqlite3* db) -> Failure {
    Stmt stmt;
    if (Failure f = Prepare(db,
                            "INSERT INTO jobs(job, next_due) VALUES(?1, ?2)"
                            " ON CONFLICT(job) DO UPDATE SET next_due = excluded.next_due",
                            &stmt))
      return f;
    for (const auto& [name, when] : due) {
      sqlite3_reset(stmt.get());
      BindText(stmt.get(), 1, name);
      sqlite3_bind_int64(stmt.get(), 2, when);
      if (Failure f = Step(db, stmt.get())) return f;
    }
    return {};
  });
}

std::string SqliteRunHistory::Read(const std::vector<std::string>& jobs, std::vector<JobState>* out) {
  out->clear();
  std::vector<std::string> names = jobs;
  auto unread = [&names, out] {
    for (const std::string& name : names) {
      JobState state;
      state.job = name;
      out->push_back(std::move(state));
    }
    return std::string();
  };
  if (access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return unread();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Db db(raw);
  auto fail = [this, out](const Failure& f) {
    out->clear();
    return "The run history " + path_ + " cannot be read: " + f.text;
  };
  if (rc != SQLITE_OK) return fail(FailureOf(db.get(), rc));
  sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
  // One snapshot for every job.
  if (Failure f = Exec(db.get(), "BEGIN")) return fail(f);
  Stmt stmt;
  if (Failure f = Prepare(db.get(), "SELECT count(*) FROM sqlite_master WHERE name = 'runs'", &stmt))
    return fail(f);
  rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) return fail(FailureOf(db.get(), rc));
  if (sqlite3_column_int64(stmt.get(), 0) == 0) return unread();  // created, no run recorded yet
  if (names.empty()) {
    if (Failure f = Prepare(db.get(), "SELECT job FROM runs UNION SELECT job FROM jobs ORDER BY 1", &stmt))
      return fail(f);
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) names.push_back(ColumnText(stmt.get(), 0));
    if (rc != SQLITE_DONE) return fail(FailureOf(db.get(), rc));
  }
  for (const std::string& name : names) {
    JobState state;
    if (Failure f = ReadJob(db.get(), name, &state)) return fail(f);
    out->push_back(std::move(state));
  }
  Exec(db.get(), "COMMIT");
  return "";
}

}  // namespace tavrin
