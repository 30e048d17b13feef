#include "support/FieldCodec.h"

namespace zk40 {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::string EncodeRequestField(std::string_view raw) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size());
    for (char ch : raw) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '%' || c == ' ' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

bool DecodeRequestField(std::string_view field, std::string* raw) {
    raw->clear();
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            raw->push_back(field[i]);
            continue;
        }
        if (i + 2 >= field.size()) return false;
        int hi = HexDigit(field[i + 1]), lo = HexDigit(field[i + 2]);
        if (hi < 0 || lo < 0) return false;
        raw->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string out;
    for (const std::string& f : fields) {
        if (!out.empty()) out += ' ';
        // An empty field still takes its place.
        out += f.empty() ? std::string("%00") : EncodeRequestField(f);
    }
    return out;
}

bool SplitFields(std::string_view text, std::vector<std::string>* fields) {
    fields->clear();
    if (text.empty()) return true;
    while (true) {
        size_t sp = text.find(' ');
        std::string f;
        if (!DecodeRequestField(text.substr(0, sp), &f)) return false;
        if (f == std::string(1, '\0')) f.clear();
        fields->push_back(std::move(f));
        if (sp == std::string_view::npos) return true;
        text.remove_prefix(sp + 1);
    }
}

}  // namespace zk40
