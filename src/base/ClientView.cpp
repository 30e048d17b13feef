#include "base/ClientView.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/StoreTime.h"

namespace zk40 {

namespace {

void WriteLine(const std::string& text) {
    // One fputs per line keeps lines whole when job threads report at once.
    std::string line = FormatStoreTime(CurrentStoreTime()) + " " + text + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

THeadlessView::THeadlessView(int verbose, std::function<void(const std::string&)> out,
                             std::function<Clock::time_point()> now)
    : out_(out ? std::move(out) : WriteLine), now_(now ? std::move(now) : Clock::now) {
    if (verbose < 0) {
        const char* v = std::getenv("ZK40_VERBOSE");
        verbose_ = v && *v && std::strcmp(v, "0") != 0;
    } else {
        verbose_ = verbose != 0;
    }
}

bool THeadlessView::IsProgress(const std::string& text) {
    return StartsWith(text, "SysUpd:  Reading ") ||
           StartsWith(text, "SysUpd:  Parsing configuration data (") ||
           StartsWith(text, "SysUpd:  Parsing action data (");
}

bool THeadlessView::IsUpdateChatter(const std::string& text) {
    // The steps of a download, a parse and an archive; what they came to is
    // told by the texts that follow them.
    static const char* const kSteps[] = {
        "SysUpd:  Opening...",         "SysUpd:  Waiting for ",       "SysUpd:  Reading ",
        "SysUpd:  Done reading ",      "SysUpd:  Parsing ",           "SysUpd:  Opening Archive ",
        "SysUpd:  Marking File ",      "SysUpd:  Extracting Files...", "SysUpd:  Removing Archive ",
        "SysUpd:  Loading Action...",  "SysUpd:  Installing Base Upgrade...",
        // The archive reader's own steps.
        "Opening ", "Closing ", "Extracting ", "Inserting ", "Copying ", "Writing directory",
        "Reading directory"};
    for (const char* step : kSteps)
        if (StartsWith(text, step)) return true;
    if (text == "Done") return true;
    // "SysUpd:  2 Files Extracted."
    const char* p = text.c_str();
    if (StartsWith(text, "SysUpd:  ")) {
        p += 9;
        const char* digits = p;
        while (*p >= '0' && *p <= '9') ++p;
        if (p > digits && std::strcmp(p, " Files Extracted.") == 0) return true;
    }
    return false;
}

void THeadlessView::Emit(const std::string& source, const std::string& text,
                         const std::string& line, bool repeatsAfterQuiet) {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = now_();
    auto last = lastText_.find(source);
    if (last != lastText_.end() && last->second == text) {
        // An action's text again after a quiet spell is news (the next run
        // of a job ended the same way); a repeat right away is not.
        Clock::time_point& seen = lastSeen_[source];
        bool quiet = now - seen >= std::chrono::seconds(5);
        seen = now;
        if (!repeatsAfterQuiet || !quiet) return;
        out_(line);
        return;
    }
    lastSeen_[source] = now;
    if (IsProgress(text)) {
        auto shown = lastProgress_.find(source);
        if (shown != lastProgress_.end() && now - shown->second < std::chrono::seconds(1)) return;
        lastProgress_[source] = now;
    }
    lastText_[source] = text;
    out_(line);
}

void THeadlessView::ShowStatus(const std::string& text) {
    if (!verbose_ && IsUpdateChatter(text)) return;
    Emit("status", text, text);
}

void THeadlessView::QueueBranchAdd(const std::string& text) {
    if (!verbose_) return;
    Emit("queue", text, "Update queue:  " + text);
}

void THeadlessView::ConnectionState(const std::string& text) {
    Emit("connection", text, "Connection:  " + text);
}

void THeadlessView::ShowActionStatus(const std::string& jobName, const std::string& actionName,
                                     const std::string& text) {
    std::string source = "[" + jobName + (actionName.empty() ? "" : " / " + actionName) + "]";
    Emit(source, text, source + " " + text, true);
}

}  // namespace zk40
