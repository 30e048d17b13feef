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

std::vector<CmdToken> TokenizeArguments(const std::vector<std::string>& args) {
    std::vector<CmdToken> out;
    for (const std::string& arg : args) {
        if (arg.empty()) continue;
        if (arg[0] != '-' && arg[0] != '/') {
            out.push_back({CmdToken::Name, arg});
            continue;
        }
        size_t sep = arg.find_first_of(":=", 1);
        out.push_back({CmdToken::Option, arg.substr(1, sep == std::string::npos ? sep : sep - 1)});
        if (sep != std::string::npos) out.push_back({CmdToken::Value, arg.substr(sep + 1)});
    }
    return out;
}

std::vector<std::string> ArgumentList(int argc, const char* const* argv, int first) {
    std::vector<std::string> out;
    for (int a = first; a < argc; ++a) out.emplace_back(argv[a]);
    return out;
}

std::string JoinArguments(int argc, const char* const* argv, int first) {
    return JoinArguments(ArgumentList(argc, argv, first));
}

std::string JoinArguments(const std::vector<std::string>& args) {
    std::string out;
    for (std::string_view arg : args) {
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
        if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"' &&
            arg.find('"', 1) == arg.size() - 1) {
            out.append(arg);
            continue;
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

ArgumentCheck CheckArguments(const std::vector<std::string>& args) {
    ArgumentCheck check;
    for (const std::string& arg : args) {
        if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
        std::string_view sw = arg;
        sw.remove_prefix(sw.size() > 1 && sw[0] == '-' && sw[1] == '-' ? 2 : 1);
        std::string_view opt = sw.substr(0, sw.find_first_of(":="));
        bool hasValue = opt.size() < sw.size();
        if (sw == "?" || sw == "h" || sw == "H" || (!hasValue && MatchesKeyword(opt, "help")))
            return {ArgumentCheck::Help, {}};
        if (!hasValue && opt.size() >= 2 && MatchesKeyword(opt, "version"))
            return {ArgumentCheck::Version, {}};
        if (MatchesKeyword(opt, "unregister") && !hasValue) continue;
        if (MatchesKeyword(opt, "runjob")) {
            std::string name = hasValue ? StripQuotes(std::string(sw.substr(opt.size() + 1))) : "";
            if (name.empty() && check.kind == ArgumentCheck::Run) {
                check.kind = ArgumentCheck::Bad;
                check.error = "\"" + arg + "\" needs a job name, as in /runjob:\"Nightly Backup\"";
            }
            continue;
        }
        if (check.kind == ArgumentCheck::Run) {
            check.kind = ArgumentCheck::Bad;
            check.error = "unknown option \"" + arg + "\"";
        }
    }
    return check;
}

std::string UsageText(std::string_view program) {
    std::string p(program);
    return "Usage: " + p +
           " [/runjob:NAME] [/unregister]\n"
           "       " +
           p +
           " /register [/user:USER] | /unregister | /debug [OPTIONS] | /service\n"
           "       " +
           p +
           " --help | --version\n"
           "\n"
           "Runs the job scheduler, or hands the options to the instance that already runs.\n"
           "\n"
           "  /runjob:NAME   start the job NAME now (quote a name with blanks)\n"
           "  /unregister    remove the program's settings key (when it is empty)\n"
           "  /register      install the service unit (a system unit as root, with\n"
           "                 /user:USER to run it as USER) and print how to enable it;\n"
           "                 /unregister as the first argument removes it again\n"
           "  /debug         run as the service does, in this terminal\n"
           "  /service       run as a service (the unit file starts it so)\n"
           "  --help, /?     show this text\n"
           "  --version      show the build\n"
           "\n"
           "Options may begin with / or -, be shortened (/r:NAME) and take their value\n"
           "after : or =. Exit status: 0 when the program ran or handed over, 2 for a\n"
           "usage error.\n";
}

namespace {
CommandLineOutcome ProcessTokens(const std::vector<CmdToken>& tokens, TAppStore& app,
                                 const std::string& exePath) {
    CommandLineOutcome outcome;
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

}  // namespace

CommandLineOutcome ProcessCommandLine(std::string_view args, TAppStore& app,
                                      const std::string& exePath) {
    return ProcessTokens(TokenizeCommandLine(args), app, exePath);
}

CommandLineOutcome ProcessCommandLine(const std::vector<std::string>& args, TAppStore& app,
                                      const std::string& exePath) {
    return ProcessTokens(TokenizeArguments(args), app, exePath);
}

}  // namespace zk40
