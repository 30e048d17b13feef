// The action data parser. Whatever the server sends, it changes only the
// ACTDATA subtree of its own action and that action's ADVERSION; the
// action's other values and every other action's data stay.
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
    void Status(const std::string&) override {}
    void Progress(int percent) override {
        Check(percent >= 0 && percent <= 100, "progress out of range");
    }
    void TimeRemaining(int) override {}
};

TStore& Store() {
    static std::unique_ptr<TStore> store = [] {
        std::string error;
        auto s = TStore::Open(zk40fuzz::ScratchDir() + "/actdata.db", &error);
        if (!s) Fail("cannot open the store: " + error);
        return s;
    }();
    return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TStore& store = Store();
    Check(store.ClearKey(store.RootId()) == kRegOk, "cannot clear");
    TRegKey product(&store, kProductKeyPath);
    TRegKey action(product, "actions\\V\\M\\A");
    action.SetString("Keep", "kept");
    TRegKey(action, "ACTDATA\\Old").SetString("gone", "x");
    TRegKey sibling(product, "actions\\V\\M\\B\\ACTDATA");
    sibling.SetString("Keep", "kept");

    const std::string file = zk40fuzz::ScratchDir() + "/actdata.txt";
    zk40fuzz::WriteFile(file, data, size);
    QuietProgress progress;
    Check(ParseActionDataFile(file, product, "V", "M", "A", progress), "parse refused");

    const std::string actionPath = std::string(kProductKeyPath) + "\\actions\\V\\M\\A";
    const std::string siblingPath = std::string(kProductKeyPath) + "\\actions\\V\\M\\B";
    std::vector<std::string> keys;
    zk40fuzz::WalkKeys(store, store.RootId(), "", &keys);
    for (const auto& k : keys) {
        bool above = actionPath.rfind(k, 0) == 0 && actionPath[k.size()] == '\\';
        bool own = k == actionPath || k.rfind(actionPath + "\\ACTDATA", 0) == 0;
        bool sib = k == siblingPath || k.rfind(siblingPath + "\\", 0) == 0;
        Check(above || own || sib, "action data wrote outside its ACTDATA: " + k);
    }
    Check(TRegKey(&store, actionPath + "\\ACTDATA\\Old", false).IsValid() == false,
          "the old ACTDATA was not replaced");
    Check(TRegKey(&store, actionPath + "\\ACTDATA", false).IsValid(), "no ACTDATA after parsing");
    Check(TRegKey(&store, actionPath, false).GetString("Keep") == "kept",
          "action data changed the action's own values");
    Check(TRegKey(&store, siblingPath + "\\ACTDATA", false).GetString("Keep") == "kept",
          "action data changed another action");
    // The action key holds only what it held, ADVERSION, and ACTDATA.
    std::vector<std::string> sub;
    store.ListSubKeys(TRegKey(&store, actionPath, false).Id(), &sub);
    Check(sub.size() == 1, "action data made a key beside ACTDATA");
    std::vector<RegNamedValue> values;
    store.LoadValues(TRegKey(&store, actionPath, false).Id(), &values);
    for (const auto& v : values)
        Check(v.name == "Keep" || v.name == "ADVERSION", "action data set " + v.name);
    return 0;
}
