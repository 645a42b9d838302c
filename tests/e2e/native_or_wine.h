// A scenario suite that runs twice: with the native download and with
// download.exe under Wine.
#pragma once

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "tests/support/wine.h"

namespace e2e {

class NativeOrWine : public ::testing::TestWithParam<bool> {
protected:
    bool wine() const { return GetParam(); }
    void SetUp() override {
        if (wine()) REQUIRE_WINE(windowsExe());
    }
    Result run(const Scenario& s) { return wine() ? runWine(s) : e2e::run(s); }
};

}  // namespace e2e

// Instantiates a NativeOrWine suite for both ways.
#define NATIVE_AND_WINE(Suite)                                         \
    INSTANTIATE_TEST_SUITE_P(Native, Suite, ::testing::Values(false)); \
    INSTANTIATE_TEST_SUITE_P(Wine, Suite, ::testing::Values(true))
