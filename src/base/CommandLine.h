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

std::vector<CmdToken> TokenizeCommandLine(std::string_view args);

// Builds the argument string from argv[first..]: arguments with blanks are
// quoted (for "/opt:value", the value part) so that tokenising gives them back.
std::string JoinArguments(int argc, const char* const* argv, int first = 1);

// True when `option` is a non-empty, case-insensitive prefix of `keyword`.
bool MatchesKeyword(std::string_view option, std::string_view keyword);

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

}  // namespace zk40
