// Device interfaces: registration per physical device object with the
// symbolic link name Windows derives from the device's instance path,
// enabling and disabling with arrival and removal notifications, and the
// application's enumeration by interface class.
#include <cstdio>
#include <cstring>

#include "io_internal.h"

#ifndef STATUS_OBJECT_NAME_EXISTS
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#endif

using namespace hk::iomgr;

namespace {

constexpr ULONG kLinkTag = hk::MakeTag("PnpL");

std::u16string GuidText(const GUID& g) {
    char buf[64];
    snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return Widen(buf);
}

NTSTATUS HandOut(const std::u16string& link, PUNICODE_STRING out) {
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buf = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag);
    if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buf, link.data(), link.size() * sizeof(WCHAR));
    buf[link.size()] = 0;
    out->Buffer = buf;
    out->Length = (USHORT)(link.size() * sizeof(WCHAR));
    out->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

}  // namespace

namespace hk::iomgr {

void QueueInterfaceNotification(bool arrival, const GUID& guid, const std::u16string& link) {
    PostWork([arrival, guid, link] {
        IoState& s = State();
        std::lock_guard<std::recursive_mutex> delivering(s.delivery_mu);
        std::vector<hk::io::InterfaceCallback> subs;
        {
            std::lock_guard<std::recursive_mutex> g(s.mu);
            for (auto& [id, cb] : s.interface_subscribers) subs.push_back(cb);
        }
        for (auto& cb : subs) cb(arrival, guid, link);
    });
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo, bool forget) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    for (auto it = s.interfaces.begin(); it != s.interfaces.end();) {
        InterfaceRecord& i = **it;
        if (i.pdo != pdo) {
            ++it;
            continue;
        }
        if (i.enabled) {
            i.enabled = false;
            QueueInterfaceNotification(false, i.guid, i.link);
        }
        if (forget)
            it = s.interfaces.erase(it);
        else
            ++it;
    }
}

}  // namespace hk::iomgr

EXTERN_C NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                  const GUID* InterfaceClassGuid,
                                                  PUNICODE_STRING ReferenceString,
                                                  PUNICODE_STRING SymbolicLinkName) {
    IoState& s = State();
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        if (s.fail_next_interface_registration != STATUS_SUCCESS) {
            NTSTATUS st = s.fail_next_interface_registration;
            s.fail_next_interface_registration = STATUS_SUCCESS;
            return st;
        }
    }
    if (!PhysicalDeviceObject || !InterfaceClassGuid || !SymbolicLinkName)
        return STATUS_INVALID_PARAMETER;
    // Only a PDO that the plug-and-play manager enumerated has an instance
    // path to derive a link from.
    std::u16string path = Widen(InstancePathOf(PhysicalDeviceObject));
    if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string ref;
    if (ReferenceString && ReferenceString->Buffer && ReferenceString->Length)
        ref.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    std::u16string link = u"\\??\\";
    for (char16_t c : path) link += c == u'\\' ? u'#' : c;
    link += u"#" + GuidText(*InterfaceClassGuid);
    if (!ref.empty()) link += u"\\" + ref;
    {
        std::lock_guard<std::recursive_mutex> g(s.mu);
        bool known = false;
        for (auto& i : s.interfaces)
            if (EqualNoCase(i->link, link)) known = true;
        if (!known) {
            auto rec = std::make_unique<InterfaceRecord>();
            rec->link = link;
            rec->guid = *InterfaceClassGuid;
            rec->reference = ref;
            rec->pdo = PhysicalDeviceObject;
            s.interfaces.push_back(std::move(rec));
        }
    }
    return HandOut(link, SymbolicLinkName);
}

EXTERN_C NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    for (auto& i : s.interfaces) {
        if (!EqualNoCase(i->link, link)) continue;
        if (Enable) {
            if (i->enabled) return STATUS_OBJECT_NAME_EXISTS;
            i->enabled = true;
            QueueInterfaceNotification(true, i->guid, i->link);
            return STATUS_SUCCESS;
        }
        if (!i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        i->enabled = false;
        QueueInterfaceNotification(false, i->guid, i->link);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

namespace hk::io {

std::vector<std::u16string> FindInterfaces(const GUID& interface_class) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    std::vector<std::u16string> out;
    for (auto& i : s.interfaces)
        if (i->enabled && i->guid == interface_class) out.push_back(i->link);
    return out;
}

int SubscribeInterfaces(InterfaceCallback callback) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    int id = s.next_subscriber++;
    s.interface_subscribers[id] = std::move(callback);
    return id;
}

void UnsubscribeInterfaces(int subscription) {
    IoState& s = State();
    // Waits for a delivery in progress (unless called from inside one).
    std::lock_guard<std::recursive_mutex> delivering(s.delivery_mu);
    std::lock_guard<std::recursive_mutex> g(s.mu);
    s.interface_subscribers.erase(subscription);
}

}  // namespace hk::io
