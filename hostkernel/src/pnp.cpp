// The plug-and-play manager: a thread of its own that owns the device tree.
// It installs root-enumerated devices on hostkernel's root bus driver, adds
// function drivers and starts stacks (lower drivers first, by the IRP's
// nature), queries bus relations after invalidation and diffs them against
// the known children, identifies new children (one that no function driver
// matches stays unstarted unless it is usable raw), removes vanished ones
// (surprise removal, then removal once no handle holds them), and carries
// out the operations a person starts from Device Manager.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>

#include "io_internal.h"

namespace hk::iomgr {

struct DeviceNode {
    DeviceNode* parent = nullptr;
    std::vector<DeviceNode*> children;
    PDEVICE_OBJECT pdo = nullptr;
    bool root = false;
    std::u16string device_id, instance_id, container_id, description, location;
    std::vector<std::u16string> hardware_ids, compatible_ids;
    std::string instance_path;
    DEVICE_CAPABILITIES caps{};
    bool has_caps = false;
    PNP_BUS_INFORMATION bus{};
    bool has_bus = false;
    hk::pnp::NodeState state = hk::pnp::NodeState::Initialized;
    NTSTATUS problem = STATUS_SUCCESS;
    std::string driver;  // requested (root) or bound function driver
    bool raw = false;
    bool disabled = false;
    bool remove_when_closed = false;
    DEVICE_POWER_STATE power = PowerDeviceUnspecified;
    std::map<UCHAR, NTSTATUS> root_faults;
    // Tells this node from a later one that reuses its memory and its PDO's
    // address, for work queued while the node may go away.
    uint64_t serial = NextSerial();

    static uint64_t NextSerial() {
        static std::atomic<uint64_t> next{1};
        return next.fetch_add(1, std::memory_order_relaxed);
    }
};

namespace {

using hk::pnp::NodeState;
constexpr ULONG kRootTag = hk::MakeTag("PnpR");

struct FunctionDriver {
    std::string name;
    PDRIVER_INITIALIZE entry;
};

struct PnpState {
    hk::Machine* machine = nullptr;
    std::mutex qmu;
    std::condition_variable idle_cv;
    std::deque<std::function<void()>> queue;
    bool running = false;
    bool stop = false;
    KEVENT work_event;
    PVOID thread = nullptr;
    HANDLE thread_id = nullptr;
    std::recursive_mutex mu;  // the tree
    std::vector<DeviceNode*> roots;
    std::map<PDEVICE_OBJECT, DeviceNode*> by_pdo;
    std::map<std::u16string, FunctionDriver> function_drivers;  // upper-case id
    std::map<std::string, int> instance_counters;
    std::vector<hk::pnp::Event> log;
    PDRIVER_OBJECT root_driver = nullptr;
};

std::mutex g_pnp_mu;
PnpState* g_pnp = nullptr;

struct RootExtension {
    DeviceNode* node;
};

void NTAPI ManagerThread(PVOID);
NTSTATUS NTAPI RootDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

PnpState& Pnp() {
    hk::Machine& m = hk::Machine::Current();
    State();  // the I/O manager's state (and its shutdown hook) first
    std::unique_lock<std::mutex> g(g_pnp_mu);
    if (g_pnp && g_pnp->machine == &m) return *g_pnp;
    g_pnp = new PnpState();
    g_pnp->machine = &m;
    PnpState& p = *g_pnp;
    g.unlock();
    KeInitializeEvent(&p.work_event, SynchronizationEvent, FALSE);
    HANDLE h = nullptr;
    NTSTATUS st = PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       ManagerThread, &p);
    if (NT_SUCCESS(st)) {
        ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &p.thread, nullptr);
        ZwClose(h);
    }
    p.root_driver = hk::io::LoadDriver("PnpManager", RootDriverEntry);
    return p;
}

thread_local bool t_on_manager = false;

void NTAPI ManagerThread(PVOID context) {
    auto& p = *(PnpState*)context;
    t_on_manager = true;
    for (;;) {
        KeWaitForSingleObject(&p.work_event, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> g(p.qmu);
                if (p.queue.empty()) {
                    p.running = false;
                    p.idle_cv.notify_all();
                    break;
                }
                work = std::move(p.queue.front());
                p.queue.pop_front();
                p.running = true;
            }
            work();
        }
        std::lock_guard<std::mutex> g(p.qmu);
        if (p.stop) break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void Post(PnpState& p, std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(p.qmu);
        p.queue.push_back(std::move(work));
        p.running = true;  // not idle until the thread has drained the queue
    }
    KeSetEvent(&p.work_event, IO_NO_INCREMENT, FALSE);
}

// Runs `work` on the manager thread and waits for it.
template <class F>
auto RunSync(F work) -> decltype(work()) {
    PnpState& p = Pnp();
    if (t_on_manager) return work();
    auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
    auto fut = task->get_future();
    Post(p, [task] { (*task)(); });
    return fut.get();
}

std::string MinorName(UCHAR m) {
    static const char* names[] = {"START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE",
                                  "CANCEL_REMOVE_DEVICE", "STOP_DEVICE", "QUERY_STOP_DEVICE",
                                  "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
                                  "QUERY_CAPABILITIES", "QUERY_RESOURCES",
                                  "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
                                  "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG",
                                  "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
                                  "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION",
                                  "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
    return m < sizeof(names) / sizeof(names[0]) ? names[m] : std::to_string(m);
}

void Log(DeviceNode* n, const std::string& what, ULONG detail, NTSTATUS st) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    p.log.push_back({n->instance_path, what, detail, st});
}

// Sends one plug-and-play request to the top of a node's stack the way the
// manager does: preset STATUS_NOT_SUPPORTED, wait if it pends.
NTSTATUS SendPnp(DeviceNode* n, UCHAR minor, ULONG detail,
                 const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* info) {
    if (info) *info = 0;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(n->pdo);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = AllocateThreadIrp(top, &event, &iosb);
    if (!irp) {
        ObfDereferenceObject(top);
        Log(n, MinorName(minor), detail, STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (setup) setup(sp);
    NTSTATUS st = IofCallDriver(top, irp);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    st = iosb.Status;
    if (info) *info = iosb.Information;
    ObfDereferenceObject(top);
    Log(n, MinorName(minor), detail, st);
    return st;
}

// Size of the pool block that holds `p`, or 0 when it is not a pool block.
size_t PoolBlockSize(const void* p) {
    for (const hk::PoolBlockInfo& b : hk::Machine::Current().OutstandingPool())
        if (b.address == p) return b.size;
    return 0;
}

// Takes ownership of a string answer: copies it and frees the buffer.
bool TakeStrings(DeviceNode* n, ULONG_PTR info, bool multi, std::vector<std::u16string>* out,
                 const char* what) {
    if (!info) return false;
    auto* w = (const WCHAR*)info;
    size_t limit = PoolBlockSize(w) / sizeof(WCHAR);
    if (!limit) {
        hk::verifier::Report(kPnpBadAnswer, "IopQueryDeviceId", w,
                             std::string(what) + " of " + n->instance_path +
                                 " is not a pool block the manager can own");
        return false;
    }
    std::u16string cur;
    size_t i = 0;
    bool terminated = false;
    for (; i < limit; ++i) {
        if (w[i] == 0) {
            if (!multi) { terminated = true; out->push_back(cur); break; }
            if (cur.empty()) { terminated = true; break; }
            out->push_back(cur);
            cur.clear();
        } else {
            cur += w[i];
        }
    }
    if (!terminated)
        hk::verifier::Report(kPnpBadAnswer, "IopQueryDeviceId", w,
                             std::string(what) + " of " + n->instance_path +
                                 " is not terminated within its buffer");
    ExFreePool((PVOID)info);
    return terminated;
}

std::u16string Upper(std::u16string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = (char16_t)(c - 32);
    return s;
}

bool HasOpenHandles(DeviceNode* n) {
    if (n->pdo && n->pdo->ReferenceCount > 0) return true;
    for (DeviceNode* c : n->children)
        if (HasOpenHandles(c)) return true;
    return false;
}

bool PdoDeleted(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::recursive_mutex> g(State().mu);
    DeviceRecord* d = FindDevice(pdo);
    return !d || d->deleted;
}

void Enumerate(DeviceNode* n);

NTSTATUS AddAndStart(DeviceNode* n) {
    PnpState& p = Pnp();
    PDRIVER_OBJECT drv = nullptr;
    std::string name;
    if (!n->driver.empty()) {
        name = n->driver;
        drv = hk::io::FindDriver(name);
    }
    if (!drv) {
        std::vector<std::u16string> ids = n->hardware_ids;
        ids.insert(ids.end(), n->compatible_ids.begin(), n->compatible_ids.end());
        for (const auto& id : ids) {
            FunctionDriver fd;
            {
                std::lock_guard<std::recursive_mutex> g(p.mu);
                auto it = p.function_drivers.find(Upper(id));
                if (it == p.function_drivers.end()) continue;
                fd = it->second;
            }
            NTSTATUS ls;
            drv = hk::io::LoadDriver(fd.name, fd.entry, &ls);
            if (drv) {
                name = fd.name;
                break;
            }
        }
    }
    if (!drv && !(n->has_caps && n->caps.RawDeviceOK)) {
        // What Windows does with a device whose drivers are not installed:
        // the node stays, identified but without a stack above its PDO, and
        // is never started. Only a bus that declares its child usable raw
        // gets it started without a function driver.
        n->raw = false;
        n->state = NodeState::NoDriver;
        n->problem = STATUS_NOT_FOUND;
        return STATUS_NOT_FOUND;
    }
    n->raw = drv == nullptr;
    n->driver = drv ? name : n->driver;
    if (drv && drv->DriverExtension->AddDevice) {
        NTSTATUS st = drv->DriverExtension->AddDevice(drv, n->pdo);
        Log(n, "AddDevice", 0, st);
        if (!NT_SUCCESS(st)) {
            n->state = NodeState::AddFailed;
            n->problem = st;
            return st;
        }
    }
    n->state = NodeState::DriversAdded;
    NTSTATUS st = SendPnp(n, IRP_MN_START_DEVICE, 0,
                          [](PIO_STACK_LOCATION sp) {
                              sp->Parameters.StartDevice.AllocatedResources = nullptr;
                              sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
                          },
                          nullptr);
    if (NT_SUCCESS(st)) {
        n->state = NodeState::Started;
        n->problem = STATUS_SUCCESS;
        // A started device is asked for its children, as Windows does.
        // The node may be removed before this runs: find it again by its PDO
        // and serial, never through the pointer.
        Post(p, [pdo = n->pdo, serial = n->serial] {
            PnpState& q = Pnp();
            DeviceNode* alive = nullptr;
            {
                std::lock_guard<std::recursive_mutex> g(q.mu);
                auto it = q.by_pdo.find(pdo);
                if (it != q.by_pdo.end() && it->second->serial == serial) alive = it->second;
            }
            if (alive) Enumerate(alive);
        });
        return st;
    }
    // A failed start takes the stack down again.
    n->problem = st;
    SendPnp(n, IRP_MN_REMOVE_DEVICE, 0, nullptr, nullptr);
    n->state = NodeState::StartFailed;
    return st;
}

void ForgetNode(DeviceNode* n) {
    PnpState& p = Pnp();
    {
        std::lock_guard<std::recursive_mutex> g(p.mu);
        if (n->parent) {
            auto& c = n->parent->children;
            c.erase(std::remove(c.begin(), c.end(), n), c.end());
        } else {
            p.roots.erase(std::remove(p.roots.begin(), p.roots.end(), n), p.roots.end());
        }
        p.by_pdo.erase(n->pdo);
    }
    RecordDeviceNode(n->pdo, nullptr);
    n->state = NodeState::Deleted;
}

// Removes a node's subtree, children first. `gone`: the device is no longer
// present (vanished, surprise-removed, uninstalled): nodes are deleted and
// the manager's references dropped. Otherwise (disable) the node stays.
void RemoveTree(DeviceNode* n, bool gone) {
    std::vector<DeviceNode*> kids = n->children;
    for (DeviceNode* c : kids) RemoveTree(c, true);
    if (n->state != NodeState::Removed && n->state != NodeState::Deleted &&
        n->state != NodeState::AddFailed && n->state != NodeState::StartFailed &&
        n->state != NodeState::NoDriver)
        SendPnp(n, IRP_MN_REMOVE_DEVICE, 0, nullptr, nullptr);
    else if (gone && n->state != NodeState::Deleted && !PdoDeleted(n->pdo))
        // Its drivers went earlier (disabled, ejected, failed to start) or it
        // never had any, and now the device itself is gone: the bus driver
        // gets the removal, which is when it deletes a PDO it no longer
        // reports.
        SendPnp(n, IRP_MN_REMOVE_DEVICE, 0, nullptr, nullptr);
    bool deleted = PdoDeleted(n->pdo);
    DisableInterfacesOf(n->pdo, gone || deleted);
    n->remove_when_closed = false;
    if (!gone && !deleted) {
        n->state = NodeState::Removed;
        return;
    }
    ForgetNode(n);
    if (n->root) {
        // The root bus driver's PDO: its creation reference is the one the
        // manager holds, and deleting it drops that.
        if (!deleted) IoDeleteDevice(n->pdo);
    } else {
        ObfDereferenceObject(n->pdo);  // the reference the bus handed over in its relations
    }
    delete n;
}

void SurpriseRemoveTree(DeviceNode* n) {
    for (DeviceNode* c : std::vector<DeviceNode*>(n->children)) SurpriseRemoveTree(c);
    if (n->state == NodeState::Started || n->state == NodeState::Stopped ||
        n->state == NodeState::QueryStopped || n->state == NodeState::QueryRemoved) {
        SendPnp(n, IRP_MN_SURPRISE_REMOVAL, 0, nullptr, nullptr);
        DisableInterfacesOf(n->pdo, false);
        n->state = NodeState::SurpriseRemoved;
    }
}

void FinishRemovalIfFree(DeviceNode* n) {
    if (HasOpenHandles(n)) {
        n->remove_when_closed = true;
        return;
    }
    RemoveTree(n, true);
}

NTSTATUS QueryRemoveTree(DeviceNode* n, std::vector<DeviceNode*>* queried) {
    for (DeviceNode* c : n->children) {
        NTSTATUS st = QueryRemoveTree(c, queried);
        if (!NT_SUCCESS(st)) return st;
    }
    // A handle still open vetoes the removal, as an application that does not
    // let go of the device does on Windows.
    if (n->pdo->ReferenceCount > 0) return STATUS_DEVICE_BUSY;
    if (n->state != NodeState::Started && n->state != NodeState::Stopped) return STATUS_SUCCESS;
    NTSTATUS st = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE, 0, nullptr, nullptr);
    if (!NT_SUCCESS(st)) {
        SendPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE, 0, nullptr, nullptr);
        return st;
    }
    n->state = NodeState::QueryRemoved;
    queried->push_back(n);
    return STATUS_SUCCESS;
}

NTSTATUS OrderlyRemove(DeviceNode* n, bool gone) {
    std::vector<DeviceNode*> queried;
    NTSTATUS st = QueryRemoveTree(n, &queried);
    if (!NT_SUCCESS(st)) {
        for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
            SendPnp(*it, IRP_MN_CANCEL_REMOVE_DEVICE, 0, nullptr, nullptr);
            (*it)->state = NodeState::Started;
        }
        return st;
    }
    RemoveTree(n, gone);
    return STATUS_SUCCESS;
}

void IdentifyAndStart(DeviceNode* parent, PDEVICE_OBJECT pdo) {
    PnpState& p = Pnp();
    auto* n = new DeviceNode();
    n->parent = parent;
    n->pdo = pdo;
    n->instance_path = parent->instance_path + "\\<new>";
    ULONG_PTR info;
    std::vector<std::u16string> v;
    NTSTATUS st = SendPnp(n, IRP_MN_QUERY_ID, BusQueryDeviceID,
                          [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceID; },
                          &info);
    if (NT_SUCCESS(st) && TakeStrings(n, info, false, &v, "device ID")) n->device_id = v[0];
    v.clear();
    st = SendPnp(n, IRP_MN_QUERY_ID, BusQueryHardwareIDs,
                 [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryHardwareIDs; }, &info);
    if (NT_SUCCESS(st)) TakeStrings(n, info, true, &n->hardware_ids, "hardware IDs");
    st = SendPnp(n, IRP_MN_QUERY_ID, BusQueryCompatibleIDs,
                 [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryCompatibleIDs; }, &info);
    if (NT_SUCCESS(st)) TakeStrings(n, info, true, &n->compatible_ids, "compatible IDs");
    st = SendPnp(n, IRP_MN_QUERY_ID, BusQueryInstanceID,
                 [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryInstanceID; }, &info);
    if (NT_SUCCESS(st) && TakeStrings(n, info, false, &v, "instance ID")) n->instance_id = v[0];
    v.clear();
    st = SendPnp(n, IRP_MN_QUERY_ID, BusQueryContainerID,
                 [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryContainerID; }, &info);
    if (NT_SUCCESS(st) && TakeStrings(n, info, false, &v, "container ID")) n->container_id = v[0];
    v.clear();
    for (DEVICE_TEXT_TYPE t : {DeviceTextDescription, DeviceTextLocationInformation}) {
        st = SendPnp(n, IRP_MN_QUERY_DEVICE_TEXT, t,
                     [t](PIO_STACK_LOCATION sp) {
                         sp->Parameters.QueryDeviceText.DeviceTextType = t;
                         sp->Parameters.QueryDeviceText.LocaleId = 0x409;
                     },
                     &info);
        if (NT_SUCCESS(st) && TakeStrings(n, info, false, &v, "device text"))
            (t == DeviceTextDescription ? n->description : n->location) = v[0];
        v.clear();
    }
    DEVICE_CAPABILITIES caps;
    memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    st = SendPnp(n, IRP_MN_QUERY_CAPABILITIES, 0,
                 [&caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; },
                 nullptr);
    if (NT_SUCCESS(st)) {
        n->caps = caps;
        n->has_caps = true;
    }
    st = SendPnp(n, IRP_MN_QUERY_BUS_INFORMATION, 0, nullptr, &info);
    if (NT_SUCCESS(st) && info) {
        if (PoolBlockSize((void*)info) >= sizeof(PNP_BUS_INFORMATION)) {
            n->bus = *(PPNP_BUS_INFORMATION)info;
            n->has_bus = true;
        } else {
            hk::verifier::Report(kPnpBadAnswer, "IopQueryBusInformation", (void*)info,
                                 "bus information is not a pool block of 24 bytes");
        }
        ExFreePool((PVOID)info);
    }
    st = SendPnp(n, IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation,
                 [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                 &info);
    if (NT_SUCCESS(st) && info) {
        auto* rel = (PDEVICE_RELATIONS)info;
        if (rel->Count != 1 || rel->Objects[0] != pdo)
            hk::verifier::Report(kPnpBadAnswer, "IopQueryTargetDeviceRelation", rel,
                                 "the target relation of a PDO must list exactly the PDO itself");
        for (ULONG i = 0; i < rel->Count; ++i) ObfDereferenceObject(rel->Objects[i]);
        ExFreePool(rel);
    }
    if (n->device_id.empty()) {
        hk::verifier::Report(kPnpBadAnswer, "IopQueryDeviceId", pdo,
                             "a child of " + parent->instance_path + " has no device ID");
    }
    if (n->instance_id.empty()) {
        std::lock_guard<std::recursive_mutex> g(p.mu);
        char buf[16];
        snprintf(buf, sizeof buf, "%04d", p.instance_counters[Narrow(n->device_id)]++);
        n->instance_id = Widen(buf);
    }
    n->instance_path = Narrow(n->device_id) + "\\" + Narrow(n->instance_id);
    {
        std::lock_guard<std::recursive_mutex> g(p.mu);
        parent->children.push_back(n);
        p.by_pdo[pdo] = n;
    }
    RecordDeviceNode(pdo, n);
    if (n->device_id.empty()) {
        n->state = NodeState::AddFailed;
        n->problem = STATUS_INVALID_PARAMETER;
        return;
    }
    AddAndStart(n);
}

void Enumerate(DeviceNode* n) {
    if (n->state != NodeState::Started) return;
    ULONG_PTR info;
    NTSTATUS st = SendPnp(n, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations,
                          [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
                          &info);
    if (!NT_SUCCESS(st)) return;  // not a bus, or it failed: the children stay as they are
    std::vector<PDEVICE_OBJECT> reported;
    if (info) {
        auto* rel = (PDEVICE_RELATIONS)info;
        size_t size = PoolBlockSize(rel);
        if (!size || size < offsetof(DEVICE_RELATIONS, Objects) + rel->Count * sizeof(PDEVICE_OBJECT)) {
            hk::verifier::Report(kPnpBadAnswer, "IopQueryBusRelations", rel,
                                 "the relations list is not a pool block large enough for its Count");
        } else {
            for (ULONG i = 0; i < rel->Count; ++i) reported.push_back(rel->Objects[i]);
            ExFreePool(rel);
        }
    }
    // Diff: every reported object carries a reference for the manager.
    std::vector<PDEVICE_OBJECT> fresh;
    std::set<PDEVICE_OBJECT> seen;
    for (PDEVICE_OBJECT d : reported) {
        bool known = std::any_of(n->children.begin(), n->children.end(),
                                 [d](DeviceNode* c) { return c->pdo == d; });
        if (known || seen.count(d)) {
            ObfDereferenceObject(d);
            seen.insert(d);
            continue;
        }
        seen.insert(d);
        fresh.push_back(d);
    }
    std::vector<DeviceNode*> vanished;
    for (DeviceNode* c : n->children)
        if (!seen.count(c->pdo)) vanished.push_back(c);
    for (DeviceNode* c : vanished) {
        SurpriseRemoveTree(c);
        FinishRemovalIfFree(c);
    }
    for (PDEVICE_OBJECT d : fresh) IdentifyAndStart(n, d);
}

DeviceNode* NodeFor(PDEVICE_OBJECT pdo) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    auto it = p.by_pdo.find(pdo);
    return it == p.by_pdo.end() ? nullptr : it->second;
}

// --- hostkernel's root bus driver -----------------------------------------------------------
NTSTATUS CompleteWith(PIRP irp, NTSTATUS st) {
    irp->IoStatus.Status = st;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

PWSTR PoolString(const std::vector<std::u16string>& parts, bool multi) {
    size_t n = 1;
    for (auto& s : parts) n += s.size() + 1;
    auto* w = (PWSTR)ExAllocatePoolWithTag(PagedPool, n * sizeof(WCHAR), kRootTag);
    if (!w) return nullptr;
    size_t i = 0;
    for (auto& s : parts) {
        for (char16_t c : s) w[i++] = c;
        w[i++] = 0;
        if (!multi) break;
    }
    w[i] = 0;
    return w;
}

NTSTATUS NTAPI RootDispatchPnp(PDEVICE_OBJECT dev, PIRP irp) {
    auto* ext = (RootExtension*)dev->DeviceExtension;
    DeviceNode* n = ext->node;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;
    if (n) {
        auto f = n->root_faults.find(minor);
        if (f != n->root_faults.end()) return CompleteWith(irp, f->second);
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES c = sp->Parameters.DeviceCapabilities.Capabilities;
        if (!c || c->Version < 1 || c->Size < sizeof(DEVICE_CAPABILITIES))
            return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        // What a root-enumerated device on a desktop machine reports.
        c->DeviceD1 = c->DeviceD2 = 0;
        c->LockSupported = c->EjectSupported = c->Removable = c->DockDevice = 0;
        c->UniqueID = 0;
        c->SilentInstall = 1;
        c->RawDeviceOK = 0;
        c->SurpriseRemovalOK = 0;
        c->WakeFromD0 = c->WakeFromD1 = c->WakeFromD2 = c->WakeFromD3 = 0;
        c->Address = 0xFFFFFFFF;
        c->UINumber = 0xFFFFFFFF;
        c->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
        c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            c->DeviceState[s] = PowerDeviceD3;
        c->SystemWake = PowerSystemUnspecified;
        c->DeviceWake = PowerDeviceUnspecified;
        c->D1Latency = c->D2Latency = c->D3Latency = 0;
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* rel = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRootTag);
            if (!rel) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
            rel->Count = 1;
            rel->Objects[0] = dev;
            ObfReferenceObject(dev);
            irp->IoStatus.Information = (ULONG_PTR)rel;
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        break;
    case IRP_MN_QUERY_ID:
        if (n) {
            PWSTR w = nullptr;
            switch (sp->Parameters.QueryId.IdType) {
            case BusQueryDeviceID: w = PoolString({n->device_id}, false); break;
            case BusQueryHardwareIDs: w = PoolString(n->hardware_ids, true); break;
            case BusQueryCompatibleIDs: w = PoolString(n->compatible_ids, true); break;
            case BusQueryInstanceID: w = PoolString({n->instance_id}, false); break;
            default: return CompleteWith(irp, irp->IoStatus.Status);
            }
            if (!w) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
            irp->IoStatus.Information = (ULONG_PTR)w;
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (n && sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription &&
            !n->description.empty()) {
            PWSTR w = PoolString({n->description}, false);
            if (!w) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
            irp->IoStatus.Information = (ULONG_PTR)w;
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        break;
    default:
        break;
    }
    return CompleteWith(irp, irp->IoStatus.Status);
}

NTSTATUS NTAPI RootDispatchPower(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        return CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, irp->IoStatus.Status);
}

NTSTATUS NTAPI RootDispatchSuccess(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 0;
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI RootDispatchUnchanged(PDEVICE_OBJECT, PIRP irp) {
    return CompleteWith(irp, irp->IoStatus.Status);
}

NTSTATUS NTAPI RootDriverEntry(PDRIVER_OBJECT drv, PUNICODE_STRING) {
    drv->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    drv->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
    drv->MajorFunction[IRP_MJ_CREATE] = RootDispatchSuccess;
    drv->MajorFunction[IRP_MJ_CLOSE] = RootDispatchSuccess;
    drv->MajorFunction[IRP_MJ_CLEANUP] = RootDispatchSuccess;
    drv->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = RootDispatchUnchanged;
    return STATUS_SUCCESS;
}

}  // namespace

// --- hooks for the other managers ------------------------------------------------------------
DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo) { return NodeFor(pdo); }

std::string InstancePathOf(PDEVICE_OBJECT pdo) {
    DeviceNode* n = NodeFor(pdo);
    if (!n || n->instance_path.find("<new>") != std::string::npos) return {};
    return n->instance_path;
}

void PostWork(std::function<void()> work) { Post(Pnp(), std::move(work)); }

void OnHandleClosed(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard<std::mutex> g(g_pnp_mu);
        if (!g_pnp) return;
    }
    PostWork([pdo] {
        PnpState& p = Pnp();
        DeviceNode* n;
        {
            std::lock_guard<std::recursive_mutex> g(p.mu);
            auto it = p.by_pdo.find(pdo);
            n = it == p.by_pdo.end() ? nullptr : it->second;
        }
        // The highest node waiting for its handles to close.
        DeviceNode* waiting = nullptr;
        for (DeviceNode* a = n; a; a = a->parent)
            if (a->remove_when_closed) waiting = a;
        if (waiting) FinishRemovalIfFree(waiting);
    });
}

POWER_STATE RecordPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    POWER_STATE old;
    old.DeviceState = PowerDeviceUnspecified;
    {
        std::lock_guard<std::mutex> g(g_pnp_mu);
        if (!g_pnp) return old;
    }
    if (type != DevicePowerState) return old;
    // The state belongs to the node of the stack the device sits in.
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    for (auto& [pdo, n] : p.by_pdo) {
        for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
            if (d == device) {
                old.DeviceState = n->power;
                n->power = state.DeviceState;
                return old;
            }
    }
    return old;
}

void PnpShutdown() {
    PnpState* p;
    {
        std::lock_guard<std::mutex> g(g_pnp_mu);
        p = g_pnp;
    }
    if (!p) return;
    RunSync([p] {
        // Every tree goes, children first; nothing is asked first.
        while (true) {
            DeviceNode* r;
            {
                std::lock_guard<std::recursive_mutex> g(p->mu);
                if (p->roots.empty()) break;
                r = p->roots.back();
            }
            SurpriseRemoveTree(r);
            RemoveTree(r, true);
        }
        return 0;
    });
    {
        std::lock_guard<std::mutex> g(p->qmu);
        p->stop = true;
    }
    KeSetEvent(&p->work_event, IO_NO_INCREMENT, FALSE);
    if (p->thread) {
        KeWaitForSingleObject(p->thread, Executive, KernelMode, FALSE, nullptr);
        // The executive may already have let the finished thread's object go
        // during shutdown; drop the reference only while it still exists.
        if (hk::objects::Tracked(p->thread)) ObfDereferenceObject(p->thread);
    }
    std::lock_guard<std::mutex> g(g_pnp_mu);
    delete g_pnp;
    g_pnp = nullptr;
}

}  // namespace hk::iomgr

using namespace hk::iomgr;

EXTERN_C void NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    if (Type != BusRelations) return;
    // Never inside the caller: the query runs later on the manager's thread.
    PostWork([DeviceObject] {
        if (DeviceNode* n = NodeFor(DeviceObject)) Enumerate(n);
    });
}

EXTERN_C void NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    (void)PhysicalDeviceObject;
}

EXTERN_C void NTAPI IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
    // What pressing the device's eject button starts, later and on the
    // manager's thread: the subtree is asked for removal (an open handle or a
    // driver's refusal vetoes it and nothing happens), removed children
    // first, and a device that supports ejection is then told to eject. The
    // node stays, without drivers, until its bus stops reporting it.
    PostWork([PhysicalDeviceObject] {
        DeviceNode* n = NodeFor(PhysicalDeviceObject);
        if (!n || n->state == hk::pnp::NodeState::Removed ||
            n->state == hk::pnp::NodeState::Deleted)
            return;
        if (!NT_SUCCESS(OrderlyRemove(n, false))) return;
        if (NodeFor(PhysicalDeviceObject) != n) return;  // its bus deleted the PDO meanwhile
        if (n->has_caps && n->caps.EjectSupported)
            SendPnp(n, IRP_MN_EJECT, 0, nullptr, nullptr);
    });
}

EXTERN_C NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                            DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                            ULONG BufferLength, PVOID PropertyBuffer,
                                            PULONG ResultLength) {
    DeviceNode* n = NodeFor(DeviceObject);
    if (!n) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<std::u16string> parts;
    bool multi = false;
    switch (DeviceProperty) {
    case DevicePropertyDeviceDescription: parts = {n->description}; break;
    case DevicePropertyHardwareID: parts = n->hardware_ids; multi = true; break;
    case DevicePropertyCompatibleIDs: parts = n->compatible_ids; multi = true; break;
    case DevicePropertyLocationInformation: parts = {n->location}; break;
    case DevicePropertyBusTypeGuid:
        if (!n->has_bus) return STATUS_OBJECT_NAME_NOT_FOUND;
        *ResultLength = sizeof(GUID);
        if (BufferLength < sizeof(GUID)) return STATUS_BUFFER_TOO_SMALL;
        memcpy(PropertyBuffer, &n->bus.BusTypeGuid, sizeof(GUID));
        return STATUS_SUCCESS;
    case DevicePropertyAddress:
        if (!n->has_caps) return STATUS_OBJECT_NAME_NOT_FOUND;
        *ResultLength = sizeof(ULONG);
        if (BufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        *(PULONG)PropertyBuffer = n->caps.Address;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string flat;
    for (auto& s : parts) {
        flat += s;
        flat += u'\0';
        if (!multi) break;
    }
    if (multi) flat += u'\0';
    ULONG need = (ULONG)(flat.size() * sizeof(WCHAR));
    *ResultLength = need;
    if (BufferLength < need) return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, flat.data(), need);
    return STATUS_SUCCESS;
}

// --- the C++ API ------------------------------------------------------------------------------
namespace hk::pnp {

const char* StateName(NodeState s) {
    switch (s) {
    case NodeState::Initialized: return "Initialized";
    case NodeState::DriversAdded: return "DriversAdded";
    case NodeState::Started: return "Started";
    case NodeState::StartFailed: return "StartFailed";
    case NodeState::AddFailed: return "AddFailed";
    case NodeState::NoDriver: return "NoDriver";
    case NodeState::QueryStopped: return "QueryStopped";
    case NodeState::Stopped: return "Stopped";
    case NodeState::QueryRemoved: return "QueryRemoved";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    case NodeState::Deleted: return "Deleted";
    }
    return "?";
}

NTSTATUS InstallRootDevice(const RootDeviceSettings& root_device, PDEVICE_OBJECT* pdo_out) {
    if (pdo_out) *pdo_out = nullptr;
    return RunSync([&]() -> NTSTATUS {
        PnpState& p = Pnp();
        if (!p.root_driver) return STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT pdo;
        NTSTATUS st = IoCreateDevice(p.root_driver, sizeof(RootExtension), nullptr,
                                     FILE_DEVICE_CONTROLLER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(st)) return st;
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        auto* n = new DeviceNode();
        n->root = true;
        n->pdo = pdo;
        n->device_id = Widen(root_device.enumerator);
        for (auto& h : root_device.hardware_ids) n->hardware_ids.push_back(Widen(h));
        for (auto& c : root_device.compatible_ids) n->compatible_ids.push_back(Widen(c));
        n->description = Widen(root_device.description);
        n->driver = root_device.driver;
        {
            std::lock_guard<std::recursive_mutex> g(p.mu);
            char buf[16];
            snprintf(buf, sizeof buf, "%04d", p.instance_counters[root_device.enumerator]++);
            n->instance_id = Widen(buf);
            n->instance_path = root_device.enumerator + "\\" + buf;
            p.roots.push_back(n);
            p.by_pdo[pdo] = n;
        }
        ((RootExtension*)pdo->DeviceExtension)->node = n;
        RecordDeviceNode(pdo, n);
        DEVICE_CAPABILITIES caps;
        memset(&caps, 0, sizeof caps);
        caps.Size = sizeof caps;
        caps.Version = 1;
        caps.Address = caps.UINumber = 0xFFFFFFFF;
        if (NT_SUCCESS(SendPnp(n, IRP_MN_QUERY_CAPABILITIES, 0,
                               [&caps](PIO_STACK_LOCATION sp) {
                                   sp->Parameters.DeviceCapabilities.Capabilities = &caps;
                               },
                               nullptr))) {
            n->caps = caps;
            n->has_caps = true;
        }
        if (pdo_out) *pdo_out = pdo;
        return AddAndStart(n);
    });
}

void RegisterFunctionDriver(const std::string& id, const std::string& driver_name,
                            PDRIVER_INITIALIZE entry) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    p.function_drivers[Upper(Widen(id))] = FunctionDriver{driver_name, entry};
}

namespace {
struct PassThroughExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI PassThroughDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = (PassThroughExtension*)device->DeviceExtension;
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    case IRP_MJ_PNP:
        if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            PDEVICE_OBJECT lower = ext->lower;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS st = IofCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return st;
        }
        [[fallthrough]];
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(ext->lower, irp);
    }
}

NTSTATUS NTAPI PassThroughAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS st = IoCreateDevice(driver, sizeof(PassThroughExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(st)) return st;
    auto* ext = (PassThroughExtension*)fdo->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassThroughEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int m = 0; m <= IRP_MJ_MAXIMUM_FUNCTION; ++m) driver->MajorFunction[m] = PassThroughDispatch;
    driver->DriverExtension->AddDevice = PassThroughAddDevice;
    return STATUS_SUCCESS;
}
}  // namespace

void RegisterPassThroughFunctionDriver(const std::string& id) {
    RegisterFunctionDriver(id, "passthrough", PassThroughEntry);
}

namespace {
template <class F>
NTSTATUS WithNode(PDEVICE_OBJECT pdo, F f) {
    return RunSync([&]() -> NTSTATUS {
        DeviceNode* n = NodeFor(pdo);
        if (!n) return STATUS_NO_SUCH_DEVICE;
        return f(n);
    });
}
}  // namespace

NTSTATUS Stop(PDEVICE_OBJECT pdo) {
    return WithNode(pdo, [](DeviceNode* n) -> NTSTATUS {
        if (n->state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS st = SendPnp(n, IRP_MN_QUERY_STOP_DEVICE, 0, nullptr, nullptr);
        if (!NT_SUCCESS(st)) {
            SendPnp(n, IRP_MN_CANCEL_STOP_DEVICE, 0, nullptr, nullptr);
            return st;
        }
        n->state = NodeState::QueryStopped;
        st = SendPnp(n, IRP_MN_STOP_DEVICE, 0, nullptr, nullptr);
        n->state = NodeState::Stopped;
        if (!NT_SUCCESS(st)) {
            n->problem = st;
            return st;
        }
        st = SendPnp(n, IRP_MN_START_DEVICE, 0, nullptr, nullptr);
        if (NT_SUCCESS(st)) {
            n->state = NodeState::Started;
            Enumerate(n);
        } else {
            n->problem = st;
            SendPnp(n, IRP_MN_REMOVE_DEVICE, 0, nullptr, nullptr);
            n->state = NodeState::StartFailed;
        }
        return st;
    });
}

NTSTATUS Disable(PDEVICE_OBJECT pdo) {
    return WithNode(pdo, [](DeviceNode* n) -> NTSTATUS {
        NTSTATUS st = OrderlyRemove(n, false);
        if (NT_SUCCESS(st) && n->state != NodeState::Deleted) n->disabled = true;
        return st;
    });
}

NTSTATUS Enable(PDEVICE_OBJECT pdo) {
    return WithNode(pdo, [](DeviceNode* n) -> NTSTATUS {
        if (!n->disabled && n->state != NodeState::StartFailed &&
            n->state != NodeState::AddFailed && n->state != NodeState::NoDriver &&
            n->state != NodeState::Removed)
            return STATUS_SUCCESS;
        n->disabled = false;
        return AddAndStart(n);
    });
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
    return WithNode(pdo, [](DeviceNode* n) -> NTSTATUS {
        SurpriseRemoveTree(n);
        FinishRemovalIfFree(n);
        return STATUS_SUCCESS;
    });
}

NTSTATUS Uninstall(PDEVICE_OBJECT pdo) {
    return WithNode(pdo, [](DeviceNode* n) -> NTSTATUS { return OrderlyRemove(n, true); });
}

NTSTATUS SetPower(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, POWER_STATE state) {
    return WithNode(pdo, [type, state](DeviceNode* n) -> NTSTATUS {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(n->pdo);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = AllocateThreadIrp(top, &event, &iosb);
        if (!irp) {
            ObfDereferenceObject(top);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_POWER;
        sp->MinorFunction = IRP_MN_SET_POWER;
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
        NTSTATUS st = PoCallDriver(top, irp);
        if (st == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        st = iosb.Status;
        ObfDereferenceObject(top);
        hk::iomgr::Log(n, "SET_POWER", (ULONG)state.DeviceState, st);
        return st;
    });
}

bool WaitIdle(std::chrono::milliseconds limit) {
    PnpState& p = Pnp();
    std::unique_lock<std::mutex> g(p.qmu);
    return p.idle_cv.wait_for(g, limit, [&] { return p.queue.empty() && !p.running; });
}

namespace {
DeviceInfo Describe(DeviceNode* n) {
    DeviceInfo d;
    d.pdo = n->pdo;
    d.parent_pdo = n->parent ? n->parent->pdo : nullptr;
    d.instance_path = n->instance_path;
    d.device_id = Narrow(n->device_id);
    for (auto& h : n->hardware_ids) d.hardware_ids.push_back(Narrow(h));
    for (auto& c : n->compatible_ids) d.compatible_ids.push_back(Narrow(c));
    d.instance_id = Narrow(n->instance_id);
    d.container_id = Narrow(n->container_id);
    d.description = Narrow(n->description);
    d.location = Narrow(n->location);
    d.has_capabilities = n->has_caps;
    d.capabilities = n->caps;
    d.has_bus_information = n->has_bus;
    d.bus_information = n->bus;
    d.state = n->state;
    d.problem = n->problem;
    d.function_driver = n->raw || n->state == NodeState::NoDriver ? std::string() : n->driver;
    d.raw = n->raw;
    d.disabled = n->disabled;
    d.device_power = n->power;
    d.open_handles = n->pdo ? (size_t)std::max<LONG>(0, n->pdo->ReferenceCount) : 0;
    return d;
}

void Walk(DeviceNode* n, std::vector<DeviceInfo>* out) {
    out->push_back(Describe(n));
    for (DeviceNode* c : n->children) Walk(c, out);
}
}  // namespace

std::vector<DeviceInfo> Devices() {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    std::vector<DeviceInfo> out;
    for (DeviceNode* r : p.roots) Walk(r, &out);
    return out;
}

bool Find(PDEVICE_OBJECT pdo, DeviceInfo* info) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    auto it = p.by_pdo.find(pdo);
    if (it == p.by_pdo.end()) return false;
    if (info) *info = Describe(it->second);
    return true;
}

std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    std::vector<PDEVICE_OBJECT> out;
    auto it = p.by_pdo.find(pdo);
    if (it != p.by_pdo.end())
        for (DeviceNode* c : it->second->children) out.push_back(c->pdo);
    return out;
}

std::vector<Event> Log() {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    return p.log;
}

void ClearLog() {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    p.log.clear();
}

void SetRootFault(PDEVICE_OBJECT root_pdo, UCHAR minor_function, NTSTATUS status) {
    PnpState& p = Pnp();
    std::lock_guard<std::recursive_mutex> g(p.mu);
    auto it = p.by_pdo.find(root_pdo);
    if (it == p.by_pdo.end() || !it->second->root) return;
    if (status == STATUS_SUCCESS)
        it->second->root_faults.erase(minor_function);
    else
        it->second->root_faults[minor_function] = status;
}

void FailNextInterfaceRegistration(NTSTATUS status) {
    IoState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mu);
    s.fail_next_interface_registration = status;
}

}  // namespace hk::pnp
