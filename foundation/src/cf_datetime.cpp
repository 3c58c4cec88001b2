// CODateTime: a small strptime-style parser and UTC epoch arithmetic.
#include <cstdint>
#include <string>

#include "cf/CFText.h"

namespace {

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads between minDigits and maxDigits decimal digits at text[pos].
bool readNumber(const std::string& text, std::size_t& pos, int minDigits, int maxDigits, int& out) {
    int value = 0;
    int digits = 0;
    while (digits < maxDigits && pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        ++pos;
        ++digits;
    }
    if (digits < minDigits) return false;
    out = value;
    return true;
}

// Days from 1970-01-01 to the given civil date in the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);                       // [0, 399]
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;  // [0, 365]
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace

CODateTime* CODateTime::dateTimeFromString(const std::string& text, const std::string& format) {
    CODateTime result;
    std::size_t pos = 0;
    for (std::size_t f = 0; f < format.size(); ++f) {
        if (format[f] != '%') {
            if (pos >= text.size() || text[pos] != format[f]) return nullptr;
            ++pos;
            continue;
        }
        if (++f >= format.size()) return nullptr;  // a lone '%' ends the format
        bool ok = false;
        switch (format[f]) {
            case 'Y':
                ok = readNumber(text, pos, 4, 4, result.year);
                break;
            case 'm':
                ok = readNumber(text, pos, 1, 2, result.month);
                break;
            case 'd':
                ok = readNumber(text, pos, 1, 2, result.day);
                break;
            case 'H':
                ok = readNumber(text, pos, 1, 2, result.hour);
                break;
            case 'M':
                ok = readNumber(text, pos, 1, 2, result.minute);
                break;
            case 'S':
                ok = readNumber(text, pos, 1, 2, result.second);
                break;
            case '%':
                ok = pos < text.size() && text[pos] == '%';
                pos += ok ? 1 : 0;
                break;
            default:
                return nullptr;  // unsupported directive
        }
        if (!ok) return nullptr;
    }
    if (pos != text.size()) return nullptr;
    if (result.month < 1 || result.month > 12) return nullptr;
    if (result.day < 1 || result.day > daysInMonth(result.year, result.month)) return nullptr;
    if (result.hour > 23 || result.minute > 59 || result.second > 60) return nullptr;
    return new CODateTime(result);
}

int64_t CODateTime::obtainEpochSeconds() const {
    // Fields set by hand may be out of range; clamp month and day so the
    // arithmetic stays defined.
    const unsigned safeMonth = month < 1 ? 1u : month > 12 ? 12u : static_cast<unsigned>(month);
    const unsigned safeDay = day < 1 ? 1u : day > 31 ? 31u : static_cast<unsigned>(day);
    const int64_t days = daysFromCivil(year, safeMonth, safeDay);
    return days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
}
