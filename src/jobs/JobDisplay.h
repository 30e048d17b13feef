#pragma once
// How a job and its actions look in the tree: the status line, the
// next-run suffix and the image index of each node. Plain functions of a
// snapshot, so that the rules are tested without a window.
#include <cstdint>
#include <functional>
#include <string>

#include "jobs/NextRun.h"
#include "jobs/Snapshot.h"
#include "support/StoreTime.h"

namespace zk40 {

// The life of a job, as its State value stores it.
enum class JobState : uint32_t {
    Creating = 1,        // made, not yet saved by its dialog
    Ready = 2,           // created by the user, not yet run
    StartRequested = 3,  // the tick started it; its thread has not begun
    Running = 4,
    Completed = 5,       // idle: loaded, reaped or re-queued
    Cancelled = 6,       // shown if stored, but nothing sets it
};
constexpr uint32_t operator+(JobState s) { return static_cast<uint32_t>(s); }

// Indices into the tree's image list.
enum TreeImage : int {
    kImgJobScheduled = 0,
    kImgStatusLine = 1,
    kImgJobScheduledFailed = 3,
    kImgActionOk = 4,
    kImgActionOkNoModule = 5,
    kImgJobManual = 6,
    kImgJobManualFailed = 7,
    kImgActionFailed = 8,
    kImgActionFailedNoModule = 9,
    kImgRunFirst = 10,
    kImgRunLast = 17,
    kImgChild = 18,
    kImgUpdateQueue = 19,
    kTreeImageCount = 20,
};

int JobImage(uint32_t schedType, uint32_t lastStat);
int ActionImage(uint32_t lastStat, bool moduleLoaded);
// The next frame of the running animation; anything below the first frame
// starts it.
int NextRunImage(int image);

using TimeText = std::function<std::string(StoreTime)>;
// "   NextRun: <time>" for the kinds that recur, and for a once job that has
// not run yet; "" otherwise.
std::string NextRunSuffix(const JobSnapshot& job, const TimeText& text);
std::string JobStatusLine(const JobSnapshot& job, const TimeText& text);

// "" for 0, else "1h 02m 03s", "2m 03s" or "3s".
std::string ElapsedText(uint32_t seconds);

}  // namespace zk40
