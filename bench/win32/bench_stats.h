// Summary statistics and the plain-text table of the Windows benchmark program.
// Header-only so that its test and the program share it without a library.
#pragma once
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

struct BenchSummary {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t count = 0;
};

// Median (mean of the two middle values for an even count), minimum and maximum.
// An empty sample gives count 0 and zeros, never a read past the end.
inline BenchSummary Summarize(std::vector<double> samples)
{
    BenchSummary s;
    s.count = samples.size();
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    size_t mid = samples.size() / 2;
    s.median = samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

// Width of the range relative to the median, in percent. A median of zero has no
// meaningful relative spread; it reports 0 rather than dividing by it.
inline double SpreadPercent(const BenchSummary& s)
{
    double scale = s.median < 0 ? -s.median : s.median;
    if (s.count == 0 || scale == 0) return 0;
    return (s.max - s.min) / scale * 100.0;
}

struct BenchRow {
    std::string name;
    std::string unit;
    BenchSummary summary;
    bool failed = false; // the measurement did not complete; shown as such
};

// Fixed decimals chosen by magnitude so that small latencies keep their digits
// and large rates do not print noise.
inline std::string FormatValue(double v)
{
    double a = v < 0 ? -v : v;
    const char* fmt = a >= 1000 ? "%.0f" : a >= 100 ? "%.1f" : a >= 1 ? "%.2f" : "%.3f";
    char buf[64];
    snprintf(buf, sizeof(buf), fmt, v);
    return buf;
}

inline std::string FormatTable(const std::vector<BenchRow>& rows)
{
    size_t nameWidth = 6, unitWidth = 4;
    for (const BenchRow& r : rows) {
        nameWidth = std::max(nameWidth, r.name.size());
        unitWidth = std::max(unitWidth, r.unit.size());
    }
    std::string out;
    char line[512];
    snprintf(line, sizeof(line), "%-*s  %-*s  %10s  %10s  %10s  %7s  %4s\n", (int)nameWidth, "figure",
             (int)unitWidth, "unit", "median", "min", "max", "spread", "reps");
    out += line;
    out += std::string(nameWidth + unitWidth + 53, '-') + "\n";
    for (const BenchRow& r : rows) {
        if (r.failed || r.summary.count == 0) {
            snprintf(line, sizeof(line), "%-*s  %-*s  %10s\n", (int)nameWidth, r.name.c_str(), (int)unitWidth,
                     r.unit.c_str(), "FAILED");
        } else {
            char spread[32];
            snprintf(spread, sizeof(spread), "%.1f%%", SpreadPercent(r.summary));
            snprintf(line, sizeof(line), "%-*s  %-*s  %10s  %10s  %10s  %7s  %4u\n", (int)nameWidth,
                     r.name.c_str(), (int)unitWidth, r.unit.c_str(), FormatValue(r.summary.median).c_str(),
                     FormatValue(r.summary.min).c_str(), FormatValue(r.summary.max).c_str(), spread,
                     (unsigned)r.summary.count);
        }
        out += line;
    }
    return out;
}
