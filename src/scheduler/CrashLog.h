#pragma once
// The crash log: one block appended per crash, naming every run that the
// crash interrupted (the run records the job threads left under crash\jobs).
#include <string>

#include "store/Store.h"
#include "support/StoreTime.h"

namespace zk40 {

// Returns false when the log could not be written; the caller goes on.
bool WriteCrashLog(const std::string& path, const TRegKey& crashJobs, StoreTime now,
                   StoreTime crashedRunStart);

// The block as text (what WriteCrashLog appends).
std::string FormatCrashBlock(const TRegKey& crashJobs, StoreTime now, StoreTime crashedRunStart);

}  // namespace zk40
