#include "store/RunHistory.h"

#include <sqlite3.h>

#include "store/Store.h"

namespace zk40 {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS run_history("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, job INTEGER NOT NULL, job_name TEXT NOT NULL,"
    " start INTEGER NOT NULL, end INTEGER NOT NULL, result INTEGER NOT NULL,"
    " status TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS run_history_by_job ON run_history(job, id);"
    "CREATE TABLE IF NOT EXISTS run_history_actions("
    " run INTEGER NOT NULL REFERENCES run_history(id) ON DELETE CASCADE,"
    " pos INTEGER NOT NULL, name TEXT NOT NULL, vendor TEXT NOT NULL, module TEXT NOT NULL,"
    " action TEXT NOT NULL, result INTEGER NOT NULL, status TEXT NOT NULL,"
    " status2 TEXT NOT NULL, output TEXT NOT NULL, PRIMARY KEY(run, pos));";

// Output lines are stored joined; a kept line never holds a newline.
std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += lines[i];
    }
    return out;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    size_t pos = 0;
    for (;;) {
        size_t nl = text.find('\n', pos);
        out.push_back(text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return out;
}

std::string Column(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(s, i))
             : std::string();
}

void BindText(sqlite3_stmt* s, int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    sqlite3_stmt* get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    sqlite3_stmt* s_ = nullptr;
};

}  // namespace

uint32_t HistoryRunsSetting(const TRegKey& base) {
    uint32_t n = base.GetDword("RunHistoryRuns", kDefaultHistoryRuns);
    return n == 0 ? 1 : n;
}

std::unique_ptr<TRunHistory> TRunHistory::Open(const std::string& storePath, std::string* error) {
    std::unique_ptr<TRunHistory> h(new TRunHistory);
    int rc = sqlite3_open_v2(storePath.c_str(), &h->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = storePath + ": " + (h->db_ ? sqlite3_errmsg(h->db_) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(h->db_, 10000);
    if (!h->Exec("PRAGMA foreign_keys=ON") || !h->Exec(kSchema)) {
        if (error) *error = storePath + ": " + sqlite3_errmsg(h->db_);
        return nullptr;
    }
    return h;
}

std::unique_ptr<TRunHistory> TRunHistory::Open(TStore& store, std::string* error) {
    std::unique_ptr<TRunHistory> h(new TRunHistory);
    h->store_ = &store;
    h->db_ = store.Handle();
    auto lock = h->Lock();
    if (!h->db_ || !store.ExecOnce(kSchema)) {
        if (error) *error = store.Path() + ": " + (h->db_ ? sqlite3_errmsg(h->db_) : "not open");
        return nullptr;
    }
    return h;
}

TRunHistory::~TRunHistory() {
    if (!store_) sqlite3_close_v2(db_);
}

std::unique_lock<std::recursive_mutex> TRunHistory::Lock() {
    return store_ ? std::unique_lock<std::recursive_mutex>(store_->Mutex())
                  : std::unique_lock<std::recursive_mutex>();
}

bool TRunHistory::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool TRunHistory::Add(RunRecord& run, uint32_t keep, std::string* error) {
    auto lock = Lock();
    bool ok;
    if (store_) {
        // Nested in whatever transaction the store has open on this thread.
        ok = store_->Transaction([&] { return Insert(run, keep); });
    } else {
        ok = Exec("BEGIN IMMEDIATE") && Insert(run, keep) && Exec("COMMIT");
        if (!ok && error) *error = sqlite3_errmsg(db_);
        if (!ok) Exec("ROLLBACK");
    }
    if (!ok && error && error->empty()) *error = sqlite3_errmsg(db_);
    // Its tables may have gone from under us (a store put back from a copy):
    // the next one made on this connection sets them up again.
    if (!ok && store_) store_->ForgetOnce(kSchema);
    return ok;
}

bool TRunHistory::Insert(RunRecord& run, uint32_t keep) {
    Stmt ins(db_,
             "INSERT INTO run_history(job, job_name, start, end, result, status)"
             " VALUES(?,?,?,?,?,?)");
    if (!ins) return false;
    sqlite3_bind_int64(ins.get(), 1, run.JobId);
    BindText(ins.get(), 2, run.JobName);
    sqlite3_bind_int64(ins.get(), 3, run.Start);
    sqlite3_bind_int64(ins.get(), 4, run.End);
    sqlite3_bind_int64(ins.get(), 5, run.Result);
    BindText(ins.get(), 6, run.Status);
    if (sqlite3_step(ins.get()) != SQLITE_DONE) return false;
    run.Id = sqlite3_last_insert_rowid(db_);
    Stmt act(db_,
             "INSERT INTO run_history_actions(run, pos, name, vendor, module, action, result,"
             " status, status2, output) VALUES(?,?,?,?,?,?,?,?,?,?)");
    if (!act) return false;
    for (size_t i = 0; i < run.Actions.size(); ++i) {
        const ActionRunRecord& a = run.Actions[i];
        sqlite3_reset(act.get());
        sqlite3_bind_int64(act.get(), 1, run.Id);
        sqlite3_bind_int64(act.get(), 2, static_cast<int64_t>(i));
        BindText(act.get(), 3, a.Name);
        BindText(act.get(), 4, a.VendorID);
        BindText(act.get(), 5, a.ModuleID);
        BindText(act.get(), 6, a.ActionID);
        sqlite3_bind_int64(act.get(), 7, a.Result);
        BindText(act.get(), 8, a.Status);
        BindText(act.get(), 9, a.Status2);
        BindText(act.get(), 10, Join(a.Output));
        if (sqlite3_step(act.get()) != SQLITE_DONE) return false;
    }
    Stmt trim(db_,
              "DELETE FROM run_history WHERE job = ?1 AND id NOT IN"
              " (SELECT id FROM run_history WHERE job = ?1 ORDER BY id DESC LIMIT ?2)");
    if (!trim) return false;
    sqlite3_bind_int64(trim.get(), 1, run.JobId);
    sqlite3_bind_int64(trim.get(), 2, keep == 0 ? 1 : keep);
    return sqlite3_step(trim.get()) == SQLITE_DONE;
}

std::vector<RunRecord> TRunHistory::Query(const char* sql, int64_t a, int64_t b, bool withActions) {
    auto lock = Lock();
    std::vector<RunRecord> out;
    {
        Stmt q(db_, sql);
        if (!q) return out;
        sqlite3_bind_int64(q.get(), 1, a);
        sqlite3_bind_int64(q.get(), 2, b);
        while (sqlite3_step(q.get()) == SQLITE_ROW) {
            RunRecord r;
            r.Id = sqlite3_column_int64(q.get(), 0);
            r.JobId = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 1));
            r.JobName = Column(q.get(), 2);
            r.Start = static_cast<StoreTime>(sqlite3_column_int64(q.get(), 3));
            r.End = static_cast<StoreTime>(sqlite3_column_int64(q.get(), 4));
            r.Result = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 5));
            r.Status = Column(q.get(), 6);
            out.push_back(std::move(r));
        }
    }
    if (!withActions) return out;
    Stmt act(db_,
             "SELECT name, vendor, module, action, result, status, status2, output"
             " FROM run_history_actions WHERE run = ? ORDER BY pos");
    if (!act) return out;
    for (RunRecord& r : out) {
        sqlite3_reset(act.get());
        sqlite3_bind_int64(act.get(), 1, r.Id);
        while (sqlite3_step(act.get()) == SQLITE_ROW) {
            ActionRunRecord a;
            a.Name = Column(act.get(), 0);
            a.VendorID = Column(act.get(), 1);
            a.ModuleID = Column(act.get(), 2);
            a.ActionID = Column(act.get(), 3);
            a.Result = static_cast<uint32_t>(sqlite3_column_int64(act.get(), 4));
            a.Status = Column(act.get(), 5);
            a.Status2 = Column(act.get(), 6);
            a.Output = Split(Column(act.get(), 7));
            r.Actions.push_back(std::move(a));
        }
    }
    return out;
}

std::vector<RunRecord> TRunHistory::Runs(uint32_t jobId, uint32_t limit) {
    return Query(
        "SELECT id, job, job_name, start, end, result, status FROM run_history"
        " WHERE job = ?1 ORDER BY id DESC LIMIT ?2",
        jobId, limit, true);
}

std::vector<RunRecord> TRunHistory::LastRuns() {
    return Query(
        "SELECT id, job, job_name, start, end, result, status FROM run_history"
        " WHERE id IN (SELECT MAX(id) FROM run_history GROUP BY job) AND ?1 = ?2",
        0, 0, false);
}

bool TRunHistory::ForgetJob(uint32_t jobId) {
    auto lock = Lock();
    Stmt del(db_, "DELETE FROM run_history WHERE job = ?");
    if (!del) return false;
    sqlite3_bind_int64(del.get(), 1, jobId);
    return sqlite3_step(del.get()) == SQLITE_DONE;
}

}  // namespace zk40
