// The kernel handle table, object reference counts, ObReferenceObjectByHandle
// and ZwClose.
#include <cstdio>

#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;
namespace v = hk::verifier;

namespace {
// Kernel handles have the top bit set, as on Windows, and are multiples of 4.
constexpr uintptr_t kKernelHandleBit = (uintptr_t)0xFFFFFFFF80000000ull;
}  // namespace

namespace hk {
namespace handles {

HANDLE Insert(std::shared_ptr<HandleObject> object, ACCESS_MASK granted) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    uintptr_t h = kKernelHandleBit | m.next_handle;
    m.next_handle += 4;
    m.handle_table[h] = Machine::Impl::HandleEntry{std::move(object), granted};
    return (HANDLE)h;
}

std::shared_ptr<HandleObject> LookupAny(HANDLE handle) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    auto it = m.handle_table.find((uintptr_t)handle);
    return it == m.handle_table.end() ? nullptr : it->second.object;
}

ACCESS_MASK GrantedAccess(HANDLE handle) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    auto it = m.handle_table.find((uintptr_t)handle);
    return it == m.handle_table.end() ? 0 : it->second.granted;
}

NTSTATUS Close(HANDLE handle, const char* routine) {
    Machine::Impl& m = detail::M();
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard<std::mutex> g(m.handles);
        auto it = m.handle_table.find((uintptr_t)handle);
        if (it != m.handle_table.end()) {
            object = std::move(it->second.object);
            m.handle_table.erase(it);
        }
    }
    if (!object) {
        v::Report(v::kHandleInvalid, routine, handle,
                  "the handle is not open (closed twice or never opened)");
        return STATUS_INVALID_HANDLE;
    }
    object->OnClose();
    return STATUS_SUCCESS;
}

size_t OpenCount() {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    return m.handle_table.size();
}

std::vector<std::string> DescribeOpen() {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    std::vector<std::string> out;
    for (const auto& [h, e] : m.handle_table)
        out.push_back(detail::Hex((void*)h) + " " + e.object->TypeName() + " " +
                      e.object->Describe());
    return out;
}

}  // namespace handles

namespace objects {

void Track(void* body, POBJECT_TYPE type, const char* type_name,
           std::function<void()> on_last_reference, LONG_PTR initial_references) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    m.objects[body] = Machine::Impl::ObjectEntry{type, type_name ? type_name : "",
                                                 std::move(on_last_reference), initial_references};
}

bool Tracked(const void* body) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    return m.objects.count(body) != 0;
}

LONG_PTR ReferenceCount(const void* body) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    auto it = m.objects.find(body);
    return it == m.objects.end() ? 0 : it->second.refs;
}

POBJECT_TYPE TypeOf(const void* body) {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.handles);
    auto it = m.objects.find(body);
    return it == m.objects.end() ? nullptr : it->second.type;
}

void Untrack(void* body) {
    Machine::Impl* m = detail::TryM();
    if (!m) return;
    std::lock_guard<std::mutex> g(m->handles);
    m->objects.erase(body);
}

}  // namespace objects

namespace detail {
void HandlesShutdownChecks(Machine::Impl& m) {
    std::map<uintptr_t, Machine::Impl::HandleEntry> open;
    {
        std::lock_guard<std::mutex> g(m.handles);
        open = m.handle_table;
    }
    for (const auto& [h, e] : open)
        v::Report(v::kHandleLeak, "hk::Machine::~Machine", (void*)h,
                  std::string("handle still open at shutdown: ") + e.object->TypeName() + " " +
                      e.object->Describe());
    // The handles die with the machine; their objects are not closed one by
    // one since their managers are already gone.
    std::lock_guard<std::mutex> g(m.handles);
    m.handle_table.clear();
}
}  // namespace detail
}  // namespace hk

EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.handles);
    auto it = m.objects.find(Object);
    if (it == m.objects.end()) {
        v::Report(v::kObjectUnknown, "ObfReferenceObject", Object, "not a kernel object");
        return 0;
    }
    return ++it->second.refs;
}

EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    Machine::Impl& m = M();
    std::function<void()> last;
    LONG_PTR refs;
    {
        std::lock_guard<std::mutex> g(m.handles);
        auto it = m.objects.find(Object);
        if (it == m.objects.end()) {
            v::Report(v::kObjectUnknown, "ObfDereferenceObject", Object,
                      "not a kernel object (or its last reference is already gone)");
            return 0;
        }
        refs = --it->second.refs;
        if (refs == 0) {
            last = std::move(it->second.on_last);
            m.objects.erase(it);
        }
    }
    if (last) last();
    return refs;
}

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                  PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation) {
    Machine::Impl& m = M();
    {
        std::lock_guard<std::mutex> g(m.sched);
        if (m.fail_handle_references) {
            --m.fail_handle_references;
            *Object = nullptr;
            return STATUS_INVALID_HANDLE;
        }
    }
    *Object = nullptr;
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    if (Handle == NtCurrentThread()) {
        body = KeGetCurrentThread();
        granted = THREAD_ALL_ACCESS;
    } else {
        auto obj = hk::handles::LookupAny(Handle);
        if (!obj) return STATUS_INVALID_HANDLE;
        body = obj->Body();
        granted = hk::handles::GrantedAccess(Handle);
        if (!body) return STATUS_OBJECT_TYPE_MISMATCH;
        if (ObjectType && obj->ObjectType() != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
        if (AccessMode == UserMode && (DesiredAccess & ~granted)) return STATUS_ACCESS_DENIED;
    }
    ObfReferenceObject(body);
    *Object = body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        hk::verifier::Report(hk::verifier::kZwAboveLowIrql, "ZwClose", Handle,
                             "called at IRQL " + std::to_string((unsigned)KeGetCurrentIrql()));
    return hk::handles::Close(Handle, "ZwClose");
}
