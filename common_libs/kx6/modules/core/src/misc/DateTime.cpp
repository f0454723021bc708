#include "core/src/misc/DateTime.h"

#include <cstdio>
#include <ctime>

namespace kx {
namespace core {

namespace {
// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
}  // namespace

DateTime DateTime::now() {
    return DateTime(static_cast<int64_t>(time(nullptr)));
}

int64_t DateTime::localOffset() {
    tzset();
    return -static_cast<int64_t>(timezone);
}

DateTime DateTime::fromLocal(int year, int month, int day, int hour, int minute, int second) {
    int64_t local = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return DateTime(local - localOffset());
}

DateTime::Fields DateTime::_localFields() const {
    const int64_t local = m_seconds + localOffset();
    int64_t days = floorDiv(local, 86400);
    int64_t rest = local - days * 86400;
    // Civil date from a day count (the inverse of daysFromCivil).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    Fields f;
    f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    f.year = static_cast<int>(yoe + era * 400 + (f.month <= 2));
    f.hour = static_cast<int>(rest / 3600);
    f.minute = static_cast<int>(rest / 60 % 60);
    f.second = static_cast<int>(rest % 60);
    return f;
}

String DateTime::timeText() const {
    Fields f = _localFields();
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d", f.hour, f.minute, f.second);
    return String::fromUtf8(buf);
}

String DateTime::dateText() const {
    Fields f = _localFields();
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", f.year, f.month, f.day);
    return String::fromUtf8(buf);
}

String DateTime::dateTimeText() const {
    Fields f = _localFields();
    char buf[48];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour,
             f.minute, f.second);
    return String::fromUtf8(buf);
}

}  // namespace core
}  // namespace kx
