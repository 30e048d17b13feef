// The update configuration parser. Whatever the server sends, its values
// land below the product key's `config` and `actions` keys only, the rest of
// the store stays as it was, and the INCLUDE lines the parser collects are
// the ones the separate include search finds.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "store/AppStore.h"
#include "update/ConfigParser.h"

using namespace zk40;
using zk40fuzz::Check;
using zk40fuzz::Fail;

namespace {

struct QuietProgress : IUpdateProgress {
    int lastPercent = 0;
    void Status(const std::string&) override {}
    void Progress(int percent) override {
        Check(percent >= 0 && percent <= 100, "progress out of range");
        lastPercent = percent;
    }
    void TimeRemaining(int) override {}
};

TStore& Store() {
    static std::unique_ptr<TStore> store = [] {
        std::string error;
        auto s = TStore::Open(zk40fuzz::ScratchDir() + "/config.db", &error);
        if (!s) Fail("cannot open the store: " + error);
        return s;
    }();
    return *store;
}

bool Allowed(const std::string& path, const std::string& product) {
    // The product key and the keys above it, or anything below its config
    // and actions keys.
    if (product.rfind(path, 0) == 0 && (path.size() == product.size() || product[path.size()] == '\\'))
        return true;
    for (const char* below : {"\\config", "\\actions"}) {
        std::string base = product + below;
        if (path == base || path.rfind(base + "\\", 0) == 0) return true;
    }
    return false;
}

bool SameIncludes(const std::vector<ConfigInclude>& a, const std::vector<ConfigInclude>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].vendor != b[i].vendor || a[i].module != b[i].module ||
            a[i].action != b[i].action || a[i].url != b[i].url)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TStore& store = Store();
    Check(store.ClearKey(store.RootId()) == kRegOk, "cannot clear");
    TRegKey other(&store, "Software\\Other");
    other.SetString("Keep", "kept");
    TRegKey product(&store, kProductKeyPath);
    Check(product.IsValid(), "no product key");

    const std::string file = zk40fuzz::ScratchDir() + "/update.cfg";
    zk40fuzz::WriteFile(file, data, size);
    QuietProgress progress;
    std::vector<ConfigInclude> includes;
    Check(ParseConfigFile(file, product, {}, progress, &includes), "parse refused");
    Check(progress.lastPercent == 100, "parse did not end at 100%");

    for (const auto& inc : includes)
        Check(!inc.vendor.empty() && !inc.url.empty(), "an include without vendor or URL");
    Check(SameIncludes(includes, FindIncludes(file)), "the include search disagrees");

    std::vector<std::string> keys;
    zk40fuzz::WalkKeys(store, store.RootId(), "", &keys);
    for (const auto& k : keys)
        Check(Allowed(k, kProductKeyPath) || k == "Software\\Other",
              "a configuration wrote outside its keys: " + k);
    Check(TRegKey(&store, "Software\\Other", false).GetString("Keep") == "kept",
          "a configuration changed a value elsewhere");
    return 0;
}
