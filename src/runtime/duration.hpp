// Converting a delay in float seconds to an exact duration.
#pragma once

#include <chrono>
#include <optional>

namespace cadrel::rt {

/// A span of time in whole seconds and nanoseconds (0..999,999,999).
struct SecondsAndNanos {
    unsigned long long seconds = 0;
    unsigned nanos = 0;
};

/// Converts non-negative `seconds` exactly, rounding to the nearest nanosecond
/// with ties to even (so a delay below half a nanosecond becomes zero).
/// Returns nullopt for NaN, negative values, and 2^64 seconds or more
/// (+infinity included), which no duration can hold.
std::optional<SecondsAndNanos> duration_from_seconds(double seconds) noexcept;

/// duration_from_seconds, or an internal failure with the message
/// "cannot convert float seconds to Duration: value is either too big or NaN".
SecondsAndNanos duration_from_seconds_or_fail(double seconds);

/// The steady-clock deadline `span` after `start`; spans beyond what the clock
/// can represent saturate to its maximum (a deadline that never comes).
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     SecondsAndNanos span) noexcept;

}  // namespace cadrel::rt
