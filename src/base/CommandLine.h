#pragma once
// The option layer of the command line: "-opt" or "/opt", with a value after
// ":" or "=". It runs on the program's own arguments and on every argument
// string that a second instance hands over.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk40 {

class TAppStore;

struct CmdToken {
    enum Kind { Option, Value, Name } kind;
    std::string text;
};

// Tokenises one argument string (the stored base\CommandLine, or a line
// typed as one): blanks outside double quotes separate the words.
std::vector<CmdToken> TokenizeCommandLine(std::string_view args);
// Tokenises arguments as the process received them: each argument is one
// word as it stands, whatever blanks or quotes it holds, so nothing is
// re-quoted on the way ("/runjob:\"Nightly Backup\"" as one argument is the
// option runjob with the value "Nightly Backup" in quotes).
std::vector<CmdToken> TokenizeArguments(const std::vector<std::string>& args);

std::vector<std::string> ArgumentList(int argc, const char* const* argv, int first = 1);

// Builds the argument string from argv[first..]: arguments with blanks are
// quoted (for "/opt:value", the value part) so that tokenising gives them
// back; a value already in quotes is left as it is.
std::string JoinArguments(int argc, const char* const* argv, int first = 1);
std::string JoinArguments(const std::vector<std::string>& args);

// True when `option` is a non-empty, case-insensitive prefix of `keyword`.
bool MatchesKeyword(std::string_view option, std::string_view keyword);

// What the program's own arguments ask for before anything else is done.
struct ArgumentCheck {
    enum Kind { Run, Help, Version, Bad } kind = Run;
    std::string error;  // for Bad: which argument and why
};
// --help, -h, /? and the like ask for the usage; --version for the build;
// any other switch must be one the option layer knows, with its value.
ArgumentCheck CheckArguments(const std::vector<std::string>& args);
// The usage text (ends with a line break).
std::string UsageText(std::string_view program);

struct CommandLineOutcome {
    bool unregistered = false;
    std::optional<std::string> runJob;
};

// Applies the options to the store: `unregister` removes the DefaultIcon
// key and then the product key (plain deletion, so only when it is empty)
// and stops; `runjob:NAME` stores base\RunJob. Unless unregistered, the
// DefaultIcon default value is set to "<exe>,1".
CommandLineOutcome ProcessCommandLine(std::string_view args, TAppStore& app,
                                      const std::string& exePath);
CommandLineOutcome ProcessCommandLine(const std::vector<std::string>& args, TAppStore& app,
                                      const std::string& exePath);

}  // namespace zk40
