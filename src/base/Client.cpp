#include "base/Client.h"

#include <QCoreApplication>

#include "base/ClientView.h"
#include "base/CommandLine.h"
#include "base/Service.h"
#include "store/AppStore.h"
#include "store/Trace.h"

namespace zk40 {

TZarkellClient::TZarkellClient(TAppStore& app, const AppPaths& paths, const IClock& clock,
                               IClientView& view, TService* service, QObject* parent)
    : QObject(parent), app_(app), paths_(paths), clock_(clock), view_(view), service_(service) {
    trace::LoadFlags(app_.base, clock_.Now());
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::TZarkellClient()");
    app_.LoadFlagBits();
    timer_.setSingleShot(true);
    timer_.setInterval(100);
    connect(&timer_, &QTimer::timeout, this, &TZarkellClient::EvTimer);
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::TZarkellClient()");
}

TZarkellClient::~TZarkellClient() {
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::~TZarkellClient()");
    CloseWindow();
}

void TZarkellClient::SetupWindow() {
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::SetupWindow()");
    paths_.MakeFolders();
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::SetupWindow()");
    timer_.start();
}

void TZarkellClient::EvTimer() {
    // A single-shot timer re-armed at the end: ticks never overlap and the
    // next one comes 100 ms after this one ends.
    timer_.stop();
    if (service_ && service_->CheckPauseAndStop()) QCoreApplication::quit();
    ZK40_TRACE(kTraceTimer, "::EvTimer()");
    if (!firstTickDone_) {
        firstTickDone_ = true;
        if (crashDetected_)
            view_.ShowStatus("System Initialization:  The run started " +
                             FormatStoreTime(previousStartup_) + " did not shut down cleanly");
        if (!closed_) timer_.start();
        return;
    }
    if (++tickCounter_ >= 5) tickCounter_ = 0;
    if (!closed_) timer_.start();
}

void TZarkellClient::CloseWindow() {
    if (closed_) return;
    closed_ = true;
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    timer_.stop();
    app_.SaveFlagBits();
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
}

void TZarkellClient::HandOver() {
    std::string args = TRegString(app_.base, "CommandLine", "").Get();
    ProcessCommandLine(args);
}

void TZarkellClient::ProcessCommandLine(const std::string& args) {
    zk40::ProcessCommandLine(args, app_, ExecutablePath());
}

}  // namespace zk40
