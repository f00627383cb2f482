// GoogleTest fixture over the end-to-end rig: a booted machine on the
// virtual clock; at the end every device and driver goes, and the machine
// must then hold no IRP, no pool, no handle and no verifier finding.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "e2e/support/rig.h"
#include "hk/testing.h"

namespace e2e {

class EndToEndTest : public ::testing::Test {
protected:
    virtual hk::Machine::Options MachineOptions() { return VirtualClock(); }

    void SetUp() override {
        rig_ = std::make_unique<Rig>(MachineOptions());
        ASSERT_EQ(rig_->Boot(), STATUS_SUCCESS);
        ASSERT_NE(rig_->Camera(), nullptr);
        ASSERT_NE(rig_->Audio(), nullptr);
    }

    void TearDown() override {
        if (!rig_) return;
        rig_->Shutdown();
        EXPECT_EQ(usbclass::Devices().size(), 0u);
        EXPECT_EQ(hk::io::OutstandingIrpCount(), 0u);
        HK_EXPECT_CLEAN(rig_->machine);
        rig_.reset();
    }

    Rig& rig() { return *rig_; }
    hk::Machine& machine() { return rig_->machine; }
    vhub::sdk::Bus& app() { return rig_->app; }

    std::unique_ptr<Rig> rig_;
};

}  // namespace e2e
