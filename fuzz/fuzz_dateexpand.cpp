// Date-code expansion in a module's buffer. The buffer is exactly as large
// as the module says, so a write past it is caught; what comes out is the
// text expanded code by code, cut to the buffer.
//
// Input: 4 bytes of time, 2 bytes of buffer size, then the text.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "modules/DateExpand.h"

using namespace zk40;
using zk40fuzz::Check;

namespace {

// One code on its own, in a buffer with room to spare.
std::string ExpandOne(char code, StoreTime t) {
    char buf[128] = {'$', code, '\0'};
    ExpandDateCodes(buf, sizeof buf, [t] { return t; });
    return buf;
}

// The whole text, with no size limit.
std::string ExpandUnlimited(const std::string& text, StoreTime t) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '$' && i + 1 < text.size()) {
            std::string one = ExpandOne(text[i + 1], t);
            // An unknown code goes away; a known one is replaced.
            if (one != std::string("$") + text[i + 1]) out += one;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    StoreTime t;
    std::memcpy(&t, data, 4);
    size_t bufSize = 1 + (static_cast<size_t>(data[4]) | (static_cast<size_t>(data[5] & 0x0f) << 8));
    std::string text(reinterpret_cast<const char*>(data + 6), size - 6);
    text = text.substr(0, text.find('\0'));

    // Exactly bufSize bytes on the heap; the text is cut to fit as a module
    // would hand it over.
    std::unique_ptr<char[]> buf(new char[bufSize]);
    size_t copy = std::min(text.size(), bufSize - 1);
    std::memcpy(buf.get(), text.data(), copy);
    buf[copy] = '\0';
    const std::string given(buf.get(), copy);

    int calls = 0;
    ExpandDateCodes(buf.get(), bufSize, [&] {
        ++calls;
        return t;
    });
    Check(std::memchr(buf.get(), '\0', bufSize) != nullptr, "the result is not terminated");
    const std::string got(buf.get());
    const std::string full = ExpandUnlimited(given, t);
    Check(got == full.substr(0, bufSize - 1),
          "the expansion is not the code-by-code one cut to the buffer: '" + got + "' against '" +
              full + "' of '" + given + "'");
    size_t dollars = 0;
    for (char c : given) dollars += c == '$';
    Check(static_cast<size_t>(calls) <= dollars, "the time was asked for more often than codes");
    return 0;
}
