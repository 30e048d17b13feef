#include "CommandText.h"

#include <cctype>

#include "RunProgramSettings.h"

namespace zk40::runprogram {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Inside double quotes a backslash escapes only these.
bool IsDoubleQuoteEscape(char c) {
    return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// A decimal exit code 0..255; false for anything else.
bool ParseCode(const std::string& s, int* code) {
    if (s.empty() || s.size() > 3) return false;
    int v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + (c - '0');
    }
    if (v > 255) return false;
    *code = v;
    return true;
}

}  // namespace

bool SplitArguments(const std::string& text, std::vector<std::string>* args, std::string* error) {
    args->clear();
    std::string current;
    bool inArgument = false;  // so that "" yields an empty argument
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                current += c;
            continue;
        }
        if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (c == '\\' && i + 1 < text.size() && IsDoubleQuoteEscape(text[i + 1])) {
                // A backslash before a line break joins the lines.
                if (text[++i] != '\n') current += text[i];
            } else {
                // Anywhere else, as in "C:\Temp" or "a\.b", it is just a
                // backslash.
                current += c;
            }
            continue;
        }
        if (IsBlank(c)) {
            if (inArgument) args->push_back(std::move(current));
            current.clear();
            inArgument = false;
            continue;
        }
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            // An escaped line break outside quotes is removed altogether and
            // does not start an argument.
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\'' || c == '"')
            quote = c;
        else if (c == '\\' && i + 1 < text.size())
            current += text[++i];
        else
            current += c;
    }
    if (quote != 0) {
        *error = std::string("the arguments have an unterminated ") + quote + " quote";
        return false;
    }
    if (inArgument) args->push_back(std::move(current));
    return true;
}

bool ExitCodeList::Parse(const std::string& text, std::string* error) {
    ranges_.clear();
    std::string all = Trim(text);
    if (all.empty()) {
        // A cleared field means the usual convention: only 0 is success.
        ranges_.emplace_back(0, 0);
        return true;
    }
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        std::string item =
            Trim(all.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        size_t dash = item.find('-');
        int lo = 0, hi = 0;
        bool ok;
        if (dash == std::string::npos) {
            ok = ParseCode(item, &lo);
            hi = lo;
        } else {
            ok = ParseCode(Trim(item.substr(0, dash)), &lo) &&
                 ParseCode(Trim(item.substr(dash + 1)), &hi) && lo <= hi;
        }
        if (!ok) {
            *error = "the accepted exit codes \"" + text +
                     "\" are not a list of codes 0 to 255 such as 0,1,3-5";
            ranges_.clear();
            return false;
        }
        ranges_.emplace_back(lo, hi);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool ExitCodeList::Accepts(int code) const {
    for (const auto& [lo, hi] : ranges_)
        if (code >= lo && code <= hi) return true;
    return false;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Step back over continuation bytes so a multi-byte character is not
    // split; the host shows these texts as UTF-8.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

void OutputTail::Feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n') {
            EndLine();
            continue;
        }
        pending_ = true;
        // One byte beyond the limit is kept so that CutUtf8 can tell a cut
        // line from one that is exactly as long as the limit.
        if (current_.size() <= kMaxLineBytes) current_ += c;
    }
}

void OutputTail::EndLine() {
    std::string line = CutUtf8(current_, kMaxLineBytes);
    current_.clear();
    pending_ = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (keep_ == 0) return;
    lines_.push_back(std::move(line));
    if (lines_.size() > keep_) lines_.pop_front();
}

std::vector<std::string> OutputTail::Finish() {
    if (pending_) EndLine();
    std::vector<std::string> out(lines_.begin(), lines_.end());
    lines_.clear();
    return out;
}

}  // namespace zk40::runprogram
