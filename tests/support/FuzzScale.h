// How far the fuzz and soak tests go. The ordinary test run takes a small, fast share;
// QVN_FUZZ_SCALE=N runs N times as much, and at FullFuzzScale (scripts/robustness.sh)
// every test reaches its full count.
#pragma once

#include <cstdlib>

inline constexpr unsigned FullFuzzScale = 100;

// QVN_FUZZ_SCALE as a number; 1 when it is unset, not a number or below 1.
inline unsigned FuzzScale()
{
    const char* text = std::getenv("QVN_FUZZ_SCALE");
    const long scale = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return scale < 1 ? 1u : static_cast<unsigned>(scale);
}

// count scaled from the full amount down to the share of this run (at least 1).
inline unsigned long ScaledCount(unsigned long fullCount)
{
    const unsigned scale = FuzzScale();
    const unsigned long count =
        scale >= FullFuzzScale ? fullCount * (scale / FullFuzzScale) : fullCount * scale / FullFuzzScale;
    return count > 0 ? count : 1;
}
