#include "ClientFixture.h"

#include <cstdlib>

#include "Catalogue.h"
#include "Process.h"
#include "support/StoreTime.h"

namespace zk40test {

bool RecordingView::Saw(const std::string& text) const {
    for (const auto& s : statuses)
        if (s.find(text) != std::string::npos) return true;
    return false;
}

void ClientFixture::SetUp() {
    EnsureQtApp();
    app->base.SetDword("ShippedModules", 1);
}

void ClientFixture::StartClient() {
    StopClient();
    client = std::make_unique<zk40::TZarkellClient>(*app, paths, zk40::SystemClock::Instance(),
                                                    view, nullptr);
    client->SetTickAlignment(false);
    client->SetupWindow();
    client->EvTimer();
}

void ClientFixture::StopClient() {
    if (client) client->CloseWindow();
    client.reset();
}

bool ClientFixture::TickUntil(const std::function<bool()>& done) {
    return WaitFor(
        [&] {
            for (int i = 0; i < 5; ++i) client->EvTimer();
            client->Pump().WaitServing([] { return false; }, 20);
            return done();
        },
        60000);
}

void UpdateClientFixture::SetUp() {
    ClientFixture::SetUp();
    // A proxy from the developer's environment must not intercept loopback.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    app->base.SetString("UpdateServer", ServerUrl());
    app->base.SetDword("ConnType", 2);
}

bool UpdateClientFixture::RunUpdate() {
    app->base.SetDword("NextUpdate", zk40::CurrentStoreTime());
    bool started = false;
    return TickUntil([&] {
        started |= client->UpdateRunning();
        return started && !client->UpdateRunning();
    });
}

}  // namespace zk40test
