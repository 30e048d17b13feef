// zk40-reg: reads and edits the program's store from the command line, in
// the manner of reg.exe. There is no registry editor on Linux, so this is
// how a user looks at or repairs the settings, and how scripts and tests
// prepare a store.
#include <strings.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/InstanceRequest.h"
#include "store/AppPaths.h"
#include "store/RegFile.h"
#include "store/Store.h"
#include "support/ErrorText.h"

using namespace zk40;

namespace {

constexpr uint32_t kRegQword = 11;
const char kOk[] = "The operation completed successfully.\n";

const char kUsage[] =
    "zk40-reg: reads and changes the Zarkell'40 store ($XDG_DATA_HOME/zarkell40/store.db).\n"
    "\n"
    "  zk40-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  zk40-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  zk40-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  zk40-reg export KEY FILE [/y]\n"
    "  zk40-reg import FILE\n"
    "\n"
    "  KEY    HKCU\\path or HKEY_CURRENT_USER\\path (the only root there is)\n"
    "  /v     the named value; /ve the default (unnamed) value; /va every value of the key\n"
    "  /s     query: the key and everything below it;\n"
    "         add: the one character that separates REG_MULTI_SZ items (default \\0)\n"
    "  /t     REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY, REG_NONE\n"
    "  /d     the data: text; a REG_DWORD in decimal or as 0x hex; REG_BINARY and\n"
    "         REG_NONE as hex digits (\"00ff10\")\n"
    "  /f     add: overwrite an existing value; delete: delete without asking\n"
    "  /y     export: overwrite an existing file\n"
    "\n"
    "Switches may start with / or -, in any case. Deleting a key deletes everything below it.\n"
    "A running Zarkell'40 is told of every change and takes it in at once.\n"
    "Exit status 0 on success, 1 on any error.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return 1;
}

int Syntax(const std::string& message) {
    std::fprintf(stderr, "ERROR: Invalid syntax: %s\nType \"zk40-reg /?\" for usage.\n",
                 message.c_str());
    return 1;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct Command {
    std::vector<std::string> positional;
    std::map<std::string, std::string> switches;  // lower-case name -> value
    bool Has(const char* s) const { return switches.count(s) > 0; }
    const std::string& Get(const char* s) const { return switches.at(s); }
};

struct SwitchDef {
    const char* name;
    bool takesValue;
};

// A word counts as a switch only when it is one this command knows, so file
// names such as /tmp/jobs.reg stay positional arguments.
bool ParseArgs(int argc, char** argv, std::initializer_list<SwitchDef> defs, Command* cmd,
               std::string* error) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        const SwitchDef* def = nullptr;
        if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
            std::string name = Lower(arg.substr(1));
            for (const auto& s : defs)
                if (name == s.name) def = &s;
        }
        if (!def) {
            cmd->positional.push_back(arg);
            continue;
        }
        if (cmd->Has(def->name)) {
            *error = "/" + std::string(def->name) + " is given twice";
            return false;
        }
        std::string value;
        if (def->takesValue) {
            if (i + 1 >= argc) {
                *error = "/" + std::string(def->name) + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        cmd->switches[def->name] = value;
    }
    return true;
}

bool WantPositional(const Command& cmd, size_t count, const char* what, std::string* error) {
    if (cmd.positional.size() < count) {
        *error = std::string("missing ") + what;
        return false;
    }
    if (cmd.positional.size() > count) {
        *error = "unknown switch or extra argument '" + cmd.positional[count] + "'";
        return false;
    }
    return true;
}

// A key named on the command line, resolved against the store.
struct KeyArg {
    std::vector<std::string> names;  // below HKEY_CURRENT_USER
    std::string typed;               // as the user wrote it
};

bool ParseKey(const std::string& text, KeyArg* key, std::string* error) {
    key->typed = text;
    std::string why;
    if (SplitUserKeyPath(text, &key->names, &why)) return true;
    *error = "Invalid key name: " + why;
    if (why.find("outside") != std::string::npos)
        *error += "; keys start with HKCU\\ or HKEY_CURRENT_USER\\";
    return false;
}

// Opens an existing key; *path receives its full name as the store spells it.
KeyId FindKey(TStore& store, const std::vector<std::string>& names, size_t count,
              std::string* path) {
    KeyId id = store.RootId();
    *path = "HKEY_CURRENT_USER";
    for (size_t i = 0; i < count && id != 0; ++i) {
        id = store.OpenKey(id, names[i], false);
        if (id != 0) *path += "\\" + store.KeyName(id);
    }
    return id;
}

std::string TypeName(uint32_t type) {
    static const char* kNames[] = {"REG_NONE",
                                   "REG_SZ",
                                   "REG_EXPAND_SZ",
                                   "REG_BINARY",
                                   "REG_DWORD",
                                   "REG_DWORD_BIG_ENDIAN",
                                   "REG_LINK",
                                   "REG_MULTI_SZ",
                                   "REG_RESOURCE_LIST",
                                   "REG_FULL_RESOURCE_DESCRIPTOR",
                                   "REG_RESOURCE_REQUIREMENTS_LIST",
                                   "REG_QWORD"};
    if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_UNKNOWN(0x%x)", type);
    return buf;
}

std::string HexUpper(const std::string& data) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : data) s += {d[c >> 4], d[c & 15]};
    return s;
}

std::string DisplayData(const RegValueData& v) {
    const std::string& d = v.data;
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return DecodeRegString(d);
        case REG_MULTI_SZ: {
            std::string out;
            size_t pos = 0;
            while (pos < d.size()) {
                size_t z = d.find('\0', pos);
                if (z == std::string::npos) z = d.size();
                if (z == pos) break;
                if (!out.empty()) out += "\\0";
                out += d.substr(pos, z - pos);
                pos = z + 1;
            }
            return out;
        }
        case REG_DWORD: {
            uint32_t n;
            if (d.size() != 4 || !DecodeDword(d, &n)) break;
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%x", n);
            return buf;
        }
        case kRegQword: {
            if (d.size() != 8) break;
            uint64_t n = 0;
            for (int i = 7; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(d[i]);
            char buf[24];
            std::snprintf(buf, sizeof buf, "0x%" PRIx64, n);
            return buf;
        }
    }
    return HexUpper(d);
}

void PrintValue(const std::string& name, const RegValueData& v) {
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(),
                TypeName(v.type).c_str(), DisplayData(v).c_str());
}

// ---- query ----

struct QueryState {
    bool valueOnly = false;
    std::string valueName;
    size_t matches = 0;
};

bool QueryTree(TStore& store, KeyId key, const std::string& path, bool recurse, QueryState* q) {
    std::vector<RegNamedValue> values;
    std::vector<std::string> subkeys;
    if (store.LoadValues(key, &values) != kRegOk || store.ListSubKeys(key, &subkeys) != kRegOk)
        return false;
    if (q->valueOnly) {
        for (const auto& v : values) {
            if (strcasecmp(v.name.c_str(), q->valueName.c_str()) != 0) continue;
            std::printf("%s\n", path.c_str());
            PrintValue(v.name, v.value);
            std::printf("\n");
            ++q->matches;
        }
    } else {
        std::printf("%s\n", path.c_str());
        for (const auto& v : values) PrintValue(v.name, v.value);
        std::printf("\n");
        q->matches += 1 + values.size();
    }
    if (!recurse) {
        if (!q->valueOnly)
            for (const auto& n : subkeys) std::printf("%s\\%s\n", path.c_str(), n.c_str());
        return true;
    }
    for (const auto& n : subkeys) {
        KeyId child = store.OpenKey(key, n, false);
        if (child != 0 && !QueryTree(store, child, path + "\\" + n, true, q)) return false;
    }
    return true;
}

int Query(TStore& store, const Command& cmd, const KeyArg& keyArg) {
    if (cmd.Has("v") && cmd.Has("ve")) return Syntax("/v and /ve exclude each other");
    std::string path;
    KeyId key = FindKey(store, keyArg.names, keyArg.names.size(), &path);
    if (key == 0) return Fail("The key " + keyArg.typed + " does not exist.");
    QueryState q;
    q.valueOnly = cmd.Has("v") || cmd.Has("ve");
    q.valueName = cmd.Has("v") ? cmd.Get("v") : std::string();
    bool recurse = cmd.Has("s");
    std::printf("\n");
    if (!QueryTree(store, key, path, recurse, &q)) return Fail("Cannot read " + path + ".");
    if (recurse) std::printf("End of search: %zu match(es) found.\n", q.matches);
    if (q.valueOnly && q.matches == 0) {
        std::string what =
            q.valueName.empty() ? "The default value" : "Value '" + q.valueName + "'";
        return Fail(what + " was not found in " + path + (recurse ? " or below it." : "."));
    }
    return 0;
}

// ---- add ----

bool ParseDword(const std::string& s, uint32_t* out) {
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > 0xffffffffull) return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseHexBytes(const std::string& s, std::string* out) {
    if (s.size() % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = s[i + k];
            unsigned d;
            if (c >= '0' && c <= '9') {
                d = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                d = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                d = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
            v = v * 16 + d;
        }
        out->push_back(static_cast<char>(v));
    }
    return true;
}

bool EncodeData(uint32_t type, const std::string& text, const std::string& separator,
                std::string* data, std::string* error) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            *data = EncodeRegString(text);
            return true;
        case REG_DWORD: {
            uint32_t n = 0;
            if (!text.empty() && !ParseDword(text, &n)) {
                *error = "Invalid REG_DWORD data '" + text +
                         "': give a number from 0 to 4294967295, in decimal or as 0x hex";
                return false;
            }
            *data = EncodeDword(n);
            return true;
        }
        case REG_BINARY:
        case REG_NONE:
            if (!ParseHexBytes(text, data)) {
                *error = "Invalid " + TypeName(type) + " data '" + text +
                         "': give pairs of hex digits, such as 00ff10";
                return false;
            }
            return true;
        case REG_MULTI_SZ: {
            // Each item ends in a zero byte and one more ends the list, as
            // the platform keeps multi-strings.
            data->clear();
            size_t pos = 0;
            while (!text.empty() && pos <= text.size()) {
                size_t end = text.find(separator, pos);
                if (end == std::string::npos) end = text.size();
                if (end == pos) {
                    *error = "Invalid REG_MULTI_SZ data '" + text +
                             "': an item between separators is empty";
                    return false;
                }
                data->append(text, pos, end - pos).push_back('\0');
                pos = end + separator.size();
            }
            data->push_back('\0');
            return true;
        }
    }
    *error = "Unsupported type";
    return false;
}

int Add(TStore& store, const Command& cmd, const KeyArg& keyArg) {
    bool named = cmd.Has("v"), unnamed = cmd.Has("ve");
    if (named && unnamed) return Syntax("/v and /ve exclude each other");
    if (!named && !unnamed && (cmd.Has("t") || cmd.Has("d") || cmd.Has("s")))
        return Syntax("/t, /d and /s need /v NAME or /ve");
    uint32_t type = REG_SZ;
    if (cmd.Has("t")) {
        static const struct {
            const char* name;
            uint32_t type;
        } kTypes[] = {{"REG_SZ", REG_SZ},
                      {"REG_EXPAND_SZ", REG_EXPAND_SZ},
                      {"REG_MULTI_SZ", REG_MULTI_SZ},
                      {"REG_DWORD", REG_DWORD},
                      {"REG_BINARY", REG_BINARY},
                      {"REG_NONE", REG_NONE}};
        bool known = false;
        for (const auto& t : kTypes) {
            if (strcasecmp(t.name, cmd.Get("t").c_str()) == 0) {
                type = t.type;
                known = true;
            }
        }
        if (!known)
            return Fail("Unsupported type '" + cmd.Get("t") +
                        "': use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY or "
                        "REG_NONE.");
    }
    std::string separator = "\\0";
    if (cmd.Has("s")) {
        if (type != REG_MULTI_SZ) return Syntax("/s is for REG_MULTI_SZ data only");
        if (cmd.Get("s").size() != 1)
            return Syntax("the /s separator must be exactly one character");
        separator = cmd.Get("s");
    }
    std::string data, error;
    if ((named || unnamed) &&
        !EncodeData(type, cmd.Has("d") ? cmd.Get("d") : std::string(), separator, &data, &error))
        return Fail(error + ".");
    std::string rel;
    for (const auto& n : keyArg.names) rel += (rel.empty() ? "" : "\\") + n;
    long rc = kRegOk;
    KeyId key = rel.empty() ? store.RootId()
                            : store.OpenKey(store.RootId(), rel, true, nullptr, nullptr, &rc);
    if (key == 0) return Fail("Cannot create the key " + keyArg.typed + ": " + ErrorText(rc));
    if (named || unnamed) {
        std::string name = named ? cmd.Get("v") : std::string();
        std::string what = named ? "Value '" + name + "'" : std::string("The default value");
        if (!cmd.Has("f") && store.QueryValue(key, name, nullptr) == kRegOk)
            return Fail(what + " of " + keyArg.typed + " exists already; add /f to overwrite it.");
        rc = store.SetValue(key, name, type, data);
        if (rc != kRegOk)
            return Fail("Cannot write " + what + " of " + keyArg.typed + ": " + ErrorText(rc));
    }
    std::fputs(kOk, stdout);
    return 0;
}

// ---- delete ----

int Delete(TStore& store, const Command& cmd, const KeyArg& keyArg) {
    int modes = cmd.Has("v") + cmd.Has("ve") + cmd.Has("va");
    if (modes > 1) return Syntax("/v, /ve and /va exclude each other");
    std::string path;
    KeyId key = FindKey(store, keyArg.names, keyArg.names.size(), &path);
    if (key == 0) return Fail("The key " + keyArg.typed + " does not exist.");
    std::string what;
    if (cmd.Has("v")) {
        what = "value '" + cmd.Get("v") + "' of " + path;
    } else if (cmd.Has("ve")) {
        what = "the default value of " + path;
    } else if (cmd.Has("va")) {
        what = "every value of " + path;
    } else {
        if (keyArg.names.empty()) return Fail("HKEY_CURRENT_USER itself cannot be deleted.");
        what = "the key " + path + " and everything below it";
    }
    // There is nobody to ask: a delete goes ahead only when asked for plainly.
    if (!cmd.Has("f")) return Fail("Not deleting " + what + " without /f; add /f to delete it.");
    long rc;
    if (cmd.Has("v") || cmd.Has("ve")) {
        rc = store.DeleteValue(key, cmd.Has("v") ? cmd.Get("v") : std::string());
        if (rc == kRegNotFound) return Fail("Cannot delete " + what + ": there is no such value.");
    } else if (cmd.Has("va")) {
        rc = kRegOk;
        bool done = store.Transaction([&] {
            std::vector<RegNamedValue> values;
            rc = store.LoadValues(key, &values);
            for (size_t i = 0; rc == kRegOk && i < values.size(); ++i)
                rc = store.DeleteValue(key, values[i].name);
            return rc == kRegOk;
        });
        if (!done && rc == kRegOk) rc = kRegBusy;
    } else {
        std::string parentPath;
        KeyId parent = FindKey(store, keyArg.names, keyArg.names.size() - 1, &parentPath);
        rc = parent == 0 ? kRegNotFound : store.DeleteKeyTree(parent, keyArg.names.back());
    }
    if (rc != kRegOk) return Fail("Cannot delete " + what + ": " + ErrorText(rc));
    std::fputs(kOk, stdout);
    return 0;
}

// ---- export and import ----

int Export(TStore& store, const Command& cmd, const KeyArg& keyArg, const std::string& file) {
    std::string path;
    KeyId key = FindKey(store, keyArg.names, keyArg.names.size(), &path);
    if (key == 0) return Fail("The key " + keyArg.typed + " does not exist.");
    struct stat st {};
    if (!cmd.Has("y") && lstat(file.c_str(), &st) == 0)
        return Fail("The file " + file + " exists already; add /y to overwrite it.");
    std::string error;
    if (!SaveKeyToFile(store, key, path, file, cmd.Has("y"), &error)) return Fail(error + ".");
    std::fputs(kOk, stdout);
    return 0;
}

int Import(TStore& store, const std::string& file) {
    std::string error;
    if (!ImportRegFile(store, file, &error)) return Fail(error + "; nothing was imported.");
    std::fputs(kOk, stdout);
    return 0;
}

// A running program takes the change in at once (it would notice it on its
// own a moment later). Not being able to tell it is no failure of the edit.
void TellRunningInstance() {
    InstanceAnswer a = NotifyStoreChanged(AppPaths::FromEnvironment().runtimeDir, 10000);
    if (a.kind == InstanceAnswer::Kind::NoAnswer || a.kind == InstanceAnswer::Kind::Refused)
        std::fprintf(stderr, "WARNING: the running Zarkell'40 was not told of the change: %s\n",
                     a.text.c_str());
}

bool IsHelp(const std::string& arg) { return arg == "/?" || arg == "-?" || arg == "--help"; }

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (IsHelp(argv[i])) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (argc < 2) return Syntax("no command given");
    std::string verb = Lower(argv[1]);
    Command cmd;
    std::string error;
    bool parsed;
    if (verb == "query") {
        parsed = ParseArgs(argc, argv, {{"v", true}, {"ve", false}, {"s", false}}, &cmd, &error) &&
                 WantPositional(cmd, 1, "KEY", &error);
    } else if (verb == "add") {
        parsed =
            ParseArgs(
                argc, argv,
                {{"v", true}, {"ve", false}, {"t", true}, {"d", true}, {"s", true}, {"f", false}},
                &cmd, &error) &&
            WantPositional(cmd, 1, "KEY", &error);
    } else if (verb == "delete") {
        parsed = ParseArgs(argc, argv, {{"v", true}, {"ve", false}, {"va", false}, {"f", false}},
                           &cmd, &error) &&
                 WantPositional(cmd, 1, "KEY", &error);
    } else if (verb == "export") {
        parsed = ParseArgs(argc, argv, {{"y", false}}, &cmd, &error) &&
                 WantPositional(cmd, 2, "KEY and FILE", &error);
    } else if (verb == "import") {
        parsed = ParseArgs(argc, argv, {}, &cmd, &error) && WantPositional(cmd, 1, "FILE", &error);
    } else {
        return Syntax("unknown command '" + std::string(argv[1]) +
                      "'; use query, add, delete, export or import");
    }
    if (!parsed) return Syntax(error);

    KeyArg key;
    if (verb != "import" && !ParseKey(cmd.positional[0], &key, &error)) return Fail(error + ".");

    std::string path = TStore::DefaultPath();
    auto store = TStore::Open(path, &error);
    if (!store) return Fail(error.empty() ? "cannot open the store " + path : error);

    if (verb == "query") return Query(*store, cmd, key);
    if (verb == "export") return Export(*store, cmd, key, cmd.positional[1]);
    int rc = verb == "add"      ? Add(*store, cmd, key)
             : verb == "delete" ? Delete(*store, cmd, key)
                                : Import(*store, cmd.positional[0]);
    if (rc == 0) TellRunningInstance();
    return rc;
}
