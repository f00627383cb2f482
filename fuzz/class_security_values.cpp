// Registry values of a class's "Properties" key fed to the override reader:
// no crash, no leak, no handle left open, and a descriptor it keeps is
// well-formed with a well-formed list.
#include <cstring>
#include <algorithm>
#include <vector>

#include "devsec_internal.h"
#include "hk/machine.h"
#include "hk/registry.h"

namespace {

const char kProperties[] = "\\Registry\\Machine\\Software\\Fuzz\\Properties";

hk::Machine& MachineOnce() {
    static hk::Machine* machine = new hk::Machine();
    return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hk::Machine& machine = MachineOnce();
    if (size < 2) return 0;
    // First byte: the type of "Security"; second: which dword values exist
    // and with what type; the rest: the value's bytes.
    ULONG securityType = data[0] & 7;
    uint8_t dwords = data[1];
    std::vector<uint8_t> value(data + 2, data + size);
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
                               std::vector<uint8_t>(value.begin(), value.begin() + std::min(n, value.size())));
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
