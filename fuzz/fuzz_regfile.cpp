// The .reg reader, through the import that `zk40-reg import` runs.
//
// For every input: a refused file leaves the store untouched and says which
// line; an accepted file puts every value it names into the store; and what
// we then write out reads back into the same tree and writes out the same
// text again.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "FuzzSupport.h"
#include "store/RegFile.h"

using namespace zk40;
using zk40fuzz::Check;
using zk40fuzz::Fail;

namespace {

TStore& Store() {
    static std::unique_ptr<TStore> store = [] {
        std::string error;
        auto s = TStore::Open(zk40fuzz::ScratchDir() + "/regfile.db", &error);
        if (!s) Fail("cannot open the store: " + error);
        return s;
    }();
    return *store;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool HasZeroByte(const std::string& s) { return s.find('\0') != std::string::npos; }

void ClearAll(TStore& store) { Check(store.ClearKey(store.RootId()) == kRegOk, "cannot clear"); }

bool Import(TStore& store, const std::string& text, std::string* error) {
    const std::string file = zk40fuzz::ScratchDir() + "/input.reg";
    zk40fuzz::WriteFile(file, text.data(), text.size());
    return ImportRegFile(store, file, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TStore& store = Store();
    ClearAll(store);

    RegFileContents contents;
    std::string error;
    if (!ParseRegFile(text, &contents, &error)) {
        Check(error.rfind("line ", 0) == 0, "a refusal names no line: " + error);
        std::string importError;
        Check(!Import(store, text, &importError), "import took a file the reader refuses");
        std::vector<std::string> keys;
        zk40fuzz::WalkKeys(store, store.RootId(), "", &keys);
        Check(keys.empty(), "a refused import left keys behind");
        return 0;
    }

    if (!Import(store, text, &error)) {
        // The store may refuse a name the reader accepts; then nothing of
        // the file may be left.
        std::vector<std::string> keys;
        zk40fuzz::WalkKeys(store, store.RootId(), "", &keys);
        Check(keys.empty(), "a failed import left keys behind: " + error);
        return 0;
    }

    // Every value the file names is in the store, the last one winning.
    // Names are compared as the store does (ASCII case folded); names with a
    // zero byte are left out, since the store's comparison stops there.
    std::map<std::pair<std::string, std::string>, RegValueData> expected;
    for (const auto& sec : contents.sections) {
        std::string path;
        bool usable = true;
        for (const auto& name : sec.path) {
            usable = usable && !HasZeroByte(name);
            path += Lower(name) + "\\";
        }
        for (const auto& v : sec.values)
            if (usable && !HasZeroByte(v.name)) expected[{path, Lower(v.name)}] = v.value;
    }
    for (const auto& [where, value] : expected) {
        const auto& [keyPath, valueName] = where;
        KeyId key = store.OpenKey(store.RootId(), keyPath, false);
        Check(key != 0, "imported key is missing: " + keyPath);
        RegValueData got;
        Check(store.QueryValue(key, valueName, &got) == kRegOk,
              "imported value is missing in " + keyPath);
        Check(got.type == value.type && got.data == value.data,
              "imported value differs in " + keyPath);
    }

    // Save, read back, save again: the same text.
    std::string first;
    if (!FormatKeyTree(store, store.RootId(), "HKEY_CURRENT_USER", &first, &error)) {
        Check(error.find("zero byte") != std::string::npos,
              "cannot save what was imported: " + error);
        return 0;
    }
    RegFileContents again;
    Check(ParseRegFile(first, &again, &error), "cannot read what was saved: " + error);
    ClearAll(store);
    Check(Import(store, first, &error), "cannot import what was saved: " + error);
    std::string second;
    Check(FormatKeyTree(store, store.RootId(), "HKEY_CURRENT_USER", &second, &error),
          "cannot save the second time: " + error);
    Check(first == second, "saving what was read back gives another text");
    return 0;
}
