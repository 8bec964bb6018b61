// Time measurement for the benchmark: the platform's performance counter, the order in
// which a figure's repetitions alternate with its reference's, and the median and
// quartiles that keep a figure steady when other work on the machine interrupts a
// repetition.
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

// The value below which the given share (0 to 1) of the values lie, interpolated
// linearly between the two nearest: the median for 0.5, the quartiles for 0.25 and 0.75.
// Throws when there are none.
inline double Quantile(std::vector<double> values, double share)
{
    if (values.empty())
    {
        throw std::invalid_argument("quantile of nothing");
    }
    std::sort(values.begin(), values.end());
    const double position = share * double(values.size() - 1);
    const auto below = static_cast<std::size_t>(position);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (position - double(below)) * (values[above] - values[below]);
}

// The median of the values. Throws when there are none.
inline double Median(const std::vector<double>& values)
{
    return Quantile(values, 0.5);
}

// What a figure's repetitions gave: their median and, for their spread, their lower and
// upper quartiles (half of the repetitions lie between the two).
struct Spread
{
    double median;
    double lower;
    double upper;
    int repetitions;
};

// Throws when there are no values.
inline Spread SpreadOf(const std::vector<double>& values)
{
    return {Median(values), Quantile(values, 0.25), Quantile(values, 0.75), int(values.size())};
}

// Runs measure(true) (the component) and measure(false) (its reference) once each per
// pair, `pairs` times, the order swapping from one pair to the next (ABBAAB...): the two
// sides of a pair see the same moment's load on the machine, and neither always runs in
// the wake of the other (a window the other just closed, a server the other just woke).
template <class Measure> void AlternatingPairs(int pairs, Measure measure)
{
    for (int pair = 0; pair < pairs; ++pair)
    {
        const bool componentFirst = pair % 2 == 0;
        measure(componentFirst);
        measure(!componentFirst);
    }
}

// One value per repetition of the component and of its reference, the two taken in
// alternating pairs: component[i] and reference[i] are a pair.
struct PairedTimings
{
    std::vector<double> component;
    std::vector<double> reference;

    // The ratio of each pair, component over reference.
    std::vector<double> Ratios() const
    {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < component.size() && i < reference.size(); ++i)
        {
            ratios.push_back(component[i] / reference[i]);
        }
        return ratios;
    }
};

// `pairs` repetitions of each of component() and reference() (each returns one
// repetition's time), in alternating pairs.
template <class Component, class Reference>
PairedTimings TimeInPairs(int pairs, Component component, Reference reference)
{
    PairedTimings timings;
    AlternatingPairs(pairs, [&](bool ofComponent) {
        if (ofComponent)
        {
            timings.component.push_back(component());
        }
        else
        {
            timings.reference.push_back(reference());
        }
    });
    return timings;
}
