#pragma once
// The status bar clock's text, after the user's time settings: 12- or
// 24-hour clock, a leading zero or not, the separator and the morning and
// afternoon designators.
#include <functional>
#include <optional>
#include <string>

namespace zk40 {

struct ClockSettings {
    bool twelveHour = true;
    bool leadingZero = false;
    std::string separator = ":";
    std::string am = "am";
    std::string pm = "pm";
};

// The settings of the LC_TIME locale; the defaults above where the locale
// says nothing.
ClockSettings LocaleClockSettings();

class TClockFormatter {
public:
    using Source = std::function<ClockSettings()>;
    explicit TClockFormatter(Source source = &LocaleClockSettings) : source_(std::move(source)) {}
    // second < 0 leaves the seconds out. Nothing for a negative hour or
    // minute; such a call also makes the next one read the settings again.
    std::optional<std::string> Format(int hour, int minute, int second = -1);

private:
    Source source_;
    std::optional<ClockSettings> cache_;
};

}  // namespace zk40
