// The bus device's own life: start creating the children, relations, stop
// and start again, failed starts and removal.
#include <gtest/gtest.h>

#include "hk/testing.h"
#include "support/bus_rig.h"

namespace {

using bus_rig::Rig;

TEST(BusStart, CreatesBothChildrenReportsThemAndEnablesTheInterface) {
    Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_NE(rig.fdo, nullptr);

    ASSERT_NE(rig.Child(0), nullptr);
    ASSERT_NE(rig.Child(1), nullptr);
    EXPECT_EQ(rig.ChildData(0)->VendorId, 0xFC01);
    EXPECT_EQ(rig.ChildData(0)->ProductId, 0xFD01);
    EXPECT_EQ(rig.ChildData(0)->SlotIndex, 0u);
    EXPECT_EQ(rig.ChildData(1)->VendorId, 0xFC02);
    EXPECT_EQ(rig.ChildData(1)->SlotIndex, 1u);

    std::vector<PDEVICE_OBJECT> reported = rig.ReportedChildren();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0], rig.Child(0));
    EXPECT_EQ(reported[1], rig.Child(1));
    EXPECT_TRUE(rig.BusInterfaceEnabled());
    EXPECT_EQ(rig.PacingThreads(), 1u);
    rig.TearDown();
    HK_EXPECT_CLEAN(rig.machine);
}

}  // namespace
