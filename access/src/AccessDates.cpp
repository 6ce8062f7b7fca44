#include "AccessDates.h"

#include "AccessBytes.h"

#include <cmath>

namespace tw::data::access {

namespace {

// The proleptic Gregorian date `day` days after 1970-01-01 (negative: before it).
void SetCivilDate(DateTime& date, std::int64_t day) {
    const std::int64_t z = day + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    date.year = static_cast<int>(y);
    date.month = static_cast<int>(m);
    date.day = static_cast<int>(d);
}

// The whole number the ASCII digits [data, data + count) spell; nullopt when one is no digit.
std::optional<std::int64_t> AsciiDigits(const std::uint8_t* data, int count) {
    std::int64_t value = 0;
    for (int i = 0; i < count; ++i) {
        if (data[i] < '0' || data[i] > '9')
            return std::nullopt;
        value = value * 10 + (data[i] - '0');
    }
    return value;
}

} // namespace

std::optional<DateTime> ReadExtendedDate(const std::uint8_t* data, std::size_t size) {
    // 19 digits of days since 0001-01-01, ':', 12 digits of seconds since midnight, 7 digits of
    // 100-ns ticks, then ":7" and a zero byte.
    constexpr int kDays = 19;
    constexpr int kSeconds = 12;
    constexpr int kTicks = 7;
    if (size < static_cast<std::size_t>(kExtendedDateSize) || data[kDays] != ':')
        return std::nullopt;
    const auto days = AsciiDigits(data, kDays);
    const auto seconds = AsciiDigits(data + kDays + 1, kSeconds);
    const auto ticks = AsciiDigits(data + kDays + 1 + kSeconds, kTicks);
    // 9999-12-31 is day 3,652,058.
    if (!days || !seconds || !ticks || *days > 3652058 || *seconds >= 86400)
        return std::nullopt;
    DateTime result;
    // 0001-01-01 is 719,162 days before 1970-01-01.
    SetCivilDate(result, *days - 719162);
    result.hour = static_cast<int>(*seconds / 3600);
    result.minute = static_cast<int>(*seconds / 60 % 60);
    result.second = static_cast<int>(*seconds % 60);
    result.ticks = static_cast<int>(*ticks);
    return result;
}

std::optional<DateTime> AccessDateToDateTime(double value) {
    if (!std::isfinite(value) || value < -1.0e7 || value > 1.0e7)
        return std::nullopt;
    double whole = 0;
    const double fraction = std::fabs(std::modf(value, &whole));
    auto day = static_cast<std::int64_t>(whole);
    auto seconds = static_cast<std::int64_t>(std::llround(fraction * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        day += 1;
    }
    DateTime result;
    // 1899-12-30 is 25,569 days before 1970-01-01.
    SetCivilDate(result, day - 25569);
    result.hour = static_cast<int>(seconds / 3600);
    result.minute = static_cast<int>(seconds / 60 % 60);
    result.second = static_cast<int>(seconds % 60);
    return result;
}

} // namespace tw::data::access
