// GoogleTest helpers for tests that run on a hostkernel machine.
#pragma once

#include <gtest/gtest.h>

#include "hk/machine.h"

namespace hk {

// Asserts that the machine has no findings, no pool in use and no open
// handles right now (its report is printed when it fails).
#define HK_EXPECT_CLEAN(machine)                                             \
    do {                                                                     \
        std::string hk_report_ = (machine).Report();                         \
        EXPECT_TRUE(hk_report_.empty()) << hk_report_;                       \
    } while (0)

// Expects at least one finding of `rule` and clears all findings, so that a
// test that provokes a finding on purpose does not fail at shutdown.
#define HK_EXPECT_FINDING(machine, rule)                                     \
    do {                                                                     \
        EXPECT_GT((machine).CountFindings(rule), 0u)                         \
            << "expected a verifier finding " << (rule);                     \
        (machine).ClearFindings();                                           \
    } while (0)

}  // namespace hk
