#pragma once
// Text handling of the Run Program action that needs no host and no
// process: argument splitting, the accepted exit code list, and the tail of
// the program's output.
#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace zk40::runprogram {

// Splits an argument text the way a shell would, without running one and
// without expanding anything: blanks separate arguments; single quotes keep
// everything literally; inside double quotes a backslash escapes only $,
// `, ", \ and a line break (elsewhere it stays); outside quotes it escapes
// any character; an escaped line break is removed. False with a reason (an
// unterminated quote) on failure.
bool SplitArguments(const std::string& text, std::vector<std::string>* args, std::string* error);

// A list of exit codes and ranges such as "0,1,3-5" (blanks allowed around
// items). A blank text means "0". False with a reason on a malformed list.
class ExitCodeList {
public:
    bool Parse(const std::string& text, std::string* error);
    bool Accepts(int code) const;

private:
    std::vector<std::pair<int, int>> ranges_;
};

// Cuts text to at most maxBytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t maxBytes);

// Keeps the last `keep` lines of a byte stream. Lines are cut to
// kMaxLineBytes, a trailing CR is dropped (CRLF output), and control
// characters become blanks so that a line is always one printable C text.
class OutputTail {
public:
    explicit OutputTail(size_t keep) : keep_(keep) {}
    void Feed(const char* data, size_t size);
    // Flushes an unfinished last line and hands over the kept lines, oldest
    // first.
    std::vector<std::string> Finish();

private:
    void EndLine();

    size_t keep_;
    std::deque<std::string> lines_;
    std::string current_;
    bool pending_ = false;  // bytes seen since the last newline
};

}  // namespace zk40::runprogram
