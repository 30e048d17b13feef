#pragma once
// The client core (what the window and the headless program drive) on a
// test installation, ticked by the test; and the same with a real HTTP
// server on 127.0.0.1 as its update server.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestHttpServer.h"
#include "TestInstallation.h"
#include "base/Client.h"
#include "base/ClientView.h"

namespace zk40test {

// Keeps what the client shows, for the test to read.
class RecordingView : public zk40::IClientView {
public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void ShowActionStatus(const std::string&, const std::string&,
                          const std::string& text) override {
        actionTexts.push_back(text);
    }
    void QueueBranchAdd(const std::string& text) override { branch.push_back(text); }
    // Some status so far holds `text`.
    bool Saw(const std::string& text) const;

    std::vector<std::string> statuses, actionTexts, branch;
};

struct ClientFixture : ::testing::Test, TestInstallation {
    // Nothing comes with the program in these tests: no shipped modules.
    void SetUp() override;
    void TearDown() override { StopClient(); }
    // A client on the store (in place of one already running); its first
    // tick loads the modules.
    void StartClient();
    void StopClient();
    // Ticks the scheduler and serves the update worker until done() or
    // a minute has passed; whether done() came true.
    bool TickUntil(const std::function<bool()>& done);

    RecordingView view;
    std::unique_ptr<zk40::TZarkellClient> client;
};

struct UpdateClientFixture : ClientFixture {
    // The update server is `server`, reached on a connection that is up.
    void SetUp() override;
    // Makes an update due now and ticks until it has run.
    bool RunUpdate();
    std::string ServerUrl() const { return "http://" + server.Address(); }

    TestHttpServer server;
    // What the client asks the update server for first.
    const std::string kConfigPath = "/cgi-bin/zk40.update.pl?CURVER=29";
};

}  // namespace zk40test
