// The real driver's children, created by its bus through the library: each
// child device object carries the descriptor of the children's text, and
// each child's class key is created, marked and given the default.
#include "support/bus_rig.h"
#include "driver/support/bus_rig.cpp"

#include "devsec_fixture.h"

using namespace devsec_test;

namespace {

TEST(DriverChildren, EachChildCarriesTheChildDescriptor) {
    DevsecResetState();
    bus_rig::Rig rig;
    ASSERT_EQ(rig.Install(), STATUS_SUCCESS);
    ASSERT_NE(rig.fdo, nullptr);

    const ACCESS_MASK kRWX = 0xE0000000;
    const std::vector<AceView> kEntries = {{ACCESS_ALLOWED_ACE_TYPE, 0, 0x10000000, "S-1-5-18"},
                                           {ACCESS_ALLOWED_ACE_TYPE, 0, kRWX, "S-1-5-32-544"},
                                           {ACCESS_ALLOWED_ACE_TYPE, 0, kRWX, "S-1-1-0"},
                                           {ACCESS_ALLOWED_ACE_TYPE, 0, kRWX, "S-1-5-12"}};
    const char* kClassKeys[] = {"{7A39372F-ADD4-446A-AC4E-561739FA4E2A}", "{DF704935-A186-4374-9C97-028B6B056078}"};
    for (int slot = 0; slot < 2; ++slot) {
        SCOPED_TRACE(slot == 0 ? "camera" : "audio");
        PDEVICE_OBJECT child = rig.Child(slot);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->DeviceType, (DEVICE_TYPE)FILE_DEVICE_BUS_EXTENDER);
        auto sec = hk::security::OfDevice(child);
        ASSERT_TRUE(sec.has_value()) << "the child has no security of its own";
        EXPECT_EQ(sec->descriptor.size(), 112u);
        const auto* rel = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(sec->descriptor.data());
        EXPECT_EQ(rel->Control, 0x900C);
        ASSERT_NE(rel->Dacl, 0u);
        auto dacl = reinterpret_cast<const ACL*>(sec->descriptor.data() + rel->Dacl);
        EXPECT_EQ(dacl->AclSize, 92);
        EXPECT_EQ(Aces(dacl), kEntries);
        EXPECT_EQ(sec->information, (SECURITY_INFORMATION)DACL_SECURITY_INFORMATION);
        EXPECT_EQ(sec->handle_access, (ACCESS_MASK)WRITE_DAC);
        EXPECT_EQ(sec->set_count, 1u);

        std::string key = std::string(kClassRoot) + "\\" + kClassKeys[slot];
        EXPECT_EQ(hk::registry::GetString(key, "Class"), bus_rig::kDriverName);
        EXPECT_EQ(hk::registry::GetString(key, "NoDisplayClass"), "1");
        EXPECT_EQ(hk::registry::GetString(key, "NoUseClass"), "1");
        EXPECT_EQ(hk::registry::KeySecurity(key + "\\Properties"),
                  std::vector<uint8_t>(DevsecPropertiesTemplate, DevsecPropertiesTemplate + 48));
        auto stored = hk::registry::GetValue(key + "\\Properties", "Security");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->data, sec->descriptor);
    }
    for (ULONG tag : {DEVSEC_TAG_TEXT, DEVSEC_TAG_ACL, DEVSEC_TAG_DESCRIPTOR, DEVSEC_TAG_VALUE})
        EXPECT_EQ(rig.machine.PoolStats(tag).blocks_in_use, 0u) << hk::TagText(tag);
    EXPECT_EQ(rig.Uninstall(), STATUS_SUCCESS);
    DevsecResetState();
}

}  // namespace
