// The host's date-time value: days since 1899-12-30 00:00 as a double, in local time.
#pragma once

#include <chrono>
#include <ctime>

namespace quillate {

using TDateTime = double;

inline constexpr double SecondsPerDay = 86400.0;
// Days between 1899-12-30 and the Unix epoch.
inline constexpr double UnixEpochAsDateTime = 25569.0;

// A Unix time (UTC seconds) expressed as local wall-clock TDateTime.
inline TDateTime UnixToDateTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    std::time_t asIfUtc = timegm(&local);
    return UnixEpochAsDateTime + static_cast<double>(asIfUtc) / SecondsPerDay;
}

// A local wall-clock TDateTime back to Unix time (UTC seconds), rounded to the nearest second.
inline std::time_t DateTimeToUnix(TDateTime value) {
    double secs = (value - UnixEpochAsDateTime) * SecondsPerDay;
    std::time_t asIfUtc = static_cast<std::time_t>(secs < 0 ? secs - 0.5 : secs + 0.5);
    std::tm local{};
    gmtime_r(&asIfUtc, &local);
    local.tm_isdst = -1;
    return mktime(&local);
}

// Broken-down UTC fields as a UTC TDateTime (no local conversion).
inline TDateTime EncodeDateTimeUtc(int year, int month, int day, int hour, int minute, double second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    std::time_t midnight = timegm(&t);
    return UnixEpochAsDateTime + static_cast<double>(midnight) / SecondsPerDay +
           (hour * 3600.0 + minute * 60.0 + second) / SecondsPerDay;
}

inline TDateTime Now() {
    using namespace std::chrono;
    auto now = system_clock::now();
    auto secs = time_point_cast<seconds>(now);
    double frac = duration<double>(now - secs).count();
    return UnixToDateTime(system_clock::to_time_t(secs)) + frac / SecondsPerDay;
}

} // namespace quillate
