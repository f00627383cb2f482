// Registry values of a class's "Properties" key fed to the override reader:
// no crash, no leak, no handle left open, and a descriptor it keeps is
// well-formed with a well-formed list.
#include <cstring>
#include <algorithm>
#include <vector>

#include "devsec_internal.h"
#include "fuzz_setup.h"
#include "hk/machine.h"
#include "hk/registry.h"
#include "hk/security.h"

namespace {

const char kProperties[] = "\\Registry\\Machine\\Software\\Fuzz\\Properties";

// The machine boots once per process; every input then runs against it.
hk::Machine& MachineOnce() {
    static hk::Machine* machine = new hk::Machine();
    return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) { return fuzzsetup::NoLeakScanPerInput(argc, argv); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hk::Machine& machine = MachineOnce();
    if (size < 2) return 0;
    // First byte: the type of "Security" (low three bits) and whether its
    // bytes are the rest of the input as they stand or XORed over a
    // well-formed descriptor (0x08: most inputs then stay close enough to
    // valid to reach the capture, the parts and the defaulted test); second
    // byte: which dword values exist and with what type; the rest: the bytes.
    ULONG securityType = data[0] & 7;
    uint8_t dwords = data[1];
    std::vector<uint8_t> raw(data + 2, data + size);
    std::vector<uint8_t> value = raw;
    if (data[0] & 0x08) {
        static const std::vector<uint8_t> base =
            hk::security::FromSddl("O:BAG:SYD:P(A;;GA;;;SY)(A;;GR;;;WD)");
        value = base;
        if (raw.size() > value.size()) value.resize(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) value[i] ^= raw[i];
    }
    hk::registry::DeleteKey(kProperties);
    hk::registry::CreateKey(kProperties);
    if (!(securityType == 0 && value.empty()))
        hk::registry::SetValue(kProperties, "Security", securityType, value);
    const char* names[] = {"DeviceType", "DeviceCharacteristics", "Exclusive"};
    for (int i = 0; i < 3; ++i) {
        if (!(dwords & (1 << i))) continue;
        ULONG type = (dwords & (8 << i)) ? REG_BINARY : REG_DWORD;
        size_t n = (dwords & 0x40) ? 2 : 4;
        hk::registry::SetValue(kProperties, names[i], type,
                               std::vector<uint8_t>(raw.begin(), raw.begin() + std::min(n, raw.size())));
    }

    UNICODE_STRING path;
    RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\Software\\Fuzz\\Properties"));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) __builtin_trap();
    ClassOverrides overrides;
    NTSTATUS status = ReadPropertiesValues(key, &overrides);
    ZwClose(key);
    // Each input starts from a registry without the key.
    hk::registry::DeleteKey(kProperties);
    if (NT_SUCCESS(status)) {
        if (overrides.Flags & OVERRIDE_SECURITY) {
            PSECURITY_DESCRIPTOR sd = overrides.SecurityDescriptor;
            if (!sd || !RtlValidSecurityDescriptor(sd)) __builtin_trap();
            BOOLEAN present = FALSE, defaulted = FALSE;
            PACL acl = nullptr;
            if (!NT_SUCCESS(RtlGetDaclSecurityDescriptor(sd, &present, &acl, &defaulted))) __builtin_trap();
            if (present && acl && !RtlValidAcl(acl)) __builtin_trap();
            if (present && defaulted) __builtin_trap();  // a stored default is not an override
        }
        FreeClassOverrides(&overrides);
    } else if (overrides.Flags || overrides.SecurityDescriptor) {
        __builtin_trap();  // a failure leaves the record empty
    }
    if (!machine.OutstandingPool().empty() || machine.OpenHandleCount() != 0) __builtin_trap();
    return 0;
}
