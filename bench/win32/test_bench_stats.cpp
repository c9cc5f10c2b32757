// The benchmark table is what people read the figures from: its median, range
// and failure marks must be right even for awkward samples.
#include <gtest/gtest.h>

#include <sstream>

#include "bench/win32/bench_stats.h"

namespace
{

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

TEST(BenchSummary, MedianMinMaxOfUnsortedSamples)
{
    BenchSummary odd = Summarize({9, 1, 5, 7, 3});
    EXPECT_EQ(5u, odd.count);
    EXPECT_DOUBLE_EQ(5, odd.median);
    EXPECT_DOUBLE_EQ(1, odd.min);
    EXPECT_DOUBLE_EQ(9, odd.max);

    // An even count takes the mean of the two middle values, not either one.
    BenchSummary even = Summarize({40, 10, 30, 20});
    EXPECT_DOUBLE_EQ(25, even.median);

    BenchSummary one = Summarize({2.5});
    EXPECT_DOUBLE_EQ(2.5, one.median);
    EXPECT_DOUBLE_EQ(0, SpreadPercent(one));
}

TEST(BenchSummary, EmptyAndZeroMedianStayDefined)
{
    BenchSummary none = Summarize({});
    EXPECT_EQ(0u, none.count);
    EXPECT_DOUBLE_EQ(0, SpreadPercent(none));

    // A latency difference can be centred on zero: no division by it.
    BenchSummary zero = Summarize({-1, 0, 1});
    EXPECT_DOUBLE_EQ(0, SpreadPercent(zero));
}

TEST(BenchSummary, SpreadIsRangeOverMedianMagnitude)
{
    EXPECT_DOUBLE_EQ(20, SpreadPercent(Summarize({90, 100, 110})));
    // A negative median (the bridge measured faster than direct) still gives a
    // positive spread.
    EXPECT_DOUBLE_EQ(50, SpreadPercent(Summarize({-12, -10, -7})));
}

TEST(BenchTable, RowsAlignAndShowFailures)
{
    std::vector<BenchRow> rows(3);
    rows[0].name = "short";
    rows[0].unit = "MB/s";
    rows[0].summary = Summarize({1234.4, 1100, 1300});
    rows[1].name = "a much longer figure name";
    rows[1].unit = "us";
    rows[1].summary = Summarize({0.0123, 0.02});
    rows[2].name = "broken";
    rows[2].unit = "ms";
    rows[2].failed = true;

    std::vector<std::string> lines = Lines(FormatTable(rows));
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(0u, lines[0].find("figure"));
    // Every value column starts at the same place whatever the name's length.
    size_t unitCol = lines[0].find("unit");
    EXPECT_EQ(unitCol, lines[2].find("MB/s"));
    EXPECT_EQ(unitCol, lines[3].find("us"));
    EXPECT_EQ(unitCol, lines[4].find("ms"));

    EXPECT_NE(std::string::npos, lines[2].find("1234"));
    EXPECT_NE(std::string::npos, lines[2].find("1100"));
    EXPECT_NE(std::string::npos, lines[2].find("16.2%")); // (1300 - 1100) / 1234.4
    // Small values keep significant digits instead of printing as 0.00.
    EXPECT_NE(std::string::npos, lines[3].find("0.016"));
    EXPECT_NE(std::string::npos, lines[4].find("FAILED"));
    EXPECT_EQ(std::string::npos, lines[4].find('%'));
}

TEST(BenchTable, RowWithoutSamplesIsAFailureNotAZero)
{
    std::vector<BenchRow> rows(1);
    rows[0].name = "nothing measured";
    rows[0].unit = "ms";
    std::vector<std::string> lines = Lines(FormatTable(rows));
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[2].find("FAILED"));
}

TEST(BenchTable, ValueDecimalsFollowMagnitude)
{
    EXPECT_EQ("2500", FormatValue(2499.6));
    EXPECT_EQ("250.0", FormatValue(250.04));
    EXPECT_EQ("2.50", FormatValue(2.5));
    EXPECT_EQ("0.250", FormatValue(0.25));
    EXPECT_EQ("-12.00", FormatValue(-12));
}

} // namespace
