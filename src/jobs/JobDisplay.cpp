#include "jobs/JobDisplay.h"

#include <cstdio>

namespace zk40 {

int JobImage(uint32_t schedType, uint32_t lastStat) {
    if (schedType == kSchedManually) return lastStat ? kImgJobManualFailed : kImgJobManual;
    return lastStat ? kImgJobScheduledFailed : kImgJobScheduled;
}

int ActionImage(uint32_t lastStat, bool moduleLoaded) {
    return (lastStat ? kImgActionFailed : kImgActionOk) + (moduleLoaded ? 0 : 1);
}

int NextRunImage(int image) {
    int next = (image < kImgRunFirst - 1 ? kImgRunFirst - 1 : image) + 1;
    return next > kImgRunLast ? kImgRunFirst : next;
}

std::string NextRunSuffix(const JobSnapshot& job, const TimeText& text) {
    bool show = false;
    switch (job.schedType) {
        case kSchedMonthly:
        case kSchedWeekly:
        case kSchedDaily:
        case kSchedHourly:
        case kSchedEvery:
        case kSchedYearly:
            show = true;
            break;
        case kSchedOnce:
            show = job.nextRun < kNeverTime;
            break;
        default:
            break;
    }
    return show ? "   NextRun: " + text(job.nextRun) : std::string();
}

std::string JobStatusLine(const JobSnapshot& job, const TimeText& text) {
    switch (static_cast<JobState>(job.state)) {
        case JobState::Creating:
            return "CREATING...";
        case JobState::Ready:
            return "READY [Created: " + text(job.lastRun) + NextRunSuffix(job, text) + "]";
        case JobState::StartRequested:
        case JobState::Running:
            return "RUNNING [LastRun: " + text(job.lastRun) + "]";
        case JobState::Completed:
            return "COMPLETED [LastRun: " + text(job.lastRun) + NextRunSuffix(job, text) + "]";
        case JobState::Cancelled:
            return "CANCELLED [LastRun: " + text(job.lastRun) + NextRunSuffix(job, text) + "]";
    }
    // Only a store edited by hand holds another value.
    return "UNKNOWN STATE " + std::to_string(job.state);
}

std::string ElapsedText(uint32_t seconds) {
    if (seconds == 0) return {};
    char buf[48];
    uint32_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h)
        snprintf(buf, sizeof buf, "%uh %02um %02us", h, m, s);
    else if (m)
        snprintf(buf, sizeof buf, "%um %02us", m, s);
    else
        snprintf(buf, sizeof buf, "%us", s);
    return buf;
}

}  // namespace zk40
