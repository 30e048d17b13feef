#pragma once
// The client core: owns what the program runs and drives it from the
// 100 ms scheduler tick on the main thread.
#include <QObject>
#include <QTimer>
#include <string>

#include "store/AppPaths.h"
#include "support/StoreTime.h"

namespace zk40 {

class TAppStore;
class TService;
class IClientView;

class TZarkellClient : public QObject {
    Q_OBJECT
public:
    TZarkellClient(TAppStore& app, const AppPaths& paths, const IClock& clock, IClientView& view,
                   TService* service, QObject* parent = nullptr);
    ~TZarkellClient() override;

    // Builds what the client shows and arms the scheduler timer.
    void SetupWindow();
    // The orderly shutdown; safe to call more than once.
    void CloseWindow();
    // A second instance left its command line in base\CommandLine.
    void HandOver();
    // The option layer on an argument string, ours or handed over.
    void ProcessCommandLine(const std::string& args);

    // What the start found in the crash marker; the first tick acts on it.
    void SetCrashInfo(bool crashDetected, StoreTime previousStartup) {
        crashDetected_ = crashDetected;
        previousStartup_ = previousStartup;
    }
    bool CrashDetected() const { return crashDetected_; }

private:
    void EvTimer();

    TAppStore& app_;
    AppPaths paths_;
    const IClock& clock_;
    IClientView& view_;
    TService* service_;
    QTimer timer_;
    bool firstTickDone_ = false;
    int16_t tickCounter_ = 0;
    bool closed_ = false;
    bool crashDetected_ = false;
    StoreTime previousStartup_ = 0;
};

}  // namespace zk40
