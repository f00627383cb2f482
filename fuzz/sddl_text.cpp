// Descriptor text through the driver's parser and builder: no crash, no
// leak, and every list and descriptor produced is well-formed.
#include <cstring>
#include <memory>
#include <vector>

#include "devsec_internal.h"
#include "fuzz_setup.h"
#include "hk/machine.h"

namespace {

hk::Machine& MachineOnce() {
    static hk::Machine* machine = [] {
        hk::Machine::Options o;
        o.fail_on_findings = true;
        return new hk::Machine(o);
    }();
    return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) { return fuzzsetup::NoLeakScanPerInput(argc, argv); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hk::Machine& machine = MachineOnce();
    // Two bytes per character, as the text arrives; the first byte chooses
    // the defaulted flag and whether the text is terminated in place.
    if (size < 1) return 0;
    bool defaulted = data[0] & 1;
    bool terminated = data[0] & 2;
    ++data;
    --size;
    size_t chars = size / 2;
    if (chars > 4000) chars = 4000;
    std::unique_ptr<WCHAR[]> text(new WCHAR[chars + 1]);
    std::memcpy(text.get(), data, chars * 2);
    text[chars] = terminated ? 0 : u'X';
    UNICODE_STRING s{(USHORT)(chars * 2), (USHORT)(chars * 2 + (terminated ? 2 : 0)), text.get()};

    PSECURITY_DESCRIPTOR sd = nullptr;
    NTSTATUS status = SddlToSecurityDescriptor(&s, defaulted, &sd);
    if (NT_SUCCESS(status)) {
        if (!sd || !RtlValidSecurityDescriptor(sd)) __builtin_trap();
        BOOLEAN present = FALSE, isDefaulted = FALSE;
        PACL acl = nullptr;
        if (!NT_SUCCESS(RtlGetDaclSecurityDescriptor(sd, &present, &acl, &isDefaulted)) || !present ||
            !acl || !RtlValidAcl(acl) || isDefaulted != (BOOLEAN)defaulted)
            __builtin_trap();
        ExFreePoolWithTag(sd, 0);
    } else if (sd) {
        __builtin_trap();
    }
    if (!machine.OutstandingPool().empty()) __builtin_trap();
    return 0;
}
