#include "base/ClientView.h"

#include <cstdio>

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

void THeadlessView::QueueBranchAdd(const std::string& text) { Line("Update queue:  " + text); }

void THeadlessView::ConnectionState(const std::string& text) { Line("Connection:  " + text); }

void THeadlessView::ShowActionStatus(const std::string& jobName, const std::string& actionName,
                                     const std::string& text) {
    Line("[" + jobName + (actionName.empty() ? "" : " / " + actionName) + "] " + text);
}

}  // namespace zk40
