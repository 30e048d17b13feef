#include "base/HeadlessView.h"

#include <cstdio>

#include "jobs/Snapshot.h"
#include "support/StoreTime.h"

namespace zk40 {

namespace {
void Line(const std::string& text) {
    // One fputs per line keeps lines whole when job threads report at once.
    std::string line = FormatStoreTime(CurrentStoreTime()) + " " + text + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
}
}  // namespace

void THeadlessView::ShowStatus(const std::string& text) { Line(text); }

void THeadlessView::StartupError(const std::string& text) { Line("Zarkell'40:  " + text); }

void THeadlessView::QueueBranchAdd(const std::string& text) { Line("Update queue:  " + text); }

void THeadlessView::ConnectionState(const std::string& text) { Line("Connection:  " + text); }

void THeadlessView::ActionChanged(uint32_t handle, ActionField field) {
    if (field != ActionField::Status && field != ActionField::Status2) return;
    ActionSnapshot a;
    if (!SnapshotAction(handle, &a)) return;
    const std::string& text = field == ActionField::Status ? a.status : a.status2;
    Line("[" + a.jobName + (a.name.empty() ? "" : " / " + a.name) + "] " + text);
}

}  // namespace zk40
