#pragma once

#include <cstdint>

#include "core/src/value/String.h"

namespace kx {
namespace core {

// Seconds since 1970-01-01 UTC. The texts show local standard time: UTC
// minus the C library's `timezone`, never daylight saving time, so log file
// names and lines do not jump twice a year.
class DateTime {
public:
    DateTime() : m_seconds(0) {}
    explicit DateTime(int64_t secondsSince1970) : m_seconds(secondsSince1970) {}

    static DateTime now();
    // The instant whose local standard time reads as given (month 1..12).
    static DateTime fromLocal(int year, int month, int day, int hour, int minute, int second);

    int64_t seconds() const { return m_seconds; }

    String timeText() const;      // HH:MM:SS
    String dateText() const;      // YYYY-MM-DD
    String dateTimeText() const;  // YYYY-MM-DD HH:MM:SS

    // Current offset of local standard time from UTC, in seconds east.
    static int64_t localOffset();

private:
    struct Fields {
        int year, month, day, hour, minute, second;
    };
    Fields _localFields() const;

    int64_t m_seconds;
};

}  // namespace core
}  // namespace kx
