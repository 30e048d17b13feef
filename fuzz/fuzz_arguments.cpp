// The text handling of "Run Program": argument splitting, the accepted exit
// code list and the kept output lines.
//
// Splitting is checked by quoting: whatever arguments a text splits into,
// quoting each of them (in single quotes, or in double quotes with the
// shell's escapes) and splitting again gives the same arguments; and a list
// of arbitrary arguments, so quoted, splits back into itself.
#include <cstdint>
#include <string>
#include <vector>

#include "CommandText.h"
#include "FuzzSupport.h"
#include "RunProgramSettings.h"

using namespace zk40::runprogram;
using zk40fuzz::Check;

namespace {

std::string SingleQuoted(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args) {
        if (!out.empty()) out += ' ';
        out += '\'';
        for (char c : a) {
            if (c == '\'')
                out += "'\\''";
            else
                out += c;
        }
        out += '\'';
    }
    return out;
}

// Inside double quotes a shell takes a backslash as an escape only before
// these; escaping exactly them is what a user copying from a shell writes.
std::string DoubleQuoted(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args) {
        if (!out.empty()) out += '\t';
        out += '"';
        for (char c : a) {
            if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out;
}

void CheckSplitsBack(const std::vector<std::string>& args, const char* how,
                     const std::string& quoted) {
    std::vector<std::string> again;
    std::string error;
    Check(SplitArguments(quoted, &again, &error),
          std::string("arguments quoted ") + how + " do not split: " + error);
    Check(again == args, std::string("arguments quoted ") + how + " split into others");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> args;
    std::string error;
    if (SplitArguments(text, &args, &error)) {
        CheckSplitsBack(args, "in single quotes", SingleQuoted(args));
        CheckSplitsBack(args, "in double quotes", DoubleQuoted(args));
    } else {
        Check(error.find("unterminated") != std::string::npos, "odd split error: " + error);
    }

    // The input as a list of arguments, split at zero bytes.
    std::vector<std::string> list;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            list.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    CheckSplitsBack(list, "in single quotes", SingleQuoted(list));
    CheckSplitsBack(list, "in double quotes", DoubleQuoted(list));

    // Exit codes: a list that parses accepts only codes 0 to 255, and one
    // that does not parse accepts nothing.
    ExitCodeList codes;
    bool parsed = codes.Parse(text, &error);
    for (int code : {-1, 256, 1000}) Check(!codes.Accepts(code), "accepts an impossible code");
    if (!parsed) {
        for (int code = 0; code < 256; ++code) Check(!codes.Accepts(code), "a bad list accepts");
    }

    // Output lines: never more than asked for, never longer than the cap,
    // never a control character.
    size_t keep = size ? data[0] % 8 : 3;
    OutputTail tail(keep);
    size_t chunk = size > 1 ? 1 + data[1] % 17 : 1;
    for (size_t i = 0; i < size; i += chunk) tail.Feed(text.data() + i, std::min(chunk, size - i));
    std::vector<std::string> lines = tail.Finish();
    Check(lines.size() <= keep, "more output lines kept than asked for");
    for (const auto& line : lines) {
        Check(line.size() <= kMaxLineBytes, "an output line longer than the cap");
        for (unsigned char c : line) Check(c >= 0x20 && c != 0x7f, "a control byte in a line");
    }
    return 0;
}
