#pragma once
// The shape of the running program: its application object and its view.
// main.cpp picks the shape at run time (a window when there is a display,
// the headless view otherwise) and hands a factory to ZarkellMain; the
// window's shape comes from the window object it loads (WindowEntry.h).
#include <QCoreApplication>
#include <functional>
#include <memory>

#include "jobs/ClientView.h"

namespace zk40 {

class TZarkellClient;
class TAppStore;

// A view that lives as long as the running instance: it is made before the
// client, attached to it, and outlives it.
class IProgramView : public IClientView {
public:
    // The client exists; the view may call it from now until Detach.
    virtual void Attach(TZarkellClient& client, TAppStore& app) {
        (void)client;
        (void)app;
    }
    // The client has loaded its jobs: show the window.
    virtual void Started() {}
    // The client is closing; the view no longer calls it.
    virtual void Detach() {}
};

struct TProgramShape {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<IProgramView> view;
};

// Makes the application object and then the view. windowAllowed is false
// for the service shapes (/service, /debug): they never show a window.
using ProgramShapeFactory =
    std::function<TProgramShape(int& argc, char** argv, bool windowAllowed)>;

// The shape without a window, for the service, for a machine without a
// display and for every caller that links no widgets.
TProgramShape HeadlessShape(int& argc, char** argv);

}  // namespace zk40
