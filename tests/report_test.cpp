// The quality table and the report line.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/monitor.h"

namespace {

std::string reportFor(std::uint16_t sum) {
    testing::internal::CaptureStdout();
    rxsnReport(sum);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Report, LinesForTypicalSums) {
    EXPECT_EQ(reportFor(0), "% high: 0, BER: 0.0e+00, SN: 0.0\n");
    EXPECT_EQ(reportFor(9), "% high: 0, BER: 0.0e+00, SN: 0.0\n");
    EXPECT_EQ(reportFor(123), "% high: 12, BER: 0.0e+00, SN: 0.0\n");
    EXPECT_EQ(reportFor(399), "% high: 39, BER: 0.0e+00, SN: 0.0\n");
    EXPECT_EQ(reportFor(400), "% high: 40, BER: 1.8e-02, SN: 5.0\n");
    EXPECT_EQ(reportFor(575), "% high: 57, BER: 5.5e-03, SN: 7.0\n");
    EXPECT_EQ(reportFor(999), "% high: 99, BER: 1.2e-06, SN: 13.2\n");
    EXPECT_EQ(reportFor(1000), "% high: 100, BER: 8.7e-07, SN: 13.3\n");
}

// Every report line the program can print, for every sum of a window, against
// report_lines.txt: the 101 expected lines, one per row, made once from the
// table's decimal values as published, rounded to single precision, and
// printed with the report's format. A value mistyped in the table changes its
// line even where the table keeps its order.
TEST(Report, EverySumGivesItsRowsLine) {
    std::ifstream file(REPORT_LINES_FILE);
    ASSERT_TRUE(file) << "cannot read " << REPORT_LINES_FILE;
    std::vector<std::string> expected;
    for (std::string line; std::getline(file, line);) {
        expected.push_back(line);
    }
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(rxsnRows));

    testing::internal::CaptureStdout();
    for (unsigned sum = 0; sum <= rxsnWindowSize; ++sum) {
        rxsnReport(static_cast<std::uint16_t>(sum));
    }
    std::fflush(stdout);
    std::istringstream printed(testing::internal::GetCapturedStdout());
    unsigned sum = 0;
    for (std::string line; std::getline(printed, line); ++sum) {
        ASSERT_LE(sum, rxsnWindowSize) << "more lines than sums, from: " << line;
        EXPECT_EQ(line, expected[sum / 10]) << "sum " << sum;
    }
    EXPECT_EQ(sum, rxsnWindowSize + 1u) << "one line per sum";
}

// The table holds single-precision values; printing them widened to double
// shows it in three rows.
TEST(Report, SinglePrecisionShowsInBer) {
    EXPECT_EQ(reportFor(630), "% high: 63, BER: 2.6e-03, SN: 7.8\n");
    EXPECT_EQ(reportFor(840), "% high: 84, BER: 6.4e-05, SN: 10.7\n");
    EXPECT_EQ(reportFor(960), "% high: 96, BER: 2.9e-06, SN: 12.7\n");
}

// Exact halves round to the even digit, as the standard formatter does.
TEST(Report, ExactHalvesOfSnRoundToEven) {
    EXPECT_EQ(reportFor(420), "% high: 42, BER: 1.6e-02, SN: 5.2\n");
    EXPECT_EQ(reportFor(590), "% high: 59, BER: 4.4e-03, SN: 7.2\n");
    EXPECT_EQ(reportFor(670), "% high: 67, BER: 1.5e-03, SN: 8.2\n");
    // The other exact halves end in .75 and go up.
    const struct {
        std::uint16_t sum;
        const char* sn;
    } upward[] = {{460, "SN: 5.8\n"},
                  {550, "SN: 6.8\n"},
                  {630, "SN: 7.8\n"},
                  {710, "SN: 8.8\n"},
                  {780, "SN: 9.8\n"}};
    for (const auto& c : upward) {
        const std::string line = reportFor(c.sum);
        EXPECT_EQ(line.substr(line.rfind("SN: ")), c.sn) << line;
    }
}

TEST(Table, Shape) {
    for (int i = 0; i < rxsnRows; ++i) {
        EXPECT_EQ(rxsn[i].high, i) << "row " << i;
    }
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(rxsn[i].ber, 0.0f) << "row " << i;
        EXPECT_EQ(rxsn[i].sn, 0.0f) << "row " << i;
    }
    for (int i = 41; i <= 100; ++i) {
        EXPECT_LT(rxsn[i].ber, rxsn[i - 1].ber) << "row " << i;
        EXPECT_GT(rxsn[i].sn, rxsn[i - 1].sn) << "row " << i;
    }
    // Spot checks that the values are the nearest floats to the decimals.
    EXPECT_EQ(rxsn[40].ber, 1.78e-02f);
    EXPECT_EQ(rxsn[74].sn, 9.167f);
    EXPECT_EQ(rxsn[100].ber, 8.69e-07f);
}

}  // namespace
