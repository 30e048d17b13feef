#include "update/ConfigParser.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

#include "modules/ModuleFile.h"
#include "store/Trace.h"

namespace zk40 {

namespace {

// Reads a file line by line in large blocks and counts every byte it
// consumes, LFs included, for the progress texts. A line longer than
// kMaxConfigLine comes back flagged and empty, so we never hold more than one
// line's worth however long the file's lines are.
class LineReader {
public:
    explicit LineReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
        struct stat st {};
        if (file_ && fstat(fileno(file_), &st) == 0 && st.st_size > 0)
            size_ = static_cast<uint64_t>(st.st_size);
    }
    ~LineReader() {
        if (file_) std::fclose(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    uint64_t Size() const { return size_; }
    uint64_t Consumed() const { return consumed_; }

    // False at the end of the file. A last line without LF still counts.
    bool Next(std::string& line, bool& overlong) {
        line.clear();
        overlong = false;
        bool any = false;
        // One byte of slack: a CR before the LF does not count against the
        // limit, since it is dropped anyway.
        constexpr size_t kKeep = kMaxConfigLine + 1;
        for (;;) {
            if (pos_ == len_) {
                len_ = file_ ? std::fread(buf_, 1, sizeof buf_, file_) : 0;
                pos_ = 0;
                if (len_ == 0) break;
            }
            const char* start = buf_ + pos_;
            const char* nl = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
            size_t piece = nl ? static_cast<size_t>(nl - start) : len_ - pos_;
            any = true;
            if (!overlong) {
                if (line.size() + piece <= kKeep)
                    line.append(start, piece);
                else
                    overlong = true;
            }
            pos_ += piece;
            consumed_ += piece;
            if (nl) {
                ++pos_;
                ++consumed_;
                break;
            }
        }
        if (!overlong && line.size() > kMaxConfigLine && line.back() != '\r') overlong = true;
        if (overlong) line.clear();
        return any;
    }

private:
    std::FILE* file_;
    uint64_t size_ = 0;
    uint64_t consumed_ = 0;
    char buf_[64 * 1024];
    size_t pos_ = 0, len_ = 0;
};

// "... (%d of %d bytes)..." whenever more than 499 characters came in since
// the last such report.
class ParseProgress {
public:
    ParseProgress(IUpdateProgress& sink, const char* what, uint64_t size)
        : sink_(sink), what_(what), size_(size) {}
    void Read(uint64_t consumed) {
        if (consumed - reported_ <= 499) return;
        reported_ = consumed;
        sink_.Status(std::string("SysUpd:  Parsing ") + what_ + " (" + std::to_string(consumed) +
                     " of " + std::to_string(size_) + " bytes)...");
        // A file that grew while we read it must not push the bar past 100.
        uint64_t pct = size_ ? consumed * 100 / size_ : 100;
        sink_.Progress(static_cast<int>(std::min<uint64_t>(pct, 100)));
    }

private:
    IUpdateProgress& sink_;
    const char* what_;
    uint64_t size_;
    uint64_t reported_ = 0;
};

std::string_view Trim(std::string_view s, const char* chars) {
    size_t b = s.find_first_not_of(chars);
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(chars);
    return s.substr(b, e - b + 1);
}

constexpr char kBlanks[] = " \t";
constexpr char kLineEnds[] = " \t\r\n";

// A CR at either end first (files written on other systems end lines with
// CR LF), then blanks.
std::string_view TrimConfigLine(std::string_view s) {
    if (!s.empty() && s.front() == '\r') s.remove_prefix(1);
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    return Trim(s, kBlanks);
}

std::string Upper(std::string_view s) {
    std::string out(s);
    // ASCII only: key names are ASCII and the user's locale must not change them.
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// A "\" in a configuration value is how the server writes a line break.
std::string Unescape(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\')
            out += "\r\n";
        else
            out += c;
    }
    return out;
}

bool UsableKeyName(const std::string& s) { return !s.empty() && s.find('\\') == std::string::npos; }

// The key a configuration value of this context goes to, below the product
// key; empty when an id could not be a key name. Ids from a file never hold
// a '\' (the parser turned each into CR LF), but a context handed in by a
// caller might, and it must not reach keys outside its vendor.
std::string ContextKeyPath(const ConfigContext& c) {
    if (c.vendor.empty()) return "config";
    if (!UsableKeyName(c.vendor)) return {};
    std::string path = "actions\\" + c.vendor;
    if (!c.module.empty()) {
        if (!UsableKeyName(c.module)) return {};
        path += "\\" + c.module;
        if (!c.action.empty()) {
            if (!UsableKeyName(c.action)) return {};
            path += "\\" + c.action;
        }
    }
    return path;
}

void TraceSkippedLine(const std::string& path, uint64_t offset) {
    ZK40_TRACE(kTraceGeneral, "Update file '" + path + "': line at byte " + std::to_string(offset) +
                                  " is longer than " + std::to_string(kMaxConfigLine) +
                                  " characters and was skipped");
}

enum class OpKind : uint8_t { kSet, kAppend, kDelete };

// One pass over a configuration file: tracks the context and hands every
// value line to onValue, every INCLUDE to onInclude and every ACTIONID that
// has a vendor and module to onAction.
template <typename OnValue, typename OnInclude, typename OnAction>
void ReadConfigLines(const std::string& path, ConfigContext& ctx, ParseProgress* progress,
                     LineReader& reader, OnValue&& onValue, OnInclude&& onInclude,
                     OnAction&& onAction) {
    std::string raw;
    bool overlong = false;
    for (uint64_t start = 0; reader.Next(raw, overlong); start = reader.Consumed()) {
        if (progress) progress->Read(reader.Consumed());
        if (overlong) {
            TraceSkippedLine(path, start);
            continue;
        }
        std::string_view line = TrimConfigLine(raw);
        if (line.empty() || line.front() == '#' || line.starts_with("//")) continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string key = Upper(Trim(line.substr(0, colon), kBlanks));
        std::string value = Unescape(Trim(line.substr(colon + 1), kBlanks));
        if (key == "VENDORID") {
            ctx.vendor = std::move(value);
            ctx.module.clear();
            ctx.action.clear();
        } else if (key == "MODULEID") {
            ctx.module = std::move(value);
            ctx.action.clear();
        } else if (key == "ACTIONID") {
            ctx.action = std::move(value);
            if (!ctx.vendor.empty() && !ctx.module.empty()) onAction(ctx);
        } else if (key == "INCLUDE") {
            // The main configuration belongs to us; only a vendor's part may
            // pull in more. Nothing to fetch without a URL.
            if (!ctx.vendor.empty() && !value.empty())
                onInclude(ConfigInclude{ctx.vendor, ctx.module, ctx.action, std::move(value)});
        } else {
            bool append = !key.empty() && key.front() == '+';
            std::string name = append ? std::string(Trim(key.substr(1), kBlanks)) : key;
            // A nameless value would land in the key's default value, which
            // no reader of these keys looks at: a typo, not data.
            if (name.empty()) continue;
            OpKind kind = value.empty() ? OpKind::kDelete : append ? OpKind::kAppend : OpKind::kSet;
            onValue(ctx, kind, std::move(name), std::move(value));
        }
    }
}

// Caches the open key of the context the last write went to; consecutive
// lines almost always share it.
class TargetKeys {
public:
    explicit TargetKeys(const TRegKey& product) : product_(product) {}
    // Empty handle when the key cannot be had (or, without create, is not there).
    const TRegKey& For(uint32_t index, const ConfigContext& ctx, bool create) {
        if (index != index_) {
            index_ = index;
            path_ = ContextKeyPath(ctx);
            key_ = TRegKey();
            triedOpen_ = triedCreate_ = false;
        }
        if (!key_.IsValid() && !path_.empty()) {
            if (create && !triedCreate_) {
                triedCreate_ = triedOpen_ = true;
                key_ = TRegKey(product_, path_, true);
            } else if (!create && !triedOpen_) {
                triedOpen_ = true;
                key_ = TRegKey(product_, path_, false);
            }
        }
        return key_;
    }

private:
    const TRegKey& product_;
    uint32_t index_ = UINT32_MAX;
    std::string path_;
    TRegKey key_;
    bool triedOpen_ = false, triedCreate_ = false;
};

std::string StoredString(const TRegKey& key, std::string_view name) {
    RegValueData d;
    if (key.Query(name, &d) != kRegOk) return {};
    if (d.type != REG_SZ && d.type != REG_EXPAND_SZ) return {};
    return DecodeRegString(d.data);
}

}  // namespace

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

// Why a configuration may not write this value ("" when it may). Values
// that name files are ours to choose: TEMPFILE holds a path we delete or
// install from, FILENAME a name inside the action folder. And only a
// configuration read from a local file may point at local files.
std::string RefusalOf(const std::string& name, OpKind kind, const std::string& value,
                      bool localSource) {
    if (name == "TEMPFILE") return "TEMPFILE is kept by the program itself";
    if (kind == OpKind::kDelete) return {};
    if (name == "FILENAME" && (kind == OpKind::kAppend || !IsPlainFileName(value)))
        return "FILENAME \"" + value + "\" is not a plain file name";
    if (!localSource && StartsWithNoCase(value, "file:"))
        return name + " names a local file, which only a local configuration may do";
    return {};
}

}  // namespace

bool ParseConfigFile(const std::string& path, const TRegKey& productKey, ConfigContext ctx,
                     IUpdateProgress& progress, std::vector<ConfigInclude>* includes,
                     bool localSource) {
    progress.Status("SysUpd:  Parsing configuration data...");
    progress.Progress(95);

    uint64_t lines = 0, refused = 0;
    std::string firstRefusal;
    // Each line goes to the store as it is read, inside one transaction:
    // the file is never held in memory, however large, and a reader never
    // sees half a configuration.
    auto read = [&](TargetKeys* targets) {
        LineReader reader(path);
        ParseProgress parseProgress(progress, "configuration data", reader.Size());
        ConfigContext context = ctx;
        lines = refused = 0;
        firstRefusal.clear();
        if (includes) includes->clear();
        uint32_t contextIndex = 0;
        ConfigContext last;
        bool any = false;
        ReadConfigLines(
            path, context, &parseProgress, reader,
            [&](const ConfigContext& c, OpKind kind, std::string name, std::string value) {
                ++lines;
                if (std::string why = RefusalOf(name, kind, value, localSource); !why.empty()) {
                    ++refused;
                    if (firstRefusal.empty()) firstRefusal = why;
                    ZK40_TRACE(kTraceGeneral,
                               "Configuration file '" + path + "': line refused: " + why);
                    return;
                }
                if (!targets) return;
                if (!any || c.vendor != last.vendor || c.module != last.module ||
                    c.action != last.action) {
                    ++contextIndex;
                    last = c;
                    any = true;
                }
                // Individual writes that fail (a name the store refuses) are
                // skipped; the rest of the file still applies.
                if (kind == OpKind::kDelete) {
                    targets->For(contextIndex, c, false).DeleteValue(name);
                    return;
                }
                const TRegKey& key = targets->For(contextIndex, c, true);
                if (!key.IsValid()) return;
                if (kind == OpKind::kAppend)
                    key.SetString(name, StoredString(key, name) + value);
                else
                    key.SetString(name, value);
            },
            [&](ConfigInclude inc) {
                if (includes) includes->push_back(std::move(inc));
            },
            [](const ConfigContext&) {});
    };

    bool applied = false;
    if (TStore* store = productKey.IsValid() ? productKey.Store() : nullptr) {
        applied = store->Transaction([&] {
            TargetKeys targets(productKey);
            read(&targets);
            return true;
        });
    }
    if (!applied) {
        // Nothing was written; still tell whether there was anything to write.
        read(nullptr);
        if (lines > refused)
            ZK40_TRACE(kTraceGeneral, "Configuration file '" + path +
                                          "' was not applied: the store is not writable");
    }
    if (refused > 0)
        progress.Status("SysUpd:  " + std::to_string(refused) + " configuration line" +
                        (refused == 1 ? "" : "s") + " refused: " + firstRefusal + ".");

    progress.Status("SysUpd:  Parsing configuration data completed.");
    progress.Progress(100);
    return applied || lines == refused;
}

std::vector<ConfigInclude> FindIncludes(const std::string& path) {
    std::vector<ConfigInclude> out;
    ConfigContext ctx;
    LineReader reader(path);
    ReadConfigLines(
        path, ctx, nullptr, reader, [](const ConfigContext&, OpKind, std::string, std::string) {},
        [&](ConfigInclude inc) { out.push_back(std::move(inc)); }, [](const ConfigContext&) {});
    return out;
}

std::vector<ConfigContext> FindActionTypes(const std::string& path) {
    std::vector<ConfigContext> out;
    ConfigContext ctx;
    LineReader reader(path);
    ReadConfigLines(
        path, ctx, nullptr, reader, [](const ConfigContext&, OpKind, std::string, std::string) {},
        [](ConfigInclude) {}, [&](const ConfigContext& c) { out.push_back(c); });
    return out;
}

std::string IncludeDisplayText(const ConfigInclude& inc) {
    std::string text = "[SYSTEM UPDATE] " + inc.vendor;
    if (!inc.action.empty())
        text += ":" + inc.module + ":" + inc.action;
    else if (!inc.module.empty())
        text += ":" + inc.module;
    return text;
}

namespace {

// Up to `width` digits starting at 1-based position `pos`; false when there
// is not even one.
bool ReadNumber(const std::string& s, size_t pos, size_t width, int& out) {
    out = 0;
    size_t digits = 0;
    for (size_t i = pos - 1; digits < width && i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        out = out * 10 + (s[i] - '0');
        ++digits;
    }
    return digits > 0;
}

}  // namespace

StoreTime NextUpdateFrom(const std::string& text, StoreTime now) {
    // Ask again a day from now at the latest, on a whole minute.
    StoreTime earliest = now + kSecondsPerDay;
    earliest -= earliest % 60;
    if (text.empty()) return earliest;

    int month, day, year, hour, minute;
    if (!ReadNumber(text, 1, 2, month) || !ReadNumber(text, 4, 2, day) ||
        !ReadNumber(text, 7, 4, year) || !ReadNumber(text, 12, 2, hour) ||
        !ReadNumber(text, 15, 2, minute))
        return earliest;
    if (year < 1901 || !IsValidDate(year, month, day) || hour > 23 || minute > 59) return earliest;

    struct tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    time_t t = timegm(&utc);
    StoreTime local = FromUnixTime(static_cast<int64_t>(t));
    // Beyond what a store time holds: clamped, and no use as a date.
    if (local >= kNeverTime) return earliest;
    return std::max(local, earliest);
}

std::string CompletedText(StoreTime nextUpdate) {
    return "SysUpd:  Completed.  Next Update = " + FormatStoreTime(nextUpdate) + ".";
}

namespace {

struct ActionDataOp {
    bool version;     // VERSION line: the value is the action's ADVERSION
    uint32_t subkey;  // index into the subkey list; 0 is ACTDATA itself
    std::string name;
    std::string value;
};

}  // namespace

bool ParseActionDataFile(const std::string& path, const TRegKey& productKey,
                         const std::string& vendor, const std::string& module,
                         const std::string& action, IUpdateProgress& progress) {
    if (!UsableKeyName(vendor) || !UsableKeyName(module) || !UsableKeyName(action)) {
        ZK40_TRACE(kTraceGeneral, "Action data '" + path + "' ignored: '" + vendor + "', '" +
                                      module + "', '" + action + "' do not name an action");
        return false;
    }
    progress.Status("SysUpd:  Parsing action data...");
    progress.Progress(95);

    LineReader reader(path);
    ParseProgress parseProgress(progress, "action data", reader.Size());
    std::vector<std::string> subkeys{""};
    std::vector<ActionDataOp> ops;
    std::string raw;
    bool overlong = false;
    for (uint64_t start = 0; reader.Next(raw, overlong); start = reader.Consumed()) {
        parseProgress.Read(reader.Consumed());
        if (overlong) {
            TraceSkippedLine(path, start);
            continue;
        }
        // No comments and no escapes here: action data is the module's own
        // and reaches it exactly as written.
        std::string_view line = Trim(raw, kLineEnds);
        if (line.empty()) continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = Trim(line.substr(0, colon), kBlanks);
        std::string_view value = Trim(line.substr(colon + 1), kBlanks);
        if (key.empty()) continue;
        if (key == "SUBKEY") {
            if (subkeys.back() != value) subkeys.emplace_back(value);
        } else {
            ops.push_back({key == "VERSION", static_cast<uint32_t>(subkeys.size() - 1),
                           std::string(key), std::string(value)});
        }
    }

    bool applied = false;
    if (TStore* store = productKey.IsValid() ? productKey.Store() : nullptr) {
        applied = store->Transaction([&] {
            TRegKey actionKey(productKey, "actions\\" + vendor + "\\" + module + "\\" + action);
            if (!actionKey.IsValid()) return false;
            // The file replaces all earlier data, including subkeys it no
            // longer names.
            actionKey.DeleteSubKeyTree("ACTDATA");
            TRegKey actData(actionKey, "ACTDATA");
            if (!actData.IsValid()) return false;
            uint32_t openIndex = 0;
            TRegKey sub;
            for (const ActionDataOp& op : ops) {
                if (op.version) {
                    actionKey.SetString("ADVERSION", op.value);
                    continue;
                }
                if (op.subkey == 0) {
                    actData.SetString(op.name, op.value);
                    continue;
                }
                if (op.subkey != openIndex) {
                    openIndex = op.subkey;
                    // A subkey name with '\' makes nested keys, all below
                    // ACTDATA; one the store refuses drops its lines.
                    sub = TRegKey(actData, subkeys[op.subkey]);
                }
                sub.SetString(op.name, op.value);
            }
            return true;
        });
    }
    if (!applied)
        ZK40_TRACE(kTraceGeneral,
                   "Action data '" + path + "' was not applied: the store is not writable");

    progress.Status("SysUpd:  Parsing action data completed.");
    progress.Progress(100);
    return applied;
}

}  // namespace zk40
