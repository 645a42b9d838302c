// Shared set-up for the stage tests: the run's port is a FakePort, the
// console output is captured, the console input comes from a pipe.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app/run_state.h"
#include "tests/app/fake_port.h"

class StageTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetFakeClock();
        resetRun();
        run().runPort = &fake.port;
    }
    void TearDown() override {
        restoreInput();
        resetRun();
    }

    // Console keys or lines for the code under test.
    void typeInput(const std::string& bytes) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fds[1]);
        if (savedStdin_ < 0) savedStdin_ = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    void restoreInput() {
        if (savedStdin_ >= 0) {
            dup2(savedStdin_, 0);
            close(savedStdin_);
            savedStdin_ = -1;
        }
    }

    static void startCapture() { testing::internal::CaptureStdout(); }
    static std::string captured() { return testing::internal::GetCapturedStdout(); }

    FakePort fake;
    // The run's record, as the stages see it.
    RunConfig& runConfig = run().runConfig;
    ImageFile& currentImage = run().currentImage;

private:
    int savedStdin_ = -1;
};

// For death tests: the console writes to standard output, gtest reads
// standard error.
#define STDOUT_TO_STDERR() dup2(2, 1)

inline std::string rule(char c) {
    return std::string(79, c) + "\n";
}
inline std::string framed(const std::string& text) {
    return "\n" + rule('-') + text + rule('-');
}
