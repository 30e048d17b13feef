#pragma once
// In-place expansion of date and time codes ("$Y$m$d" and friends) in a
// module's text buffer, never writing past its size.
#include <cstddef>
#include <functional>

#include "support/StoreTime.h"

namespace zk40 {

// `now` is asked once per code, so a text that straddles a second boundary
// shows each code as it was when it was expanded.
void ExpandDateCodes(char* buffer, size_t size, const std::function<StoreTime()>& now);

}  // namespace zk40
