#pragma once
// Fields of a one-line text exchange: "%", " " and every byte below 0x20 or
// equal to 0x7F are written as "%" and two upper-case hex digits, so that a
// field never holds a blank or a line break.
#include <string>
#include <string_view>
#include <vector>

namespace zk40 {

std::string EncodeRequestField(std::string_view raw);
bool DecodeRequestField(std::string_view field, std::string* raw);

// Blank-separated encoded fields, and back; false for a malformed field.
std::string JoinFields(const std::vector<std::string>& fields);
bool SplitFields(std::string_view text, std::vector<std::string>* fields);

}  // namespace zk40
