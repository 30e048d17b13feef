#include "base/Application.h"

#include <strings.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "base/Client.h"
#include "base/HeadlessView.h"
#include "base/CommandLine.h"
#include "base/InstanceRequest.h"
#include "base/Service.h"
#include "base/SingleInstance.h"
#include "modules/ModuleHost.h"
#include "store/AppStore.h"
#include "store/Trace.h"

#ifndef ZK40_VERSION_TEXT
#define ZK40_VERSION_TEXT "0.29"
#endif

namespace zk40 {

namespace {

// A stop signal that arrives before the event loop runs must not be lost.
std::atomic<bool> gQuitRequested{false};

void RequestQuit(void*) {
    gQuitRequested = true;
    // exit, not quit: quit is ignored before the main loop runs, and a
    // dialog of the first start (its own loop) must end with the program.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

// Whatever application object the shape made, destroyed with the traces
// the run has always written around it.
void DestroyApplication(std::unique_ptr<QCoreApplication>& app) {
    if (!app) return;
    ZK40_TRACE(kTraceGeneral, "TZarkellApp::~TZarkellApp() -- 1");
    ZK40_TRACE(kTraceGeneral, "TZarkellApp::~TZarkellApp() -- 2");
    app.reset();
}

// A second instance hands its arguments to the first over the socket and
// reports the answer. When the first is still starting (locked but not yet
// listening) the request waits for it; when it has died meanwhile, the lock
// comes free and we take over. Only a hand-over the instance carried out is
// a success: a script that starts a job this way must see that it did not
// start.
enum class HandOverResult { Delivered, Refused, BecamePrimary, Failed };

HandOverResult HandOver(AppContext& ctx, TInstanceLock& lock,
                        const std::vector<std::string>& args) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        InstanceAnswer a =
            HandOverArguments(ctx.paths.runtimeDir, args, static_cast<int>(left.count()) + 1);
        if (a.kind == InstanceAnswer::Kind::Refused) {
            fprintf(stderr, "Zarkell'40: %s\n", a.text.c_str());
            return HandOverResult::Refused;
        }
        if (a.kind == InstanceAnswer::Kind::Ok) return HandOverResult::Delivered;
        if (a.kind == InstanceAnswer::Kind::NoAnswer) {
            fprintf(stderr, "Zarkell'40: %s\n", a.text.c_str());
            return HandOverResult::Failed;
        }
        std::string err;
        if (lock.TryClaim(&err) == TInstanceLock::Claim::Primary)
            return HandOverResult::BecamePrimary;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fprintf(stderr, "Zarkell'40: the running instance did not answer\n");
    return HandOverResult::Failed;
}

}  // namespace

TProgramShape HeadlessShape(int& argc, char** argv) {
    TProgramShape shape;
    shape.app = std::make_unique<QCoreApplication>(argc, argv);
    shape.view = std::make_unique<THeadlessView>();
    return shape;
}

int RunApplication(AppContext& ctx) {
    std::vector<std::string> args = ArgumentList(ctx.argc, ctx.argv, ctx.service ? 2 : 1);
    TAppStore& app = *ctx.app;
    TInstanceLock& lock = *ctx.lock;
    std::string error = ctx.claimError;
    auto claim = static_cast<TInstanceLock::Claim>(ctx.claim);

    // A process that only hands over, and the service, never show a window.
    bool windowAllowed = !ctx.service && claim == TInstanceLock::Claim::Primary;
    TProgramShape shape = ctx.shape ? ctx.shape(ctx.argc, ctx.argv, windowAllowed)
                                    : HeadlessShape(ctx.argc, ctx.argv);
    // The factory could not make its shape (the window library would not
    // load) and has said why.
    if (!shape.app || !shape.view) return 1;
    std::unique_ptr<QCoreApplication>& application = shape.app;
    shape.app->setApplicationName("Zarkell40");
    IProgramView& view = *shape.view;
    if (!app.Store())
        view.StartupError(app.OpenError() + "; settings will not be kept");

    if (claim == TInstanceLock::Claim::Failed) {
        view.StartupError("cannot check for a running instance: " + error);
        shape.view.reset();
        DestroyApplication(application);
        return 1;
    }
    if (claim == TInstanceLock::Claim::Secondary) {
        const HandOverResult handed = HandOver(ctx, lock, args);
        if (handed != HandOverResult::BecamePrimary) {
            shape.view.reset();
            DestroyApplication(application);
            return handed == HandOverResult::Delivered ? 0 : 1;
        }
    }

    const bool crashDetected = app.RunningBit();
    const StoreTime previousStartup = app.StartupTime.Get();
    ZK40_TRACE(kTraceGeneral, "OwlMain() -- 1");
    const IClock& clock = SystemClock::Instance();
    app.CrashFlags = app.CrashFlags.Get() | 1u;
    app.StartupTime = clock.Now();
    app.ShutdownTime = 0;
    ZK40_TRACE(kTraceGeneral, "OwlMain() -- 2");

    int result = 0;
    {
        TZarkellClient client(app, ctx.paths, clock, view, ctx.service);
        client.SetCrashInfo(crashDetected, previousStartup);
        client.SetStopQuery([] { return gQuitRequested.load(); });
        if (const char* w = std::getenv("ZK40_SHUTDOWN_WAIT_MS")) client.SetShutdownWaitMs(atoi(w));
        view.Attach(client, app);
        TInstanceServer server(lock.SocketPath(), [&client](const std::string& line) {
            return client.AnswerRequest(line);
        });
        if (!server.Listen(&error))
            view.StartupError(error);
        else if (!ctx.paths.runtimeFallback.empty())
            // Clients find it only when they fall back the same way.
            fprintf(stderr, "Zarkell'40: listening on %s (%s)\n", lock.SocketPath().c_str(),
                    ctx.paths.runtimeFallback.c_str());
        client.SetupWindow();
        view.Started();
        client.ProcessArguments(args);
        if (!gQuitRequested) result = application->exec();
        bool closed = client.CloseWindow();
        view.Detach();
        if (!closed) {
            // A job thread is still inside its module. Leave the crash marker
            // set so the next start reports the abandoned run, and end the
            // process without waiting for the thread.
            ZK40_TRACE(kTraceGeneral, "OwlMain() -- 3");
            fflush(nullptr);
            _exit(0);
        }
    }

    ZK40_TRACE(kTraceGeneral, "OwlMain() -- 3");
    app.CrashFlags = app.CrashFlags.Get() & ~1u;
    app.ShutdownTime = clock.Now();
    shape.view.reset();
    DestroyApplication(application);
    ZK40_TRACE(kTraceGeneral, "OwlMain() -- 4");
    return result;
}

namespace {
struct ServiceRunContext {
    AppContext* ctx;
};

int RunInsideService(void* p) { return RunApplication(*static_cast<ServiceRunContext*>(p)->ctx); }

// /register and /unregister only write or remove the unit file. They run
// before anything else, so that they neither make the folders nor open the
// store of whoever runs them: as root that would leave a store in root's
// home that no service ever reads, and that outlives the package.
int InstallSwitch(int argc, char** argv) {
    const bool reg = strcasecmp(argv[1], "/register") == 0;
    std::string runAs, report;
    for (int i = 2; i < argc; ++i) {
        if (strncasecmp(argv[i], "/user:", 6) == 0 && reg) {
            runAs = argv[i] + 6;
        } else {
            fprintf(stderr, "Zarkell'40: unknown switch %s after %s\n", argv[i], argv[1]);
            return 2;
        }
    }
    TZarkell40Service service(nullptr, nullptr);
    const bool ok = reg ? service.Install(runAs, &report) : service.Remove(&report);
    fputs(ok ? report.c_str() : ("Zarkell'40: " + report + "\n").c_str(), ok ? stdout : stderr);
    return ok ? 0 : 1;
}
}  // namespace

int ZarkellMain(int argc, char** argv, const ProgramShapeFactory& shape) {
    // Asking for help or the build, or a mistyped switch, touches nothing.
    {
        int first = 1;
        if (argc >= 2)
            for (const char* sw : {"/register", "/unregister", "/debug", "/service"})
                if (strcasecmp(argv[1], sw) == 0) first = 2;
        bool install = first == 2 && (strcasecmp(argv[1], "/register") == 0 ||
                                      strcasecmp(argv[1], "/unregister") == 0);
        ArgumentCheck check;
        if (!install) check = CheckArguments(ArgumentList(argc, argv, first));
        const char* slash = argc > 0 ? strrchr(argv[0], '/') : nullptr;
        std::string program = slash ? slash + 1 : (argc > 0 ? argv[0] : "zarkell40");
        switch (check.kind) {
            case ArgumentCheck::Help:
                fputs(UsageText(program).c_str(), stdout);
                printf("\nZarkell'40 %s (Build %u)\n", ZK40_VERSION_TEXT, kBuildNumber);
                return 0;
            case ArgumentCheck::Version:
                printf("Zarkell'40 %s (Build %u)\n", ZK40_VERSION_TEXT, kBuildNumber);
                return 0;
            case ArgumentCheck::Bad:
                fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                        check.error.c_str(), program.c_str());
                return 2;
            case ArgumentCheck::Run:
                break;
        }
        if (install) return InstallSwitch(argc, argv);
    }
    // Before any thread exists, so that every thread inherits the mask and
    // the signals reach only the control thread.
    TSignalControl::Block();

    const bool asService = argc >= 2 && strcasecmp(argv[1], "/service") == 0;
    const bool serviceBody = asService || (argc >= 2 && strcasecmp(argv[1], "/debug") == 0);
    // The system unit's service takes its folders from the same place as
    // "zk40 --system", and hands them on to what it starts.
    const bool systemService = serviceBody && TService::SystemScopeSet();
    AppContext ctx;
    if (systemService) {
        ctx.paths = AppPaths::SystemService();
        // systemd makes the runtime folder for the unit (RuntimeDirectory=);
        // a start in the foreground (/debug) makes its own.
        MakeDirs(ctx.paths.runtimeDir, 0700);
        ctx.paths.ExportToEnvironment();
    } else {
        ctx.paths = AppPaths::FromEnvironment();
    }
    // The store says what runs, as whom the program runs: one that another
    // user could plant or change is refused, never loaded.
    if (!ctx.paths.problem.empty()) {
        fprintf(stderr, "Zarkell'40: cannot start: %s\n", ctx.paths.problem.c_str());
        return 1;
    }
    // A service listens where its clients look for it or not at all: in a
    // folder of its own (a private /tmp, say) nobody would ever reach it.
    // Only a start with no runtime folder named falls back, under the same
    // rule that zk40 follows.
    if (systemService) {
        if (std::string why = RuntimeDirProblem(ctx.paths.runtimeDir); !why.empty()) {
            fprintf(stderr,
                    "Zarkell'40: cannot start: the runtime folder %s %s; the instance socket "
                    "must be there, where zk40 --system looks for it (the unit makes the folder "
                    "with RuntimeDirectory=zarkell40)\n",
                    ctx.paths.runtimeDir.c_str(), why.c_str());
            return 1;
        }
    } else if (asService && !ctx.paths.runtimeNamed.empty() && !ctx.paths.runtimeFallback.empty()) {
        fprintf(stderr,
                "Zarkell'40: cannot start: %s; the instance socket must be there, where zk40 and "
                "later starts look for it (a unit with ProtectSystem=strict needs "
                "ReadWritePaths=%%t)\n",
                ctx.paths.runtimeFallback.c_str());
        return 1;
    }
    ctx.paths.MakeFolders();
    if (std::string unsafe = CheckPrivateFolders(ctx.paths); !unsafe.empty()) {
        fprintf(stderr, "Zarkell'40: cannot start: %s\n", unsafe.c_str());
        return 1;
    }
    trace::SetFile(ctx.paths.traceLog);
    TAppStore app(ctx.paths);
    if (app.Store()) {
        std::string actionPath = app.base.GetString("ActionPath");
        if (actionPath.empty()) actionPath = ctx.paths.actionsDir;
        MakeDirs(actionPath);
        if (std::string why = UnsafePathReason(actionPath); !why.empty()) {
            fprintf(stderr, "Zarkell'40: cannot start: refusing the module folder %s: %s\n",
                    actionPath.c_str(), why.c_str());
            return 1;
        }
    }
    ctx.app = &app;
    ctx.shape = shape;
    ctx.argc = argc;
    ctx.argv = argv;

    // The instance lock is tried before the random start-up delay. That
    // delay was all that kept two starting processes apart; the lock now
    // decides, so a process that only hands its command line to the running
    // instance need not wait for it.
    TInstanceLock lock(ctx.paths.runtimeDir);
    ctx.lock = &lock;
    ctx.claim = static_cast<int>(lock.TryClaim(&ctx.claimError));

    std::mt19937 rng(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid()));
    srand(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid()));
    const char* noDelay = std::getenv("ZK40_NO_START_DELAY");
    bool handOver = ctx.claim == static_cast<int>(TInstanceLock::Claim::Secondary);
    if (!(noDelay && *noDelay == '1') && !handOver)
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 1000));

    TSignalControl control(&RequestQuit, nullptr);
    if (!control.Error().empty()) {
        // Without it a stop request could never reach us; and the blocked
        // signals would not even end the process.
        fprintf(stderr, "Zarkell'40: Unable to register control handler. (%s)\n",
                control.Error().c_str());
        TSignalControl::Unblock();
        return 1;
    }

    if (argc >= 2) {
        const char* sw = argv[1];
        auto is = [sw](const char* s) { return strcasecmp(sw, s) == 0; };
        if (is("/debug") || is("/service")) {
            ServiceRunContext run{&ctx};
            TZarkell40Service service(&RunInsideService, &run);
            ctx.service = &service;
            if (is("/debug")) {
                service.DebugRun(argc, argv);
            } else {
                service.ServiceMain(argc, argv);
            }
            ctx.service = nullptr;
            return 0;
        }
    }
    return RunApplication(ctx);
}

}  // namespace zk40
