// Object manager: kernel handles to objects opened by pointer and the
// security that device objects carry.
//
// DEVICE_OBJECT's published layout has no room of ours, so the security of
// a device object lives in a table keyed by the object (Windows keeps it in
// the object header). The object's SecurityDescriptor field points at the
// stored copy, as on Windows; an entry whose object no longer points at it
// belongs to a deleted object and is dropped.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "hk/handles.h"
#include "hk/machine.h"
#include "hk/security.h"
#include "hk/verifier.h"

namespace {

struct Entry {
    std::unique_ptr<std::vector<uint8_t>> descriptor;
    ACCESS_MASK handle_access = 0;
    SECURITY_INFORMATION information = 0;
    size_t set_count = 0;
};

struct State {
    hk::Machine* owner = nullptr;
    std::map<const DEVICE_OBJECT*, Entry> devices;
};

std::recursive_mutex g_lock;
State g_state;

// The state of the current machine; a new machine starts empty.
State& Current() {
    hk::Machine* m = hk::Machine::TryCurrent();
    if (g_state.owner != m) {
        g_state.devices.clear();
        g_state.owner = m;
        if (m) {
            m->AddShutdownHook([] {
                std::lock_guard<std::recursive_mutex> g(g_lock);
                g_state.devices.clear();
                g_state.owner = nullptr;
            });
        }
    }
    return g_state;
}

Entry* Find(const DEVICE_OBJECT* device) {
    State& s = Current();
    auto it = s.devices.find(device);
    if (it == s.devices.end()) return nullptr;
    if (!hk::objects::Tracked(device) || device->SecurityDescriptor != it->second.descriptor->data()) {
        s.devices.erase(it);  // the object was deleted and its memory reused
        return nullptr;
    }
    return &it->second;
}

class ObjectHandle : public hk::HandleObject {
public:
    ObjectHandle(PVOID body, POBJECT_TYPE type, ULONG attributes, bool referenced)
        : body_(body), type_(type), attributes_(attributes), referenced_(referenced) {}
    const char* TypeName() const override {
        return type_ == *IoDeviceObjectType ? "Device" : "Object";
    }
    void* Body() override { return body_; }
    POBJECT_TYPE ObjectType() const override { return type_; }
    void OnClose() override {
        if (referenced_) ObfDereferenceObject(body_);
    }
    std::string Describe() const override {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "object %p opened by pointer", body_);
        return buf;
    }
    ULONG attributes() const { return attributes_; }

private:
    PVOID body_;
    POBJECT_TYPE type_;
    ULONG attributes_;
    bool referenced_;
};

}  // namespace

EXTERN_C NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                              PACCESS_STATE PassedAccessState,
                                              ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    (void)PassedAccessState;
    (void)AccessMode;
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::verifier::Report(hk::verifier::kIrqlNotLess, "ObOpenObjectByPointer", Object,
                             "called above APC_LEVEL");
    if (!Object || !Handle) return STATUS_INVALID_PARAMETER;
    *Handle = nullptr;
    if (HandleAttributes & ~(ULONG)OBJ_VALID_ATTRIBUTES) return STATUS_INVALID_PARAMETER;
    bool tracked = hk::objects::Tracked(Object);
    if (ObjectType && tracked) {
        POBJECT_TYPE actual = hk::objects::TypeOf(Object);
        if (actual && actual != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (tracked) ObfReferenceObject(Object);
    POBJECT_TYPE type = ObjectType ? ObjectType : hk::objects::TypeOf(Object);
    auto handle = std::make_shared<ObjectHandle>(Object, type, HandleAttributes, tracked);
    *Handle = hk::handles::Insert(handle, DesiredAccess);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hk::verifier::Report(hk::verifier::kZwAboveLowIrql, "ZwSetSecurityObject", Handle,
                             "called above PASSIVE_LEVEL");
    auto any = hk::handles::LookupAny(Handle);
    if (!any) return STATUS_INVALID_HANDLE;
    auto object = std::dynamic_pointer_cast<ObjectHandle>(any);
    if (!object || object->ObjectType() != *IoDeviceObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    if (!SecurityDescriptor) return STATUS_INVALID_SECURITY_DESCR;
    return hk::security::detail::SetDeviceSecurity(static_cast<PDEVICE_OBJECT>(object->Body()),
                                                   SecurityInformation, SecurityDescriptor,
                                                   hk::handles::GrantedAccess(Handle));
}

EXTERN_C NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                              PULONG LengthNeeded) {
    auto object = std::dynamic_pointer_cast<ObjectHandle>(hk::handles::LookupAny(Handle));
    if (!object) return STATUS_INVALID_HANDLE;
    if (object->ObjectType() != *IoDeviceObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Entry* e = Find(static_cast<const DEVICE_OBJECT*>(object->Body()));
    std::vector<uint8_t> stored(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
    stored[0] = SECURITY_DESCRIPTOR_REVISION;
    USHORT control = SE_SELF_RELATIVE;
    std::memcpy(&stored[2], &control, 2);
    if (e) stored = *e->descriptor;
    // Owner and group are returned only where the object has them.
    SECURITY_INFORMATION parts = SecurityInformation & (DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
    PSID sid = nullptr;
    BOOLEAN defaulted;
    RtlGetOwnerSecurityDescriptor(stored.data(), &sid, &defaulted);
    if (sid) parts |= SecurityInformation & OWNER_SECURITY_INFORMATION;
    sid = nullptr;
    RtlGetGroupSecurityDescriptor(stored.data(), &sid, &defaulted);
    if (sid) parts |= SecurityInformation & GROUP_SECURITY_INFORMATION;
    std::vector<uint8_t> result;
    NTSTATUS s = hk::security::detail::MergeDescriptor({}, parts, stored, &result);
    if (!NT_SUCCESS(s)) return s;
    *LengthNeeded = (ULONG)result.size();
    if (Length < result.size()) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(SecurityDescriptor, result.data(), result.size());
    return STATUS_SUCCESS;
}

namespace hk::security {

namespace detail {

NTSTATUS SetDeviceSecurity(PDEVICE_OBJECT device, SECURITY_INFORMATION information,
                           PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK handle_access) {
    std::vector<uint8_t> modification;
    NTSTATUS s = CopyDescriptor(descriptor, &modification);
    if (!NT_SUCCESS(s)) return s;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Entry* e = Find(device);
    std::vector<uint8_t> merged;
    s = MergeDescriptor(e ? *e->descriptor : std::vector<uint8_t>{}, information, modification, &merged);
    if (!NT_SUCCESS(s)) return s;
    Entry& entry = Current().devices[device];
    entry.descriptor = std::make_unique<std::vector<uint8_t>>(std::move(merged));
    entry.handle_access = handle_access;
    entry.information = information;
    entry.set_count++;
    device->SecurityDescriptor = entry.descriptor->data();
    return STATUS_SUCCESS;
}

}  // namespace detail

std::optional<DeviceSecurity> OfDevice(const DEVICE_OBJECT* device) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    Entry* e = Find(device);
    if (!e) return std::nullopt;
    DeviceSecurity out;
    out.descriptor = *e->descriptor;
    out.handle_access = e->handle_access;
    out.information = e->information;
    out.set_count = e->set_count;
    return out;
}

std::string DeviceSddl(const DEVICE_OBJECT* device) {
    auto s = OfDevice(device);
    return s ? ToSddl(s->descriptor.data(), s->descriptor.size()) : std::string();
}

}  // namespace hk::security
