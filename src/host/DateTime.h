// The host's date-time value: days since 1899-12-30 00:00 as a double, in local time.
#pragma once

#include <chrono>
#include <cmath>
#include <ctime>

namespace quillate {

using TDateTime = double;

inline constexpr double SecondsPerDay = 86400.0;
// Days between 1899-12-30 and the Unix epoch.
inline constexpr double UnixEpochAsDateTime = 25569.0;

// A point in time (UTC) as the local wall clock shows it.
inline TDateTime TimePointToDateTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto whole = floor<seconds>(when);
    std::time_t t = system_clock::to_time_t(whole);
    std::tm local{};
    localtime_r(&t, &local);
    std::time_t wallAsIfUtc = timegm(&local);
    return UnixEpochAsDateTime +
           (static_cast<double>(wallAsIfUtc) + duration<double>(when - whole).count()) / SecondsPerDay;
}

// A local wall-clock value back to the point in time, to the nearest millisecond (a double of days
// carries a few microseconds of noise, which must not move a whole second).
inline std::chrono::system_clock::time_point DateTimeToTimePoint(TDateTime value) {
    using namespace std::chrono;
    auto wallMs = static_cast<long long>(std::llround((value - UnixEpochAsDateTime) * SecondsPerDay * 1000.0));
    long long wallSeconds = wallMs / 1000 - (wallMs % 1000 < 0 ? 1 : 0);
    auto asIfUtc = static_cast<std::time_t>(wallSeconds);
    std::tm local{};
    gmtime_r(&asIfUtc, &local);
    local.tm_isdst = -1;
    return system_clock::from_time_t(mktime(&local)) + milliseconds(wallMs - wallSeconds * 1000);
}

// A Unix time (UTC seconds) expressed as local wall-clock TDateTime.
inline TDateTime UnixToDateTime(std::time_t t) {
    return TimePointToDateTime(std::chrono::system_clock::from_time_t(t));
}

// A local wall-clock TDateTime back to Unix time (UTC seconds), rounded to the nearest second.
inline std::time_t DateTimeToUnix(TDateTime value) {
    using namespace std::chrono;
    return system_clock::to_time_t(round<seconds>(DateTimeToTimePoint(value)));
}

inline TDateTime Now() {
    return TimePointToDateTime(std::chrono::system_clock::now());
}

} // namespace quillate
