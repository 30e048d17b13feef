#pragma once
// The crash log: one block appended per crash, naming every run that the
// crash interrupted (the run records the job threads left under crash\jobs),
// and ending what those runs' programs left running.
#include <string>

#include "store/Store.h"
#include "support/StoreTime.h"

namespace zk40 {

// A run record value per process group an action started: "PGRP-<id>" =
// the leader's ProcessIdentity.
inline constexpr char kRunRecordGroupPrefix[] = "PGRP-";

struct CrashReport {
    unsigned runs = 0;          // run records reported
    unsigned groupsEnded = 0;   // process groups of those runs that were ended
    bool logWritten = false;
    std::string logError;       // why the log could not be written
};

// Reports the run records under crashKey\jobs in the crash log and deletes
// them, exactly once even when the program is killed half-way: the block is
// kept in the store (crash\PendingReport) before it is appended, appended
// only when the log does not already end with it, and dropped together with
// the records. A report left pending by an earlier start is finished first.
// Process groups the records name are ended when they are still the
// programs that were started (graceMs for them to stop).
CrashReport ReportCrash(const std::string& logPath, const TRegKey& crashKey, StoreTime now,
                        StoreTime crashedRunStart, int graceMs = 5000);

// Finishes a report an earlier start was stopped in; false when there was
// none.
bool FinishPendingCrashReport(const std::string& logPath, const TRegKey& crashKey);

}  // namespace zk40
