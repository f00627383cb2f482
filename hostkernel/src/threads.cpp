// System threads: real host threads registered with the machine, thread
// objects that can be waited on until the thread ends, priorities, and the
// foreign (test or application) threads that call into hostkernel.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ke_internal.h"

using hk::Machine;
using hk::detail::M;
namespace v = hk::verifier;

static _OBJECT_TYPE g_thread_type{"Thread"};
static POBJECT_TYPE g_thread_type_ptr = &g_thread_type;
POBJECT_TYPE* PsThreadType = &g_thread_type_ptr;

namespace {

struct SelfRef {
    PKTHREAD thread = nullptr;
    uint64_t generation = 0;
};
thread_local SelfRef t_self;

PKTHREAD NewThreadObject(Machine::Impl& m, bool system) {
    PKTHREAD t = new _KTHREAD();
    t->Header.Type = HK_DISPATCHER_THREAD;
    t->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    t->Header.SignalState = 0;
    InitializeListHead(&t->Header.WaitListHead);
    t->system = system;
    t->state = system ? HkThreadState::Running : HkThreadState::Detached;
    t->id = (HANDLE)(uintptr_t)(m.next_thread_id += 4);
    m.threads.push_back(t);
    return t;
}

void TrackThread(PKTHREAD t) {
    hk::objects::Track(t, g_thread_type_ptr, "Thread", [t] { t->deleted = true; }, 1);
}

// A handle to a thread holds a reference to the thread object.
class ThreadHandle : public hk::HandleObject {
public:
    explicit ThreadHandle(PKTHREAD t) : t_(t) { ObfReferenceObject(t); }
    const char* TypeName() const override { return "Thread"; }
    void* Body() override { return t_; }
    POBJECT_TYPE ObjectType() const override { return g_thread_type_ptr; }
    void OnClose() override { ObfDereferenceObject(t_); }
    std::string Describe() const override {
        return "thread " + std::to_string((uintptr_t)t_->id);
    }

private:
    PKTHREAD t_;
};

void Trampoline(Machine::Impl* mp, PKTHREAD t) {
    Machine::Impl& m = *mp;
    t_self = SelfRef{t, m.generation};
    hk::detail::Irql() = PASSIVE_LEVEL;
    NTSTATUS status = STATUS_SUCCESS;
    try {
        ((PKSTART_ROUTINE)t->start_routine)(t->start_context);
    } catch (const hk::ThreadTerminate& e) {
        status = e.status;
    } catch (const hk::AccessViolation& e) {
        // Unhandled exception in a system thread: SYSTEM_THREAD_EXCEPTION_NOT_HANDLED.
        KeBugCheckEx(0x7E, (ULONG_PTR)e.Status, (ULONG_PTR)e.Address, 0, 0);
    }
    if (hk::detail::Irql() != PASSIVE_LEVEL)
        v::Report(v::kIrqlNotLess, "PsTerminateSystemThread", t,
                  "system thread ended at IRQL " + std::to_string((unsigned)hk::detail::Irql()));
    {
        std::lock_guard<std::mutex> g(m.sched);
        t->exit_status = status;
        t->state = HkThreadState::Finished;
        t->Header.SignalState = 1;
        hk::detail::SignalObjectLocked(m, t);
        m.quiet_cv.notify_all();
    }
    ObfDereferenceObject(t);  // the thread's own reference
}

}  // namespace

namespace hk::detail {

PKTHREAD CurrentThreadLocked(Machine::Impl& m) {
    if (t_self.thread && t_self.generation == m.generation) return t_self.thread;
    PKTHREAD t = NewThreadObject(m, false);
    t->host_id = std::this_thread::get_id();
    t_self = SelfRef{t, m.generation};
    return t;
}

void StopThreads(Machine::Impl& m) {
    std::vector<std::thread> host;
    {
        std::unique_lock<std::mutex> lk(m.sched);
        m.shutting_down = true;
        for (PKTHREAD t : m.threads) {
            if (!t->system || t->state == HkThreadState::Finished) continue;
            char b[64];
            std::snprintf(b, sizeof b, "start routine %p", t->start_routine);
            lk.unlock();
            v::Report(v::kThreadAtShutdown, "hk::Machine::~Machine", t,
                      std::string("system thread still running at shutdown (") + b + ")");
            lk.lock();
            t->terminate = true;
            t->cv.notify_all();
        }
        bool all = m.quiet_cv.wait_for(lk, std::chrono::seconds(10), [&] {
            for (PKTHREAD t : m.threads)
                if (t->system && t->state != HkThreadState::Finished) return false;
            return true;
        });
        if (!all) {
            std::fprintf(stderr,
                         "hostkernel: a system thread does not stop at shutdown (it never waits); "
                         "stopping the process\n");
            std::abort();
        }
        host.swap(m.host_threads);
    }
    for (std::thread& th : host)
        if (th.joinable()) th.join();
}

void ThreadsFree(Machine::Impl& m) {
    std::lock_guard<std::mutex> g(m.sched);
    for (PKTHREAD t : m.threads) {
        hk::objects::Untrack(t);
        delete t;
    }
    m.threads.clear();
}

}  // namespace hk::detail

EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                             PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        v::Report(v::kIrqlNotLess, "PsCreateSystemThread", nullptr,
                  "called at IRQL " + std::to_string((unsigned)KeGetCurrentIrql()));
    Machine::Impl& m = M();
    PKTHREAD t;
    {
        std::lock_guard<std::mutex> g(m.sched);
        if (m.fail_thread_creations) {
            --m.fail_thread_creations;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (m.shutting_down) return STATUS_INSUFFICIENT_RESOURCES;
        t = NewThreadObject(m, true);
        t->start_routine = (void*)StartRoutine;
        t->start_context = StartContext;
    }
    TrackThread(t);
    *ThreadHandle = hk::handles::Insert(std::make_shared<::ThreadHandle>(t),
                                        DesiredAccess ? DesiredAccess : THREAD_ALL_ACCESS);
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)(uintptr_t)4;
        ClientId->UniqueThread = t->id;
    }
    std::lock_guard<std::mutex> g(m.sched);
    m.host_threads.emplace_back(Trampoline, &m, t);
    t->host_id = m.host_threads.back().get_id();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    Machine::Impl& m = M();
    PKTHREAD self;
    {
        std::lock_guard<std::mutex> g(m.sched);
        self = hk::detail::CurrentThreadLocked(m);
    }
    if (!self->system) return STATUS_INVALID_PARAMETER;
    throw hk::ThreadTerminate{ExitStatus};
}

EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(void) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    PKTHREAD t = hk::detail::CurrentThreadLocked(m);
    if (!t->system && !hk::objects::Tracked(t)) TrackThread(t);
    return t;
}

EXTERN_C PETHREAD NTAPI PsGetCurrentThread(void) { return (PETHREAD)KeGetCurrentThread(); }

EXTERN_C HANDLE NTAPI PsGetCurrentThreadId(void) { return KeGetCurrentThread()->id; }

EXTERN_C HANDLE NTAPI PsGetCurrentProcessId(void) { return (HANDLE)(uintptr_t)4; }

EXTERN_C BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) { return ((PKTHREAD)Thread)->system; }

EXTERN_C KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (Priority < 0 || Priority > HIGH_PRIORITY)
        v::Report("InvalidPriority", "KeSetPriorityThread", Thread,
                  "priority " + std::to_string(Priority) + " is out of range");
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    KPRIORITY old = Thread->priority;
    Thread->priority = Priority;
    return old;
}

EXTERN_C KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    Machine::Impl& m = M();
    std::lock_guard<std::mutex> g(m.sched);
    return Thread->priority;
}

namespace hk {

std::vector<ThreadInfo> Machine::Threads() const {
    std::lock_guard<std::mutex> g(impl_->sched);
    std::vector<ThreadInfo> out;
    for (PKTHREAD t : impl_->threads)
        out.push_back(ThreadInfo{t, t->id, t->system, t->start_routine, t->start_context,
                                 t->priority, t->state == HkThreadState::Finished, t->exit_status});
    return out;
}

KPRIORITY Machine::ThreadPriority(PKTHREAD thread) const {
    std::lock_guard<std::mutex> g(impl_->sched);
    return thread->priority;
}

void Machine::FailThreadCreations(size_t count) {
    std::lock_guard<std::mutex> g(impl_->sched);
    impl_->fail_thread_creations = count;
}

void Machine::FailHandleReferences(size_t count) {
    std::lock_guard<std::mutex> g(impl_->sched);
    impl_->fail_handle_references = count;
}

KernelThreadScope::KernelThreadScope() {
    Machine::Impl& m = detail::M();
    std::lock_guard<std::mutex> g(m.sched);
    PKTHREAD t = detail::CurrentThreadLocked(m);
    t->scoped = true;
    t->state = HkThreadState::Running;
}

KernelThreadScope::~KernelThreadScope() {
    Machine::Impl* m = detail::TryM();
    if (!m) return;
    std::lock_guard<std::mutex> g(m->sched);
    PKTHREAD t = detail::CurrentThreadLocked(*m);
    t->scoped = false;
    t->state = HkThreadState::Detached;
    m->quiet_cv.notify_all();
}

}  // namespace hk
