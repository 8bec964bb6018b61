// Time measurement for the benchmark: the platform's performance counter, and the median
// that keeps a figure steady when other work on the machine interrupts a repetition.
#pragma once

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

// Seconds since an arbitrary start, from the performance counter.
inline double SecondsNow()
{
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

// Time elapsed since construction.
class Stopwatch
{
public:
    double Seconds() const { return SecondsNow() - m_start; }
    double Milliseconds() const { return Seconds() * 1e3; }
    double Microseconds() const { return Seconds() * 1e6; }
    double Nanoseconds() const { return Seconds() * 1e9; }

private:
    double m_start = SecondsNow();
};

// Microseconds per call of call(), over the given number of calls.
template <class Call> double MicrosecondsPerCall(int calls, Call call)
{
    const Stopwatch watch;
    for (int i = 0; i < calls; ++i)
    {
        call();
    }
    return watch.Microseconds() / calls;
}

// The median of the values (the mean of the middle two for an even count). Throws when
// there are none.
inline double Median(std::vector<double> values)
{
    if (values.empty())
    {
        throw std::invalid_argument("median of nothing");
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
