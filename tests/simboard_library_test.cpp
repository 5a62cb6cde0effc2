// The simulated board as a program sees it: the library's entry points, its
// checks of how it is used, and its clock. Each test runs in a process of its
// own (CTest runs them one by one), so each starts with a board not yet set up.
#include <gtest/gtest.h>
#include <wiringPi.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

void setUpBoard(const char* edges = "0") {
    for (const char* name : {"SIMBOARD_RATE", "SIMBOARD_HIGH", "SIMBOARD_FAIL", "SIMBOARD_TRACE"}) {
        unsetenv(name);
    }
    setenv("SIMBOARD_EDGES", edges, 1);
    setenv("SIMBOARD_RATE", "max", 1);
    setenv("SIMBOARD_HIGH", "40", 1);
    ASSERT_EQ(wiringPiSetup(), 0);
}

void noHandler() {}

TEST(SimboardLibrary, PinCallsBeforeSetupEndTheProcess) {
    EXPECT_EXIT(pinMode(4, 0), testing::ExitedWithCode(EXIT_FAILURE),
                "simboard: pinMode called before wiringPiSetup succeeded");
    EXPECT_EXIT(digitalWrite(2, 0), testing::ExitedWithCode(EXIT_FAILURE),
                "simboard: digitalWrite called before wiringPiSetup succeeded");
    EXPECT_EXIT(digitalRead(4), testing::ExitedWithCode(EXIT_FAILURE),
                "simboard: digitalRead called before wiringPiSetup succeeded");
    CaptureStderr();
    EXPECT_EQ(wiringPiISR(6, 1, noHandler), -1);
    EXPECT_EQ(GetCapturedStderr(), "simboard: wiringPiISR called before wiringPiSetup succeeded\n");
}

TEST(SimboardLibrary, MisusesAreToldOnStandardError) {
    setUpBoard();
    pinMode(6, 0);
    CaptureStderr();
    EXPECT_EQ(digitalRead(5), 0);
    EXPECT_EQ(digitalRead(5), 0);  // told once, not on every read
    // A pin outside the board is told once by each operation, whichever and
    // however many such pins follow.
    for (const int pin : {40, 40, -1}) {
        EXPECT_EQ(digitalRead(pin), 0);
    }
    for (const int pin : {99, 99, 32}) {
        pinMode(pin, 0);
    }
    for (const int pin : {-1, -1, 32}) {
        digitalWrite(pin, 1);
    }
    pinMode(7, 2);
    digitalWrite(3, 1);
    EXPECT_EQ(wiringPiISR(5, 1, noHandler), -1);
    EXPECT_EQ(wiringPiISR(6, 7, noHandler), -1);
    EXPECT_EQ(wiringPiISR(6, 1, nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "simboard: digitalRead: pin 5 is not set as input\n"
              "simboard: digitalRead: pin 40 does not exist (pins are 0 to 31)\n"
              "simboard: pinMode: pin 99 does not exist (pins are 0 to 31)\n"
              "simboard: digitalWrite: pin -1 does not exist (pins are 0 to 31)\n"
              "simboard: pinMode: mode 2 for pin 7 is neither input (0) nor output (1)\n"
              "simboard: digitalWrite: pin 3 is not set as output\n"
              "simboard: wiringPiISR: pin 5 is not set as input\n"
              "simboard: wiringPiISR: edge type 7 is not falling (1), rising (2) or both (3)\n"
              "simboard: wiringPiISR: no handler given\n");
}

std::atomic<int> edges{0};
std::atomic<int> highs{0};

void countEdge() {
    highs += digitalRead(4);
    ++edges;
}

// One handler call per falling edge, on the board's own thread, with the S/N
// input at the configured share; then the clock stops as configured.
TEST(SimboardLibrary, ClockCallsTheHandlerOncePerEdge) {
    setUpBoard("2500");
    pinMode(4, 0);
    pinMode(6, 0);
    ASSERT_EQ(wiringPiISR(6, 1, countEdge), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (edges < 2500 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(edges, 2500);
    EXPECT_EQ(highs, 1000);  // 40 per cent of 2500
    CaptureStderr();
    EXPECT_EQ(wiringPiISR(6, 1, countEdge), -1);
    EXPECT_EQ(GetCapturedStderr(), "simboard: wiringPiISR: a handler is registered already\n");
}

}  // namespace
