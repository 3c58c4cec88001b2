#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "cf/cf_export.h"

/// Copy of text without spaces, tabs, CR and LF at both ends.
CF_API std::string cfTrimAsString(std::string_view text);

/// Joins URL components with exactly one '/' between them. Inside a component,
/// characters that would change the URL's structure (blanks, '?', '#', '%',
/// control characters, non-ASCII bytes) are percent-encoded; '/' and ':' stay.
/// The first component (scheme and host) is kept as given, less trailing '/'.
CF_API std::string cfConcatURL(std::initializer_list<std::string_view> components);

/// Percent-encodes every byte outside the unreserved set (RFC 3986).
CF_API std::string cfPercentEncode(std::string_view text);

/// Runs a function when it goes out of scope.
class CODefer {
public:
    explicit CODefer(std::function<void()> fn) : fn_(std::move(fn)) {}
    ~CODefer() {
        if (fn_) fn_();
    }
    CODefer(const CODefer&) = delete;
    CODefer& operator=(const CODefer&) = delete;
    /// Disarms the guard.
    void dismiss() { fn_ = nullptr; }

private:
    std::function<void()> fn_;
};

/// A calendar date and time in UTC.
class CF_API CODateTime {
public:
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;

    /// Parses text with a strptime-style format (%Y %m %d %H %M %S and
    /// literal characters), as UTC. Returns a new object the caller deletes,
    /// or null when the text does not match the format.
    static CODateTime* dateTimeFromString(const std::string& text, const std::string& format);
    /// Seconds since 1970-01-01 00:00:00 UTC.
    int64_t obtainEpochSeconds() const;
};
