#pragma once
// The run history: one record per finished run of a job (when it started
// and ended, how it went, the job's and each action's final status lines
// and the output lines the action kept). It lives in the store's database
// file, in tables of its own beside the key tree, so the layout of the jobs
// stays as it was and older programs never see it. Only the newest runs of
// each job are kept (base\RunHistoryRuns, 50 unless set).
//
// Written by the job thread at the end of a run; read by `zk40 log` and
// the window. Another process opens it with a connection of its own; the
// program itself writes through its store's connection, so that its own
// runs never look to it like another process's change of the store.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/StoreTime.h"

struct sqlite3;

namespace zk40 {

class TRegKey;
class TStore;

struct ActionRunRecord {
    std::string Name;
    std::string VendorID, ModuleID, ActionID;
    uint32_t Result = 0;  // 0 success or skipped, 1 failed
    std::string Status, Status2;
    std::vector<std::string> Output;  // the lines the action kept
};

struct RunRecord {
    int64_t Id = 0;  // grows with every run recorded
    uint32_t JobId = 0;
    std::string JobName;
    StoreTime Start = 0, End = 0;
    uint32_t Result = 0;  // 0 success, 1 at least one action failed
    std::string Status;   // the job's own final status line
    std::vector<ActionRunRecord> Actions;
};

inline constexpr uint32_t kDefaultHistoryRuns = 50;
// How many runs of each job are kept: base\RunHistoryRuns, at least 1.
uint32_t HistoryRunsSetting(const TRegKey& base);

class TRunHistory {
public:
    // Opens the history beside the keys of the store file at storePath,
    // with a connection of its own; one thread at a time may use it.
    static std::unique_ptr<TRunHistory> Open(const std::string& storePath,
                                             std::string* error = nullptr);
    // Uses the store's own connection (under the store's lock, so any
    // thread may use it); the store must outlive the history.
    static std::unique_ptr<TRunHistory> Open(TStore& store, std::string* error = nullptr);
    ~TRunHistory();
    TRunHistory(const TRunHistory&) = delete;
    TRunHistory& operator=(const TRunHistory&) = delete;

    // Adds the run and drops the job's runs beyond the newest `keep`, in
    // one commit. False (with the reason in error) when the store refused.
    bool Add(RunRecord& run, uint32_t keep, std::string* error = nullptr);
    // The newest `limit` runs of the job, newest first.
    std::vector<RunRecord> Runs(uint32_t jobId, uint32_t limit);
    // The newest run of every job that has one (for listings of many jobs).
    std::vector<RunRecord> LastRuns();
    // Forgets every run of the job (the job was deleted; its identifier may
    // be given to another job later).
    bool ForgetJob(uint32_t jobId);

private:
    TRunHistory() = default;
    std::unique_lock<std::recursive_mutex> Lock();
    bool Insert(RunRecord& run, uint32_t keep);
    bool Exec(const char* sql);
    std::vector<RunRecord> Query(const char* sql, int64_t a, int64_t b, bool withActions);
    sqlite3* db_ = nullptr;
    TStore* store_ = nullptr;  // whose connection db_ is, when borrowed
};

}  // namespace zk40
