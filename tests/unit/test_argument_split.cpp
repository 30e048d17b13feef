// The argument splitting of the Run Program module, held against the
// system's own /bin/sh: whatever sh makes of a text (as the arguments of a
// function, so nothing runs), the splitter must make too.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../../modules/runprogram/CommandText.h"
#include "Process.h"

using zk40::runprogram::SplitArguments;

namespace {

struct Split {
    bool ok = false;
    std::vector<std::string> args;
};

// The words sh makes of text, each ended by a NUL; not ok when sh refuses
// the text (an unterminated quote).
Split ByShell(const std::string& text) {
    std::string out;
    const std::string script = "f() { for a do printf '%s\\0' \"$a\"; done; }; f " + text;
    Split s;
    s.ok = zk40test::RunProcess({"/bin/sh", "-c", script}, &out) == 0;
    if (!s.ok) return s;
    size_t start = 0;
    for (size_t nul; (nul = out.find('\0', start)) != std::string::npos; start = nul + 1)
        s.args.push_back(out.substr(start, nul - start));
    return s;
}

Split BySplitter(const std::string& text) {
    Split s;
    std::string error;
    s.ok = SplitArguments(text, &s.args, &error);
    if (!s.ok) {
        EXPECT_FALSE(error.empty()) << "a refusal says why";
    }
    return s;
}

std::string Show(const Split& s) {
    if (!s.ok) return "<refused>";
    std::string t;
    for (const auto& a : s.args) t += "[" + a + "]";
    return t;
}

TEST(ArgumentSplit, BackslashesAndQuotesAsShWouldSplitThem) {
    const std::vector<std::string> texts = {
        R"("C:\Temp\x")",
        R"(grep "a\.b" file)",
        R"("\$HOME \`id\` \" \\ \a \n")",
        R"('C:\Temp\x' C:\Temp\x)",
        R"(a\ b "" '' x""y)",
        "\"one\\\ntwo\" three\\\nfour",  // escaped line breaks are removed
        "'keeps\\\nthe break'",
        R"(end\)",
        R"("unterminated \" still)",
        R"('unterminated)",
        R"(mixed"dq 'sq' "'sq "dq"')",
    };
    for (const std::string& text : texts) {
        Split want = ByShell(text);
        EXPECT_EQ(Show(BySplitter(text)), Show(want)) << text;
    }
    // What the shell gives for the two texts users met, spelled out.
    EXPECT_EQ(Show(BySplitter(R"("C:\Temp\x")")), R"([C:\Temp\x])");
    EXPECT_EQ(Show(BySplitter(R"(grep "a\.b")")), R"([grep][a\.b])");
}

// Random texts over the characters that matter to splitting. Characters
// that sh would expand, glob or treat as an operator are left out: the
// splitter keeps them literally on purpose, and the table above shows the
// escaped forms.
TEST(ArgumentSplit, RandomTextsSplitAsShSplitsThem) {
    const std::vector<std::string> pieces = {"a", "b", "7", ".", "/", ":", " ",  "\t",
                                             "'", "\"", "\\", "\\$", "\\`", "-", "="};
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1), length(0, 14);
    int refused = 0, compared = 0;
    for (int i = 0; i < 400; ++i) {
        std::string text;
        for (size_t n = length(rng); n > 0; --n) {
            const std::string& piece = pieces[pick(rng)];
            // After a backslash, "\$" would be an escaped backslash and a
            // bare $ that sh expands.
            if (piece.size() == 2 && !text.empty() && text.back() == '\\') continue;
            text += piece;
        }
        Split want = ByShell(text);
        Split got = BySplitter(text);
        ASSERT_EQ(Show(got), Show(want)) << "text: " << text;
        refused += !want.ok;
        ++compared;
    }
    // Both outcomes were tried, so neither branch can go unchecked.
    EXPECT_GT(refused, 20);
    EXPECT_GT(compared - refused, 100);
}

}  // namespace
