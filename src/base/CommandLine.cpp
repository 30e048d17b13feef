#include "base/CommandLine.h"

#include <strings.h>

#include <cctype>

#include "store/AppStore.h"

namespace zk40 {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads up to the next blank outside double quotes; the quotes stay in.
std::string ReadWord(std::string_view s, size_t& i, bool stopAtSeparator) {
    std::string out;
    bool quoted = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && IsBlank(c)) break;
        if (!quoted && stopAtSeparator && (c == ':' || c == '=')) break;
        out += c;
    }
    return out;
}

std::string StripQuotes(std::string v) {
    size_t b = v.find_first_not_of('"');
    if (b == std::string::npos) return {};
    size_t e = v.find_last_not_of('"');
    return v.substr(b, e - b + 1);
}

bool NeedsQuotes(std::string_view s) {
    for (char c : s)
        if (IsBlank(c) || c == '"') return true;
    return s.empty();
}
}  // namespace

std::vector<CmdToken> TokenizeCommandLine(std::string_view s) {
    std::vector<CmdToken> out;
    size_t i = 0;
    while (i < s.size()) {
        if (IsBlank(s[i])) {
            ++i;
            continue;
        }
        if (s[i] == '-' || s[i] == '/') {
            ++i;
            out.push_back({CmdToken::Option, ReadWord(s, i, true)});
            if (i < s.size() && (s[i] == ':' || s[i] == '=')) {
                ++i;
                out.push_back({CmdToken::Value, ReadWord(s, i, false)});
            }
            continue;
        }
        out.push_back({CmdToken::Name, ReadWord(s, i, false)});
    }
    return out;
}

std::string JoinArguments(int argc, const char* const* argv, int first) {
    std::string out;
    for (int a = first; a < argc; ++a) {
        std::string_view arg = argv[a];
        if (!out.empty()) out += ' ';
        if (!NeedsQuotes(arg)) {
            out.append(arg);
            continue;
        }
        size_t sep = arg.find_first_of(":=");
        bool isOption = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
        if (isOption && sep != std::string_view::npos && !NeedsQuotes(arg.substr(0, sep))) {
            out.append(arg.substr(0, sep + 1));
            arg.remove_prefix(sep + 1);
        }
        out += '"';
        out.append(arg);
        out += '"';
    }
    return out;
}

bool MatchesKeyword(std::string_view option, std::string_view keyword) {
    return !option.empty() && option.size() <= keyword.size() &&
           strncasecmp(option.data(), keyword.data(), option.size()) == 0;
}

CommandLineOutcome ProcessCommandLine(std::string_view args, TAppStore& app,
                                      const std::string& exePath) {
    CommandLineOutcome outcome;
    std::vector<CmdToken> tokens = TokenizeCommandLine(args);
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].kind != CmdToken::Option) continue;
        const std::string& opt = tokens[i].text;
        if (MatchesKeyword(opt, "unregister")) {
            app.product.DeleteSubKeyTree("DefaultIcon");
            app.maker.DeleteSubKey("Zarkell'40");
            outcome.unregistered = true;
            return outcome;
        }
        if (MatchesKeyword(opt, "runjob") && i + 1 < tokens.size() &&
            tokens[i + 1].kind == CmdToken::Value) {
            std::string name = StripQuotes(tokens[i + 1].text);
            if (!name.empty()) {
                app.base.SetString("RunJob", name);
                outcome.runJob = name;
            }
        }
    }
    TRegKey icon(app.product, "DefaultIcon");
    icon.SetDefaultValue(exePath + ",1");
    return outcome;
}

}  // namespace zk40
