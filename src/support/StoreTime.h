#pragma once
// Store time: the count of local wall-clock seconds since 1 January 1901,
// 00:00:00, held in 32 bits. Every time in the store and in the scheduler is
// one of these; 0 means "no time".
#include <atomic>
#include <cstdint>
#include <string>

namespace zk40 {

using StoreTime = uint32_t;

// Midnight 49,709 days after the origin: the job is not scheduled.
constexpr StoreTime kNeverTime = 4294857600u;
constexpr StoreTime kSmallestTime = 0;
constexpr uint32_t kSecondsPerDay = 86400;

struct CivilTime {
    int year = 1901;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(int year, int month, int day);

// Day numbers count from 1 January 1901 = day 0.
int64_t DayNumber(int year, int month, int day);
void DateOfDayNumber(int64_t dayNumber, int& year, int& month, int& day);

// Calendar conversion. ToStoreTime expects a valid date inside the store's
// range; values outside are clamped to 0 or UINT32_MAX.
StoreTime ToStoreTime(const CivilTime& c);
StoreTime ToStoreTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
CivilTime ToCivil(StoreTime t);

inline uint32_t DayOf(StoreTime t) { return t / kSecondsPerDay; }
inline uint32_t SecondsOfDay(StoreTime t) { return t % kSecondsPerDay; }
inline StoreTime StartOfDay(StoreTime t) { return t - t % kSecondsPerDay; }
// 1 = Monday ... 7 = Sunday.
int WeekdayOfDay(int64_t dayNumber);
inline int Weekday(StoreTime t) { return WeekdayOfDay(DayOf(t)); }
// 1..366
int DayOfYear(StoreTime t);

// Local wall clock <-> store time.
StoreTime FromUnixTime(int64_t unixSeconds);
int64_t ToUnixTime(StoreTime t);
StoreTime CurrentStoreTime();

// The one text form used wherever a date and time is shown or written to a
// log: "2026-12-10 04:18:20".
std::string FormatStoreTime(StoreTime t);
// Parses the form above (also accepts "YYYY-MM-DD HH:MM" and "YYYY-MM-DD").
bool ParseStoreTime(const std::string& text, StoreTime& out);

// Injected wherever "now" matters, so tests can fix it.
class IClock {
public:
    virtual ~IClock() = default;
    virtual StoreTime Now() const = 0;
    // Seconds east of UTC of the local time Now() reports. Store times are
    // local wall-clock times, so a change of it (daylight saving) shifts
    // them all against real time.
    virtual long UtcOffset() const { return 0; }
};

// The UTC offset of local time at the current instant.
long CurrentUtcOffset();

class SystemClock final : public IClock {
public:
    StoreTime Now() const override { return CurrentStoreTime(); }
    long UtcOffset() const override { return CurrentUtcOffset(); }
    static const SystemClock& Instance();
};

// A clock the tests set. Worker threads (the update thread) read it while
// the test moves it, so both values are atomic.
class FixedClock final : public IClock {
public:
    explicit FixedClock(StoreTime t = 0) : now_(t) {}
    StoreTime Now() const override { return now_; }
    long UtcOffset() const override { return offset_; }
    void Set(StoreTime t) { now_ = t; }
    void Advance(int64_t seconds) { now_ = static_cast<StoreTime>(now_ + seconds); }
    void SetUtcOffset(long seconds) { offset_ = seconds; }

private:
    std::atomic<StoreTime> now_;
    std::atomic<long> offset_{0};
};

}  // namespace zk40
