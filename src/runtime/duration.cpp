// Exact float-seconds to duration conversion.
//
// A finite double is m * 2^e with an integer mantissa m < 2^53. Its value in
// nanoseconds is m * 10^9 * 2^e; m * 10^9 < 2^83, so a 128-bit integer holds
// the product, and a right shift by -e with the bits shifted out gives the
// exact quotient and remainder for rounding half to even.
#include "runtime/duration.hpp"

#include "runtime/panic.hpp"

#include <cmath>
#include <cstdint>

namespace cadrel::rt {

namespace {
__extension__ typedef unsigned __int128 u128;  // GCC and Clang on every 64-bit target
constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
constexpr double kTwoPow64 = 18446744073709551616.0;
}  // namespace

std::optional<SecondsAndNanos> duration_from_seconds(double seconds) noexcept {
    if (!(seconds >= 0.0) || seconds >= kTwoPow64) return std::nullopt;  // NaN, negative, too big
    if (seconds == 0.0) return SecondsAndNanos{};
    int exponent = 0;
    double fraction = std::frexp(seconds, &exponent);  // seconds = fraction * 2^exponent, 0.5 <= fraction < 1
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));  // exact: 53 significant bits
    exponent -= 53;                                                        // seconds = mantissa * 2^exponent
    u128 nanos = static_cast<u128>(mantissa) * kNanosPerSecond;
    if (exponent >= 0) {
        nanos <<= exponent;  // exponent <= 11 here, since seconds < 2^64
    } else if (-exponent >= 128) {
        nanos = 0;  // far below half a nanosecond
    } else {
        const int shift = -exponent;
        const u128 remainder_mask = (static_cast<u128>(1) << shift) - 1;
        const u128 remainder = nanos & remainder_mask;
        const u128 half = static_cast<u128>(1) << (shift - 1);
        nanos >>= shift;
        if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
    }
    SecondsAndNanos result;
    result.seconds = static_cast<unsigned long long>(nanos / kNanosPerSecond);
    result.nanos = static_cast<unsigned>(nanos % kNanosPerSecond);
    return result;
}

SecondsAndNanos duration_from_seconds_or_fail(double seconds) {
    if (auto duration = duration_from_seconds(seconds)) return *duration;
    panic("cannot convert float seconds to Duration: value is either too big or NaN");
}

std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     SecondsAndNanos span) noexcept {
    using Clock = std::chrono::steady_clock;
    using std::chrono::nanoseconds;
    const auto max = Clock::time_point::max();
    const auto room = static_cast<std::uint64_t>(std::chrono::duration_cast<nanoseconds>(max - start).count());
    // Compare in seconds first so the nanosecond count cannot overflow: within
    // room's whole seconds, the total stays below room + 10^9 < 2^64.
    if (span.seconds > room / kNanosPerSecond) return max;
    const std::uint64_t total = span.seconds * kNanosPerSecond + span.nanos;
    if (total >= room) return max;
    return start + std::chrono::duration_cast<Clock::duration>(nanoseconds(static_cast<long long>(total)));
}

}  // namespace cadrel::rt
