// The composite parent driver: loads on "USB\COMPOSITE", enumerates the
// device through URBs, selects its configuration and hands each function to
// its function driver.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "hk/machine.h"
#include "hk/pnp.h"
#include "internal.h"

namespace usbclass {

namespace detail {

class CompositeImpl : public CompositeDevice {
public:
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;

    mutable std::mutex m;
    DeviceState state = DeviceState::Starting;
    NTSTATUS startStatus = STATUS_PENDING;
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<uint8_t> deviceBytes;
    ConfigurationInfo configuration;
    std::map<uint8_t, std::u16string> strings;
    Findings findings;
    bool hasBusInterface = false;
    USB_BUS_INTERFACE_USBDI_V3 busInterface{};
    USBD_VERSION_INFORMATION version{};
    bool highSpeed = false;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    std::vector<uint8_t> selectedConfiguration;  // the bytes the selection was made with
    std::map<uint8_t, std::vector<USBD_PIPE_INFORMATION>> pipes;
    std::shared_ptr<VideoFunctionImpl> video;
    std::shared_ptr<AudioFunctionImpl> audio;
    std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);

    NTSTATUS Start();
    void Quiesce(DeviceState newState);
    void Remove();

    // CompositeDevice
    PDEVICE_OBJECT Pdo() const override { return pdo; }
    DeviceState State() const override {
        std::lock_guard<std::mutex> g(m);
        return state;
    }
    NTSTATUS StartStatus() const override {
        std::lock_guard<std::mutex> g(m);
        return startStatus;
    }
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const override { return device; }
    std::vector<uint8_t> DeviceDescriptorBytes() const override {
        std::lock_guard<std::mutex> g(m);
        return deviceBytes;
    }
    std::vector<uint8_t> ConfigurationBytes() const override {
        std::lock_guard<std::mutex> g(m);
        return configuration.bytes;
    }
    const ConfigurationInfo& Configuration() const override { return configuration; }
    std::map<uint8_t, std::u16string> Strings() const override {
        std::lock_guard<std::mutex> g(m);
        return strings;
    }
    Findings Validation() const override {
        std::lock_guard<std::mutex> g(m);
        return findings;
    }
    bool HasBusInterface() const override { return hasBusInterface; }
    USBD_VERSION_INFORMATION UsbdVersion() const override { return version; }
    bool HighSpeed() const override { return highSpeed; }
    std::vector<USBD_PIPE_INFORMATION> ConfiguredPipes(uint8_t interfaceNumber) const override {
        std::lock_guard<std::mutex> g(m);
        auto it = pipes.find(interfaceNumber);
        return it == pipes.end() ? std::vector<USBD_PIPE_INFORMATION>{} : it->second;
    }
    std::shared_ptr<VideoFunction> Video() const override { return video ? AsPublic(video) : nullptr; }
    std::shared_ptr<AudioFunction> Audio() const override { return audio ? AsPublic(audio) : nullptr; }

private:
    NTSTATUS ReadDescriptors(Findings& f);
    void ReadStrings(Findings& f);
    NTSTATUS SelectConfiguration(Findings& f);
};

struct Extension {
    std::shared_ptr<CompositeImpl>* self;
};

// --- the registry of instances -----------------------------------------------------------
struct Registry {
    std::mutex m;
    hk::Machine* machine = nullptr;  // the machine Install() registered with
    std::vector<std::shared_ptr<CompositeImpl>> devices;
    std::vector<StartFailure> failures;
    std::map<int, DeviceCallback> subscribers;
    int nextSubscription = 1;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every machine
    return *r;
}

void Notify(const std::shared_ptr<CompositeImpl>& device, bool arrival) {
    std::vector<DeviceCallback> callbacks;
    {
        std::lock_guard<std::mutex> g(registry().m);
        for (auto& s : registry().subscribers) callbacks.push_back(s.second);
    }
    std::shared_ptr<CompositeDevice> d = device;
    for (auto& c : callbacks) c(d, arrival);
}

// --- descriptors and configuration ----------------------------------------------------------
std::u16string DecodeString(const std::vector<uint8_t>& bytes) {
    std::u16string s;
    size_t length = std::min<size_t>(bytes.size(), bytes.empty() ? 0 : bytes[0]);
    for (size_t i = 2; i + 1 < length; i += 2) s.push_back((char16_t)(bytes[i] | (bytes[i + 1] << 8)));
    return s;
}

NTSTATUS CompositeImpl::ReadDescriptors(Findings& f) {
    std::vector<uint8_t> bytes;
    NTSTATUS status = GetDescriptor(lower, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_DEVICE_DESCRIPTOR), bytes);
    if (!NT_SUCCESS(status)) {
        f.Error("device descriptor request failed");
        return status;
    }
    USB_DEVICE_DESCRIPTOR d{};
    if (!ValidateDeviceDescriptor(bytes.data(), bytes.size(), d, f)) return STATUS_DEVICE_DATA_ERROR;

    // The first nine bytes tell how long the whole set is.
    std::vector<uint8_t> head;
    status = GetDescriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_CONFIGURATION_DESCRIPTOR), head);
    if (!NT_SUCCESS(status)) {
        f.Error("configuration descriptor request failed");
        return status;
    }
    if (head.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || head[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        f.Error("configuration descriptor: the first nine bytes are not a configuration descriptor");
        return STATUS_DEVICE_DATA_ERROR;
    }
    USHORT total = (USHORT)(head[2] | (head[3] << 8));
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        f.Error("configuration descriptor: wTotalLength below 9");
        return STATUS_DEVICE_DATA_ERROR;
    }
    std::vector<uint8_t> all;
    status = GetDescriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total, all);
    if (!NT_SUCCESS(status)) {
        f.Error("configuration descriptor request failed");
        return status;
    }
    ConfigurationInfo info;
    bool good = ParseConfiguration(all, d, info, f);
    {
        std::lock_guard<std::mutex> g(m);
        device = d;
        deviceBytes = bytes;
        configuration = std::move(info);
    }
    return good ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}

void CompositeImpl::ReadStrings(Findings& f) {
    std::vector<uint8_t> languages;
    if (!NT_SUCCESS(GetDescriptor(lower, USB_STRING_DESCRIPTOR_TYPE, 0, 0, MAXIMUM_USB_STRING_LENGTH, languages)) ||
        languages.size() < 2) {
        f.Warn("string descriptor 0 (languages) unavailable");
        return;
    }
    bool english = false;
    for (size_t i = 2; i + 1 < std::min<size_t>(languages.size(), languages[0]); i += 2)
        english |= (languages[i] | (languages[i + 1] << 8)) == 0x0409;
    if (!english) f.Warn("string descriptor 0 does not list language 0x0409; asking for it anyway");

    std::vector<uint8_t> indexes = {device.iManufacturer, device.iProduct, device.iSerialNumber,
                                    configuration.header.iConfiguration};
    for (const InterfaceInfo& i : configuration.interfaces)
        for (const AltSetting& a : i.alternates) indexes.push_back(a.descriptor.iInterface);
    for (const auto& a : configuration.associations) indexes.push_back(a.iFunction);
    std::map<uint8_t, std::u16string> found;
    for (uint8_t index : indexes) {
        if (index == 0 || found.count(index)) continue;
        std::vector<uint8_t> bytes;
        if (!NT_SUCCESS(GetDescriptor(lower, USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, MAXIMUM_USB_STRING_LENGTH, bytes))) {
            f.Warn("string descriptor " + std::to_string(index) + " request failed");
            continue;
        }
        if (bytes.size() < 2 || bytes[1] != USB_STRING_DESCRIPTOR_TYPE || bytes[0] < 2 || bytes[0] > bytes.size()) {
            f.Warn("string descriptor " + std::to_string(index) + " is malformed");
            continue;
        }
        if (bytes[0] % 2) f.Warn("string descriptor " + std::to_string(index) + " has an odd bLength");
        found[index] = DecodeString(bytes);
    }
    std::lock_guard<std::mutex> g(m);
    strings = std::move(found);
}

NTSTATUS CompositeImpl::SelectConfiguration(Findings& f) {
    std::vector<uint8_t> copy = configuration.bytes;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (const InterfaceInfo& i : configuration.interfaces) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i.number, 0, -1, -1, -1);
        if (d) list.push_back({d, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (!urb) {
        f.Error("cannot build the configuration request");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrb(lower, urb);
    if (!NT_SUCCESS(status)) {
        f.Error("the device refused the configuration");
        ExFreePool(urb);
        return status;
    }
    std::map<uint8_t, std::vector<USBD_PIPE_INFORMATION>> found;
    for (size_t k = 0; k + 1 < list.size(); ++k) {
        PUSBD_INTERFACE_INFORMATION info = list[k].Interface;
        const AltSetting* alt = configuration.Alternate(info->InterfaceNumber, 0);
        std::vector<USBD_PIPE_INFORMATION>& p = found[info->InterfaceNumber];
        ULONG count = std::min<ULONG>(info->NumberOfPipes, list[k].InterfaceDescriptor->bNumEndpoints);
        if (info->NumberOfPipes != list[k].InterfaceDescriptor->bNumEndpoints)
            f.Warn("interface " + std::to_string(info->InterfaceNumber) + ": the device reported " +
                   std::to_string(info->NumberOfPipes) + " pipe(s)");
        for (ULONG n = 0; n < count; ++n) {
            p.push_back(info->Pipes[n]);
            bool described = false;
            for (const EndpointInfo& e : alt->endpoints) described |= e.Address() == info->Pipes[n].EndpointAddress;
            if (!described) {
                char text[160];
                snprintf(text, sizeof text, "interface %u was given pipe 0x%02X, which its descriptors do not describe",
                         info->InterfaceNumber, info->Pipes[n].EndpointAddress);
                f.Warn(text);
            }
        }
        if (!info->InterfaceHandle) f.Warn("interface " + std::to_string(info->InterfaceNumber) + " has no handle");
    }
    USBD_CONFIGURATION_HANDLE handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    if (!handle) f.Warn("the configuration selection returned no configuration handle");
    std::lock_guard<std::mutex> g(m);
    configurationHandle = handle;
    selectedConfiguration = std::move(copy);
    pipes = std::move(found);
    return STATUS_SUCCESS;
}

NTSTATUS CompositeImpl::Start() {
    Findings f;
    USB_BUS_INTERFACE_USBDI_V3 bus{};
    if (NT_SUCCESS(QueryBusInterface(lower, bus)) && bus.GetUSBDIVersion) {
        ULONG caps = 0;
        USBD_VERSION_INFORMATION v{};
        bus.GetUSBDIVersion(bus.BusContext, &v, &caps);
        bool hs = bus.Version >= 1 && bus.IsDeviceHighSpeed ? bus.IsDeviceHighSpeed(bus.BusContext) != FALSE : false;
        std::lock_guard<std::mutex> g(m);
        if (hasBusInterface && busInterface.InterfaceDereference) busInterface.InterfaceDereference(busInterface.BusContext);
        hasBusInterface = true;
        busInterface = bus;
        version = v;
        highSpeed = hs;
    } else {
        f.Warn("the device offers no USBDI bus interface");
    }

    NTSTATUS status = ReadDescriptors(f);
    if (NT_SUCCESS(status)) {
        ReadStrings(f);
        status = SelectConfiguration(f);
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> g(m);
            findings = f;
            state = DeviceState::StartFailed;
            startStatus = status;
        }
        std::lock_guard<std::mutex> g(registry().m);
        registry().failures.push_back(StartFailure{device.idVendor, device.idProduct, status, f});
        return status;
    }

    FunctionContext context{lower, &configuration, configurationHandle,
                            reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(selectedConfiguration.data()), gone};
    for (const FunctionInfo& function : configuration.functions) {
        if (function.functionClass == USB_DEVICE_CLASS_VIDEO) {
            if (video) Reconfigure(*video, context);
            else video = CreateVideoFunction(context, function);
        } else if (function.functionClass == USB_DEVICE_CLASS_AUDIO) {
            if (audio) Reconfigure(*audio, context);
            else audio = CreateAudioFunction(context, function);
        } else {
            char text[96];
            snprintf(text, sizeof text, "no function driver for class 0x%02X (interface %u)", function.functionClass,
                     function.interfaces.empty() ? 0 : function.interfaces[0]);
            f.Warn(text);
        }
    }
    std::lock_guard<std::mutex> g(m);
    findings = f;
    state = DeviceState::Started;
    startStatus = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

void CompositeImpl::Quiesce(DeviceState newState) {
    if (newState == DeviceState::SurpriseRemoved || newState == DeviceState::Removed) *gone = true;
    if (video) detail::Quiesce(*video);
    if (audio) detail::Quiesce(*audio);
    std::lock_guard<std::mutex> g(m);
    state = newState;
}

void CompositeImpl::Remove() {
    Quiesce(DeviceState::Removed);
    std::lock_guard<std::mutex> g(m);
    if (hasBusInterface && busInterface.InterfaceDereference) busInterface.InterfaceDereference(busInterface.BusContext);
    hasBusInterface = false;
}

// --- the driver ------------------------------------------------------------------------------
NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the request down and waits for the lower drivers to finish it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

std::shared_ptr<CompositeImpl> Self(PDEVICE_OBJECT device) {
    auto* ext = static_cast<Extension*>(device->DeviceExtension);
    return ext->self ? *ext->self : nullptr;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    std::shared_ptr<CompositeImpl> self = Self(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(self->lower, irp);
        if (NT_SUCCESS(status)) status = self->Start();
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (NT_SUCCESS(status)) {
            {
                std::lock_guard<std::mutex> g(registry().m);
                auto& list = registry().devices;
                if (std::find(list.begin(), list.end(), self) == list.end()) list.push_back(self);
            }
            Notify(self, true);
        }
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        self->Quiesce(DeviceState::Stopped);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(self->lower, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(self->lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        self->Quiesce(DeviceState::SurpriseRemoved);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(self->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        self->Remove();
        bool listed = false;
        {
            std::lock_guard<std::mutex> g(registry().m);
            auto& list = registry().devices;
            auto it = std::find(list.begin(), list.end(), self);
            listed = it != list.end();
            if (listed) list.erase(it);
        }
        if (listed) Notify(self, false);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(self->lower, irp);
        IoDetachDevice(self->lower);
        auto* ext = static_cast<Extension*>(device->DeviceExtension);
        delete ext->self;
        ext->self = nullptr;
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(self->lower, irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    std::shared_ptr<CompositeImpl> self = Self(device);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(self->lower, irp);
}

NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) {
    std::shared_ptr<CompositeImpl> self = Self(device);
    return PassDown(self->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_USB, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto impl = std::make_shared<CompositeImpl>();
    impl->fdo = fdo;
    impl->pdo = pdo;
    impl->lower = lower;
    static_cast<Extension*>(fdo->DeviceExtension)->self = new std::shared_ptr<CompositeImpl>(impl);
    fdo->Flags |= (lower->Flags & DO_POWER_PAGABLE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchPassDown;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace detail

const char* DeviceStateName(DeviceState state) {
    switch (state) {
    case DeviceState::Starting: return "starting";
    case DeviceState::Started: return "started";
    case DeviceState::StartFailed: return "start failed";
    case DeviceState::Stopped: return "stopped";
    case DeviceState::SurpriseRemoved: return "surprise removed";
    case DeviceState::Removed: return "removed";
    }
    return "?";
}

void Install() {
    hk::Machine& machine = hk::Machine::Current();
    {
        std::lock_guard<std::mutex> g(detail::registry().m);
        if (detail::registry().machine == &machine) return;
        detail::registry().machine = &machine;
        detail::registry().failures.clear();
    }
    machine.AddShutdownHook([] {
        std::lock_guard<std::mutex> g(detail::registry().m);
        detail::registry().machine = nullptr;
    });
    hk::pnp::RegisterFunctionDriver("USB\\COMPOSITE", "usbccgp", detail::DriverEntry);
}

std::vector<std::shared_ptr<CompositeDevice>> Devices() {
    std::lock_guard<std::mutex> g(detail::registry().m);
    return {detail::registry().devices.begin(), detail::registry().devices.end()};
}

std::shared_ptr<CompositeDevice> FindDevice(uint16_t vendorId, uint16_t productId) {
    for (auto& d : Devices())
        if (d->DeviceDescriptor().idVendor == vendorId && d->DeviceDescriptor().idProduct == productId) return d;
    return nullptr;
}

std::shared_ptr<CompositeDevice> DeviceFor(PDEVICE_OBJECT pdo) {
    for (auto& d : Devices())
        if (d->Pdo() == pdo) return d;
    return nullptr;
}

std::vector<StartFailure> StartFailures() {
    std::lock_guard<std::mutex> g(detail::registry().m);
    return detail::registry().failures;
}

int Subscribe(DeviceCallback callback) {
    std::lock_guard<std::mutex> g(detail::registry().m);
    int id = detail::registry().nextSubscription++;
    detail::registry().subscribers[id] = std::move(callback);
    return id;
}

void Unsubscribe(int subscription) {
    std::lock_guard<std::mutex> g(detail::registry().m);
    detail::registry().subscribers.erase(subscription);
}

}  // namespace usbclass
