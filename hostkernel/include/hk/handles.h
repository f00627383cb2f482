// The kernel handle table and the object manager's reference counts.
//
// Every manager that hands out kernel handles (threads, files, registry
// keys, objects opened by pointer) inserts an object here; ZwClose closes any
// of them. Closing an unknown or already closed handle is STATUS_INVALID_HANDLE
// and a verifier finding; handles still open at shutdown are reported as leaks.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostkernel/nt_ke.h"

// Object types: the WDK only passes pointers to them around; hostkernel's
// managers each define theirs as one of these (e.g. *PsThreadType).
struct _OBJECT_TYPE {
    const char* Name;
};

namespace hk {

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // A short type name for reports ("Thread", "File", "Key", ...).
    virtual const char* TypeName() const = 0;
    // The object body that ObReferenceObjectByHandle returns (referenced
    // through hk::objects), or null when the handle has none.
    virtual void* Body() { return nullptr; }
    // The object type that ObReferenceObjectByHandle checks against, or null.
    virtual POBJECT_TYPE ObjectType() const { return nullptr; }
    // Called once when the last handle to this entry is closed.
    virtual void OnClose() {}
    // Free text for leak reports (a file name, a key path...).
    virtual std::string Describe() const { return {}; }
};

namespace handles {

// Inserts an object and returns a new kernel handle for it.
HANDLE Insert(std::shared_ptr<HandleObject> object, ACCESS_MASK granted = 0x001FFFFF);

// The object behind a handle, or null if the handle is not open.
std::shared_ptr<HandleObject> LookupAny(HANDLE handle);
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupAny(handle));
}
ACCESS_MASK GrantedAccess(HANDLE handle);

// Closes a handle: STATUS_SUCCESS, or STATUS_INVALID_HANDLE (and a finding
// naming `routine`) when the handle is not open.
NTSTATUS Close(HANDLE handle, const char* routine = "ZwClose");

size_t OpenCount();
std::vector<std::string> DescribeOpen();

}  // namespace handles

// Reference counts of kernel objects, as ObfReferenceObject and
// ObfDereferenceObject keep them. A manager that creates an object which the
// driver may reference (threads, device objects, file objects) tracks it here
// with its initial reference; when the count reaches zero `on_last_reference`
// runs (it frees the object).
namespace objects {

void Track(void* body, POBJECT_TYPE type, const char* type_name,
           std::function<void()> on_last_reference, LONG_PTR initial_references = 1);
bool Tracked(const void* body);
LONG_PTR ReferenceCount(const void* body);  // 0 when not tracked
POBJECT_TYPE TypeOf(const void* body);      // null when not tracked
// Forgets an object without running its last-reference routine.
void Untrack(void* body);

}  // namespace objects
}  // namespace hk
