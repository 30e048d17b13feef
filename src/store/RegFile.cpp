#include "store/RegFile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "support/ErrorText.h"

namespace zk40 {

namespace {

// regedit writes CR LF; so do we, so that the files open cleanly anywhere.
constexpr const char* kEol = "\r\n";
constexpr const char* kHeader = "REGEDIT4";
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
// regedit keeps hex lines within 80 columns; the trailing '\' counts.
constexpr size_t kHexWidth = 78;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

std::string_view TrimLeft(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) --n;
    return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses 1 to maxDigits hex digits, nothing else.
bool ParseHexNumber(std::string_view s, size_t maxDigits, uint32_t* out) {
    if (s.empty() || s.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

bool ValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xe0) == 0xc0) {
            len = 2;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3f);
        }
        // Overlong forms, surrogates and code points past Unicode would not
        // survive an editor that re-encodes the file.
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

// Whether a REG_SZ can go out as "text" and come back as the same bytes.
// The one-zero-byte form is how the store keeps "", so "" stands for it.
bool QuotableString(std::string_view data) {
    if (data.size() == 1 && data[0] == '\0') return true;
    if (data.empty()) return false;
    for (unsigned char c : data)
        if (c < 0x20 || c == 0x7f) return false;
    return ValidUtf8(data);
}

// Names must stay on one line of the file.
bool NameFitsOnLine(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void AppendQuoted(std::string* out, std::string_view text) {
    out->push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

void AppendHex(std::string* out, std::string_view prefix, std::string_view data) {
    static const char kDigits[] = "0123456789abcdef";
    out->append(prefix);
    size_t col = prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        auto b = static_cast<unsigned char>(data[i]);
        char token[3] = {kDigits[b >> 4], kDigits[b & 15], ','};
        size_t len = i + 1 < data.size() ? 3 : 2;
        if (col + len > kHexWidth) {
            out->append("\\");
            out->append(kEol);
            out->append("  ");
            col = 2;
        }
        out->append(token, len);
        col += len;
    }
}

void AppendValue(std::string* out, const RegNamedValue& v) {
    std::string prefix;
    if (v.name.empty()) {
        prefix = "@";
    } else {
        AppendQuoted(&prefix, v.name);
    }
    prefix.push_back('=');
    const std::string& d = v.value.data;
    if (v.value.type == REG_SZ && QuotableString(d)) {
        out->append(prefix);
        AppendQuoted(out, d.size() == 1 && d[0] == '\0' ? std::string_view() : std::string_view(d));
    } else if (v.value.type == REG_DWORD && d.size() == 4) {
        uint32_t n = 0;
        DecodeDword(d, &n);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", n);
        out->append(prefix);
        out->append(buf);
    } else if (v.value.type == REG_BINARY) {
        AppendHex(out, prefix + "hex:", d);
    } else {
        char buf[24];
        snprintf(buf, sizeof buf, "hex(%x):", v.value.type);
        AppendHex(out, prefix + buf, d);
    }
    out->append(kEol);
}

bool FormatKey(TStore& store, KeyId key, const std::string& path, std::string* out,
               std::string* error) {
    if (!NameFitsOnLine(path)) {
        *error = "cannot save key '" + path +
                 "': its name holds a line break or zero byte, which a .reg file cannot carry";
        return false;
    }
    out->append("[").append(path).append("]").append(kEol);
    std::vector<RegNamedValue> values;
    long rc = store.LoadValues(key, &values);
    if (rc != kRegOk) {
        *error = "cannot read the values of key '" + path + "': " + ErrorText(rc);
        return false;
    }
    for (const auto& v : values) {
        if (!NameFitsOnLine(v.name)) {
            *error = "cannot save value '" + v.name + "' of key '" + path +
                     "': its name holds a line break or zero byte, which a .reg file cannot carry";
            return false;
        }
        AppendValue(out, v);
    }
    out->append(kEol);
    std::vector<std::string> subkeys;
    rc = store.ListSubKeys(key, &subkeys);
    if (rc != kRegOk) {
        *error = "cannot list the subkeys of key '" + path + "': " + ErrorText(rc);
        return false;
    }
    for (const auto& name : subkeys) {
        KeyId child = store.OpenKey(key, name, false, nullptr, nullptr, &rc);
        if (child == 0) {
            *error = "cannot open key '" + path + "\\" + name + "': " + ErrorText(rc);
            return false;
        }
        if (!FormatKey(store, child, path + "\\" + name, out, error)) return false;
    }
    return true;
}

std::string Errno(int err) { return std::strerror(err); }

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Writes into a temporary file beside the target and renames it into place,
// so the target is either the old file or the whole new one, never a part.
bool WriteFileReplacing(const std::string& file, const std::string& text, bool overwrite,
                        std::string* error) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    if (base.empty()) {
        *error = "cannot save to " + file + ": that is a folder, not a file name";
        return false;
    }
    std::string tmp = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        *error = "cannot save to " + file + ": cannot create a temporary file in " + dir + ": " +
                 Errno(errno);
        return false;
    }
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        *error = "cannot save to " + file + ": " + Errno(err);
        return false;
    };
    if (!WriteAll(fd, text) || fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        *error = "cannot save to " + file + ": " + Errno(err);
        return false;
    }
    int rc;
    if (overwrite) {
        rc = ::rename(tmp.c_str(), file.c_str());
    } else {
        // No-replace rename closes the gap between our existence check and
        // the rename; file systems without it get the same with link().
        rc = renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            rc = ::link(tmp.c_str(), file.c_str());
            if (rc == 0) ::unlink(tmp.c_str());
        }
    }
    if (rc != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        *error = err == EEXIST ? "cannot save to " + file + ": the file already exists"
                               : "cannot save to " + file + ": " + Errno(err);
        return false;
    }
    return true;
}

bool BelowOrAt(const std::vector<std::string>& path, const std::vector<std::string>& target) {
    if (path.size() < target.size()) return false;
    for (size_t i = 0; i < target.size(); ++i)
        if (!IEquals(path[i], target[i])) return false;
    return true;
}

std::string JoinPath(const std::vector<std::string>& names, size_t from) {
    std::string s;
    for (size_t i = from; i < names.size(); ++i) {
        if (!s.empty()) s.push_back('\\');
        s += names[i];
    }
    return s;
}

// Creates the keys of the sections (paths taken from element `skip` on, below
// base) and sets their values. Runs inside the caller's transaction.
bool ApplySections(TStore& store, KeyId base, size_t skip, const RegFileContents& contents,
                   const std::string& file, std::string* error) {
    for (const auto& sec : contents.sections) {
        long rc = kRegOk;
        std::string rel = JoinPath(sec.path, skip);
        KeyId id = rel.empty() ? base : store.OpenKey(base, rel, true, nullptr, nullptr, &rc);
        if (id == 0) {
            *error = file + ": line " + std::to_string(sec.line) + ": cannot create key '" +
                     sec.header + "': " + ErrorText(rc);
            return false;
        }
        for (const auto& v : sec.values) {
            rc = store.SetValue(id, v.name, v.value.type, v.value.data);
            if (rc != kRegOk) {
                *error = file + ": line " + std::to_string(sec.line) + ": cannot set value '" +
                         (v.name.empty() ? std::string("@") : v.name) + "' of key '" + sec.header +
                         "': " + ErrorText(rc);
                return false;
            }
        }
    }
    return true;
}

class Parser {
public:
    Parser(std::string_view text, RegFileContents* out, std::string* error)
        : out_(out), error_(error) {
        // A UTF-8 byte order mark from a Windows editor is not part of the header.
        if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string_view::npos) nl = text.size();
            std::string_view line = text.substr(pos, nl - pos);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            pos = nl + 1;
        }
        // The file's final line end leaves no line of its own.
        if (lines_.size() > 1 && lines_.back().empty() && !text.empty() && text.back() == '\n')
            lines_.pop_back();
    }

    bool Run() {
        out_->sections.clear();
        size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
        if (i == lines_.size()) return Fail(1, "missing REGEDIT4 header: the file is empty");
        if (lines_[i].substr(0, 2) == "\xff\xfe" || lines_[i].substr(0, 2) == "\xfe\xff")
            return Fail(i + 1, "the file is UTF-16 text; only REGEDIT4 files (UTF-8) are read");
        if (TrimRight(lines_[i]) != kHeader)
            return Fail(i + 1, "unknown header '" + std::string(Shorten(lines_[i])) +
                                   "' (expected REGEDIT4)");
        for (++i; i < lines_.size(); ++i) {
            std::string_view line = TrimLeft(lines_[i]);
            if (line.empty() || line[0] == ';') continue;
            bool ok;
            if (line[0] == '[') {
                ok = Section(i, line);
            } else if (line[0] == '"' || line[0] == '@') {
                ok = Value(&i, line);
            } else {
                ok = Fail(i + 1, "unrecognised line '" + std::string(Shorten(line)) + "'");
            }
            if (!ok) return false;
        }
        return true;
    }

private:
    static std::string_view Shorten(std::string_view s) { return s.substr(0, 60); }

    bool Fail(size_t line, const std::string& why) {
        *error_ = "line " + std::to_string(line) + ": " + why;
        return false;
    }

    bool Section(size_t i, std::string_view line) {
        line = TrimRight(line);
        if (line.back() != ']') return Fail(i + 1, "missing ']' at the end of the key line");
        std::string_view path = line.substr(1, line.size() - 2);
        if (!path.empty() && path[0] == '-')
            return Fail(i + 1, "deleting a key ([-key]) is not supported");
        RegFileSection sec;
        std::string why;
        if (!SplitUserKeyPath(std::string(path), &sec.path, &why)) return Fail(i + 1, why);
        sec.line = static_cast<int>(i + 1);
        sec.header.assign(path);
        out_->sections.push_back(std::move(sec));
        return true;
    }

    // Reads a quoted string starting at line[*pos] == '"'; leaves *pos after
    // the closing quote.
    bool Quoted(size_t i, std::string_view line, size_t* pos, std::string* text) {
        text->clear();
        size_t p = *pos + 1;
        for (; p < line.size(); ++p) {
            char c = line[p];
            if (c == '"') {
                *pos = p + 1;
                return true;
            }
            if (c == '\\') {
                if (p + 1 >= line.size()) break;
                char e = line[++p];
                if (e != '\\' && e != '"')
                    return Fail(i + 1, std::string("bad escape '\\") + e +
                                           "' (only \\\\ and \\\" are allowed)");
                c = e;
            }
            text->push_back(c);
        }
        return Fail(i + 1, "unterminated string");
    }

    bool Value(size_t* index, std::string_view line) {
        size_t i = *index;
        if (out_->sections.empty()) return Fail(i + 1, "value before any key");
        RegNamedValue v;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else {
            if (!Quoted(i, line, &pos, &v.name)) return false;
            if (v.name.size() > kMaxValueName)
                return Fail(i + 1, "value name longer than 16383 characters");
        }
        std::string_view rest = TrimLeft(line.substr(pos));
        if (rest.empty() || rest[0] != '=') return Fail(i + 1, "missing '=' after the value name");
        rest = TrimLeft(rest.substr(1));
        if (rest.empty()) return Fail(i + 1, "missing data after '='");
        if (rest[0] == '-' && Trim(rest) == "-")
            return Fail(i + 1, "deleting a value (\"name\"=-) is not supported");
        if (rest[0] == '"') {
            size_t p = 0;
            std::string text;
            if (!Quoted(i, rest, &p, &text)) return false;
            if (!Trim(rest.substr(p)).empty())
                return Fail(i + 1, "unexpected text after the string");
            v.value.type = REG_SZ;
            v.value.data = EncodeRegString(text);
        } else if (IStartsWith(rest, "dword:")) {
            std::string_view digits = Trim(rest.substr(6));
            uint32_t n;
            if (!ParseHexNumber(digits, 8, &n))
                return Fail(i + 1, "bad dword '" + std::string(Shorten(digits)) +
                                       "' (expected 1 to 8 hex digits)");
            v.value.type = REG_DWORD;
            v.value.data = EncodeDword(n);
        } else if (IStartsWith(rest, "hex")) {
            std::string_view t = rest.substr(3);
            if (!t.empty() && t[0] == ':') {
                v.value.type = REG_BINARY;
                t.remove_prefix(1);
            } else {
                size_t close = t.find(')');
                if (t.empty() || t[0] != '(' || close == std::string_view::npos ||
                    close + 1 >= t.size() || t[close + 1] != ':' ||
                    !ParseHexNumber(t.substr(1, close - 1), 8, &v.value.type))
                    return Fail(i + 1, "bad value type '" + std::string(Shorten(rest)) +
                                           "' (expected hex: or hex(N): with N in hex)");
                t.remove_prefix(close + 2);
            }
            if (!HexBytes(index, t, &v.value.data)) return false;
        } else {
            return Fail(i + 1, "unknown value type in '" + std::string(Shorten(rest)) + "'");
        }
        // The same name twice in one key: the later one wins, as when the
        // lines are applied one after another.
        auto& values = out_->sections.back().values;
        for (auto& old : values) {
            if (IEquals(old.name, v.name)) {
                old = std::move(v);
                return true;
            }
        }
        values.push_back(std::move(v));
        return true;
    }

    // Comma-separated bytes, continued onto following lines by a trailing '\'.
    bool HexBytes(size_t* index, std::string_view first, std::string* data) {
        data->clear();
        std::string_view part = Trim(first);
        bool any = false, wantMore = false;
        for (;;) {
            bool continues = !part.empty() && part.back() == '\\';
            if (continues) part = TrimRight(part.substr(0, part.size() - 1));
            size_t p = 0;
            while (p < part.size()) {
                size_t comma = part.find(',', p);
                if (comma == std::string_view::npos) comma = part.size();
                std::string_view tok = Trim(part.substr(p, comma - p));
                uint32_t b;
                if (!ParseHexNumber(tok, 2, &b))
                    return Fail(*index + 1,
                                tok.empty() ? std::string("missing hex byte")
                                            : "bad hex byte '" + std::string(Shorten(tok)) + "'");
                data->push_back(static_cast<char>(b));
                any = true;
                wantMore = comma < part.size();
                p = comma + 1;
            }
            if (!continues) break;
            if (*index + 1 >= lines_.size())
                return Fail(*index + 1, "the file ends inside a continued hex value");
            part = Trim(lines_[++*index]);
        }
        // "aa,bb," promises another byte that never came.
        if (any && wantMore) return Fail(*index + 1, "missing hex byte after ','");
        return true;
    }

    std::vector<std::string_view> lines_;
    RegFileContents* out_;
    std::string* error_;
};

}  // namespace

bool ReadWholeFile(const std::string& file, std::string* text, std::string* error) {
    // Not blocking in the open: a pipe or a device given as a file would
    // otherwise hold the reader (the running program, for an import) until
    // something wrote to it.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot read " + file + ": " + Errno(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = "cannot read " + file + ": not a regular file";
        return false;
    }
    text->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read " + file + ": " + Errno(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

bool SplitUserKeyPath(const std::string& path, std::vector<std::string>* names,
                      std::string* error) {
    names->clear();
    std::string_view p = path;
    size_t root = p.find('\\');
    std::string_view head = p.substr(0, root);
    if (!IEquals(head, "HKEY_CURRENT_USER") && !IEquals(head, "HKCU")) {
        *error = "key '" + path + "' is outside HKEY_CURRENT_USER";
        return false;
    }
    if (root == std::string_view::npos) return true;
    p.remove_prefix(root + 1);
    while (!p.empty()) {
        size_t end = p.find('\\');
        std::string_view name = p.substr(0, end);
        if (name.empty()) {
            *error = "key '" + path + "' has an empty key name";
            return false;
        }
        if (name.size() > kMaxKeyName) {
            *error = "key '" + path + "' has a key name longer than 255 characters";
            return false;
        }
        names->emplace_back(name);
        if (end == std::string_view::npos) break;
        p.remove_prefix(end + 1);
    }
    return true;
}

bool ParseRegFile(const std::string& text, RegFileContents* out, std::string* error) {
    std::string dummy;
    return Parser(text, out, error ? error : &dummy).Run();
}

bool FormatKeyTree(TStore& store, KeyId key, const std::string& keyPath, std::string* text,
                   std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    text->assign(kHeader).append(kEol).append(kEol);
    // One transaction gives one consistent picture of the tree even while
    // another process writes.
    return store.Transaction([&] {
        if (!store.KeyExists(key)) {
            *error = "cannot save key '" + keyPath + "': the key does not exist";
            return false;
        }
        return FormatKey(store, key, keyPath, text, error);
    });
}

bool SaveKeyToFile(TStore& store, KeyId key, const std::string& keyPath, const std::string& file,
                   bool overwrite, std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    struct stat st {};
    if (!overwrite && lstat(file.c_str(), &st) == 0) {
        *error = "cannot save to " + file + ": the file already exists";
        return false;
    }
    std::string text;
    error->clear();
    if (!FormatKeyTree(store, key, keyPath, &text, error)) {
        if (error->empty()) *error = "cannot save key '" + keyPath + "': the store is busy";
        return false;
    }
    return WriteFileReplacing(file, text, overwrite, error);
}

bool RestoreKeyFromFile(TStore& store, KeyId key, const std::string& keyPath,
                        const std::string& file, std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    std::vector<std::string> target;
    if (!SplitUserKeyPath(keyPath, &target, error)) return false;
    std::string text;
    if (!ReadWholeFile(file, &text, error)) return false;
    RegFileContents contents;
    if (!ParseRegFile(text, &contents, error)) {
        *error = file + ": " + *error;
        return false;
    }
    // A file without keys did not come from a save; taking it as "empty the
    // key" would throw away everything on a mistake.
    if (contents.sections.empty()) {
        *error = file + ": the file holds no keys";
        return false;
    }
    for (const auto& sec : contents.sections) {
        if (!BelowOrAt(sec.path, target)) {
            *error = file + ": line " + std::to_string(sec.line) + ": key '" + sec.header +
                     "' is not " + keyPath + " or below it";
            return false;
        }
    }
    error->clear();
    bool ok = store.Transaction([&] {
        if (!store.KeyExists(key)) {
            *error = "cannot restore key '" + keyPath + "': the key does not exist";
            return false;
        }
        long rc = store.ClearKey(key);
        if (rc != kRegOk) {
            *error = "cannot empty key '" + keyPath + "': " + ErrorText(rc);
            return false;
        }
        return ApplySections(store, key, target.size(), contents, file, error);
    });
    if (!ok && error->empty()) *error = "cannot restore key '" + keyPath + "': the store is busy";
    return ok;
}

bool ImportRegFile(TStore& store, const std::string& file, std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    std::string text;
    if (!ReadWholeFile(file, &text, error)) return false;
    RegFileContents contents;
    if (!ParseRegFile(text, &contents, error)) {
        *error = file + ": " + *error;
        return false;
    }
    error->clear();
    bool ok = store.Transaction(
        [&] { return ApplySections(store, store.RootId(), 0, contents, file, error); });
    if (!ok && error->empty()) *error = "cannot import " + file + ": the store is busy";
    return ok;
}

}  // namespace zk40
