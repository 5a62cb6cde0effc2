// The sampling window and the steps of the report cycle, driven edge by edge
// from the test through a fake digitalRead.
#include <gtest/gtest.h>

#include <string>

#include "fake_gpio.h"
#include "monitor/monitor.h"

namespace {

class Window : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        rxsnReset();
    }
    void TearDown() override {
        fake::reset();
    }

    static void edges(int n, int level) {
        fake::level = [level] { return level; };
        for (int i = 0; i < n; ++i) {
            rxINT();
        }
    }
    static std::uint16_t count() {
        return rxsnCount(rxsnWindow.load());
    }
    static std::uint16_t sum() {
        return rxsnSum(rxsnWindow.load());
    }
    // What the report cycle would report now; fails the test instead of
    // waiting for ever when the window is not complete.
    static std::uint16_t reported() {
        if (count() < rxsnWindowSize) {
            ADD_FAILURE() << "window not complete: count " << count();
            return 0xFFFF;
        }
        return rxsnAwait();
    }
};

TEST_F(Window, SamplesExactlyTheFirstThousandEdges) {
    edges(999, 1);
    EXPECT_EQ(count(), 999);
    EXPECT_EQ(sum(), 999);
    EXPECT_EQ(fake::reads, 999);

    edges(1, 1);  // the 1000th edge is sampled
    EXPECT_EQ(count(), 1000);
    EXPECT_EQ(sum(), 1000);
    EXPECT_EQ(fake::reads, 1000);

    edges(1, 1);  // the 1001st is counted but not sampled, nor even read
    EXPECT_EQ(count(), 1001);
    EXPECT_EQ(sum(), 1000);
    EXPECT_EQ(fake::reads, 1000);
    EXPECT_EQ(reported(), 1000);
}

TEST_F(Window, AllLowAndAllHighWindowsGiveTheEndRows) {
    edges(1000, 0);
    EXPECT_EQ(reported(), 0);
    rxsnReset();
    edges(1000, 1);
    EXPECT_EQ(reported(), 1000);
}

// Edges after completion, as while a report line is being written, change the
// count only; a window first seen long after completion reports its first
// 1000 samples.
TEST_F(Window, LateEdgesLeaveTheSumAlone) {
    edges(400, 1);
    edges(600, 0);
    edges(500, 1);
    EXPECT_EQ(count(), 1500);
    EXPECT_EQ(reported(), 400);
    edges(10, 1);
    EXPECT_EQ(reported(), 400);
}

// However long the main loop is kept from the window, the count must not run
// back into an open window and sample again into a finished one.
TEST_F(Window, CountStopsInsteadOfWrapping) {
    edges(1000, 1);
    edges(200000, 1);
    EXPECT_EQ(count(), 65535);
    EXPECT_EQ(sum(), 1000);
    EXPECT_EQ(fake::reads, 1000);
    EXPECT_EQ(reported(), 1000);

    rxsnReset();
    edges(1000, 0);
    EXPECT_EQ(reported(), 0);
}

// A reset after a report opens a window whose first 1000 edges are all
// sampled, however many edges came between completion and the reset.
TEST_F(Window, ResetOpensAFullEmptyWindow) {
    edges(1000, 1);
    edges(37, 1);
    rxsnReset();
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(sum(), 0);
    edges(999, 0);
    edges(1, 1);
    EXPECT_EQ(reported(), 1);
}

// The main loop resets the window while an edge is half-way through: after
// the edge has read the S/N input but before it has stored its update. The
// edge must land in the new window, once, and the reset must not be lost.
TEST_F(Window, ResetDuringAnEdgeIsNotLost) {
    edges(999, 1);
    bool resetDone = false;
    fake::level = [&resetDone] {
        if (!resetDone) {
            resetDone = true;
            rxsnReset();
        }
        return 1;
    };
    rxINT();  // would have been the 1000th edge of the old window
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(sum(), 1);
    EXPECT_EQ(fake::reads, 1000) << "the level is read once per edge";

    edges(999, 0);
    EXPECT_EQ(reported(), 1);
}

TEST_F(Window, ReportsTheLineOfTheCompletedWindow) {
    edges(575, 1);
    edges(425, 0);
    edges(3, 1);
    testing::internal::CaptureStdout();
    rxsnReport(reported());
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "% high: 57, BER: 5.5e-03, SN: 7.0\n");
}

}  // namespace
