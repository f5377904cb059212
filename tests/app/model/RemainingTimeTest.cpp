#include <gtest/gtest.h>

#include "RemainingTime.h"
#include "TextTable.h"

using namespace velapp;

TEST(TimeFormat, MinutesUntilAnHourThenHours)
{
    EXPECT_EQ(formatDuration(7), "00:07");
    EXPECT_EQ(formatDuration(3599), "59:59");
    EXPECT_EQ(formatDuration(3600), "01:00:00");
    EXPECT_EQ(formatDuration(7, true), "00:00:07");
    EXPECT_EQ(formatDuration(90061), "25:01:01");
    EXPECT_EQ(formatDuration(-5), "00:00");
}

TEST(RemainingTimeEstimate, ExtrapolatesFromTheOldestSample)
{
    RemainingTimeEstimate estimate;
    EXPECT_EQ(estimate.update(10, 10, 100), 0);  // first sample
    // 10 steps in 10 s, 40 to go: 40 s.
    EXPECT_EQ(estimate.update(20, 20, 60), 40);
}

TEST(RemainingTimeEstimate, RoundsUpToTenSecondsAboveAMinute)
{
    RemainingTimeEstimate estimate;
    estimate.update(0, 0, 100);
    EXPECT_EQ(estimate.update(10, 10, 71), 70);  // 61 s
    RemainingTimeEstimate exact;
    exact.update(0, 0, 100);
    EXPECT_EQ(exact.update(10, 10, 70), 60);
}

TEST(RemainingTimeEstimate, HoldsSmallRisesAndPassesLargeOnes)
{
    RemainingTimeEstimate estimate;
    estimate.update(0, 0, 1000);
    EXPECT_EQ(estimate.update(10, 10, 30), 20);
    // The raw estimate rises to 24 s: held at 20.
    EXPECT_EQ(estimate.update(10, 10, 34), 20);
    // A rise of five seconds or more is shown.
    EXPECT_EQ(estimate.update(10, 10, 35), 25);
    // Decreases always pass.
    EXPECT_EQ(estimate.update(10, 10, 21), 11);
}

TEST(RemainingTimeEstimate, StalledProgressDividesByOne)
{
    RemainingTimeEstimate estimate;
    estimate.update(0, 5, 100);
    EXPECT_EQ(estimate.update(4, 5, 10), 20);  // (10 - 5) * 4 / 1
}

TEST(RemainingTimeEstimate, ForgetsSamplesOlderThanHalfAMinute)
{
    RemainingTimeEstimate estimate;
    estimate.update(0, 0, 1000);
    estimate.update(10, 100, 1000);  // second sample (10 s after the first)
    // 31 s after the first sample: estimated from it, then it is dropped.
    EXPECT_EQ(estimate.update(31, 310, 1000), 70);  // 690 * 31 / 310 = 69 -> 70
    // Now the oldest sample is (100, 10): 150 steps in 30 s, 750 to go -> 150 s (the dropped
    // sample would have given 120 s).
    EXPECT_EQ(estimate.update(40, 250, 1000), 150);
}

TEST(TimeText, ShowsOnlyElapsedForTheFirstTenSeconds)
{
    programTexts().fill(Language::English);
    TimeText line;
    EXPECT_EQ(line.tick(7, 10, 100, true), "00:07 elapsed");
    EXPECT_FALSE(line.tick(7, 10, 100, true));  // same second: nothing new
    // 3 s raw, a rise of less than 5 s over the 0 shown before: held.
    EXPECT_EQ(line.tick(10, 50, 100, true), "00:10 elapsed, 00:00 remaining");
    // 65 steps in 13 s since the first sample, 25 to go.
    EXPECT_EQ(line.tick(20, 75, 100, true), "00:20 elapsed, 00:05 remaining");
}

TEST(TimeText, NeedsEnoughProgressForAnEstimate)
{
    programTexts().fill(Language::English);
    TimeText line;
    EXPECT_EQ(line.tick(12, 4, 100, true), "00:12 elapsed");   // fewer than 5 steps
    EXPECT_EQ(line.tick(13, 5, 1000, true), "00:13 elapsed");  // under 1/33 of the range
    EXPECT_EQ(line.tick(14, 100, 100, true), "00:14 elapsed"); // finished
    EXPECT_EQ(line.tick(14, 100, 100, true), "00:14 elapsed"); // finished: shown again
    EXPECT_EQ(line.tick(15, 50, 100, false), "00:15 elapsed"); // no thread
}

TEST(TimeText, UsesTheHourFormForBothTimesFromAnHourOn)
{
    programTexts().fill(Language::English);
    TimeText line;
    EXPECT_EQ(line.tick(3000, 4, 100, true), "50:00 elapsed");
    // 46 steps in 600 s, 50 to go: 652 s, rounded up to 660.
    EXPECT_EQ(line.tick(3600, 50, 100, true), "01:00:00 elapsed, 00:11:00 remaining");
}
