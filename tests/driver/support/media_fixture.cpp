#include "support/media_fixture.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "hk/io.h"

namespace media {
namespace {

NTSTATUS NTAPI RouteInternal(PDEVICE_OBJECT device, PIRP irp) {
    // A request sent to the bus itself goes to the camera's dispatcher, as a
    // misrouted one would, so that its extension check can be seen.
    if (((PCOMMON_DEVICE_DATA)device->DeviceExtension)->IsFDO) return MicDispatch(device, irp);
    PPDO_DEVICE_DATA child = (PPDO_DEVICE_DATA)device->DeviceExtension;
    return child->UrbDispatch(device, irp);
}

NTSTATUS NTAPI RouteControl(PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BULKUSB_WRITE_PCM: return VhubWritePCM(device, irp);
    case IOCTL_BULKUSB_WRITE_TOUCH: return BulkUsb_WriteTouch(device, irp);
    case IOCTL_BULKUSB_READ_RAW_DATA: return BulkUsb_ReadRawData(device, irp);
    case IOCTL_BULKUSB_Read_PCM: return VhubReadPCM(device, irp);
    case IOCTL_BULKUSB_WRITE_YUV2: return VhubWriteYuv2(device, irp);
    case IOCTL_BULKUSB_READ_VIDEOINDEX: return BulkUsb_ReadVideoIndex(device, irp);
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI BenchDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RouteInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UsbDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    UsbRequest* request = static_cast<UsbRequest*>(context);
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    request->completions.fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI AppDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    AppRequest* request = static_cast<AppRequest*>(context);
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;
    request->completions.fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::unique_ptr<UsbRequest> NewRequest(size_t urb_bytes, USHORT function) {
    auto request = std::make_unique<UsbRequest>();
    request->urb_storage.assign((urb_bytes + 7) / 8, 0);
    request->urb()->UrbHeader.Length = (USHORT)urb_bytes;
    request->urb()->UrbHeader.Function = function;
    return request;
}

void SetHandleField(PURB urb, ULONG_PTR value) {
    std::memcpy(reinterpret_cast<uint8_t*>(urb) + sizeof(_URB_HEADER), &value, sizeof value);
}

}  // namespace

bool UsbRequest::CancelAndWait() {
    if (!completed()) IoCancelIrp(irp);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!completed() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return completed();
}

UsbRequest::~UsbRequest() {
    if (irp == nullptr) return;
    if (CancelAndWait()) {
        IoFreeIrp(irp);
    } else {
        ADD_FAILURE() << "a URB request was still pending after its cancellation";
    }
}

AppRequest::~AppRequest() {
    if (irp != nullptr && completions.load() > 0) IoFreeIrp(irp);
}

std::unique_ptr<UsbRequest> IsoTransfer(UCHAR endpoint, ULONG packets, ULONG packet_size) {
    size_t bytes = FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    auto request = NewRequest(bytes, URB_FUNCTION_ISOCH_TRANSFER);
    request->data.assign((size_t)packets * packet_size, 0xEE);
    _URB_ISOCH_TRANSFER& iso = request->iso();
    iso.PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(endpoint | (1u << 8) | (1u << 16));
    iso.TransferFlags = (endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0;
    iso.TransferBufferLength = packets * packet_size;
    iso.TransferBuffer = request->data.data();
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
        iso.IsoPacket[i].Offset = i * packet_size;
        iso.IsoPacket[i].Length = 0xABAB;
        iso.IsoPacket[i].Status = 0x12345678;
    }
    return request;
}

std::unique_ptr<UsbRequest> DescriptorRequest(UCHAR type, UCHAR index, USHORT language, ULONG length,
                                              ULONG_PTR handle_field) {
    auto request = NewRequest(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    request->data.assign(length, 0xEE);
    _URB_CONTROL_DESCRIPTOR_REQUEST& req = request->urb()->UrbControlDescriptorRequest;
    SetHandleField(request->urb(), handle_field);
    req.TransferBufferLength = length;
    req.TransferBuffer = length ? request->data.data() : nullptr;
    req.DescriptorType = type;
    req.Index = index;
    req.LanguageId = language;
    return request;
}

std::unique_ptr<UsbRequest> ClassRequest(UCHAR code, USHORT value, USHORT index, ULONG length) {
    auto request = NewRequest(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), URB_FUNCTION_CLASS_INTERFACE);
    request->data.assign(length, 0xEE);
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& req = request->urb()->UrbControlVendorClassRequest;
    req.TransferBufferLength = length;
    req.TransferBuffer = length ? request->data.data() : nullptr;
    req.Request = code;
    req.Value = value;
    req.Index = index;
    return request;
}

std::unique_ptr<UsbRequest> SimpleUrb(USHORT function, ULONG_PTR handle_field) {
    auto request = NewRequest(sizeof(_URB_PIPE_REQUEST), function);
    SetHandleField(request->urb(), handle_field);
    return request;
}

std::unique_ptr<UsbRequest> SelectConfiguration(const std::vector<uint8_t>& config,
                                                const std::vector<UCHAR>& pipes_per_interface) {
    const size_t header = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface);
    size_t bytes = header;
    for (UCHAR pipes : pipes_per_interface) bytes += 24 + 24 * pipes;
    auto request = NewRequest(bytes, URB_FUNCTION_SELECT_CONFIGURATION);
    request->data = config;
    request->urb()->UrbSelectConfiguration.ConfigurationDescriptor =
        (PUSB_CONFIGURATION_DESCRIPTOR)request->data.data();
    uint8_t* block = reinterpret_cast<uint8_t*>(request->urb()) + header;
    UCHAR number = 0;
    for (UCHAR pipes : pipes_per_interface) {
        auto* intf = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(block);
        intf->Length = (USHORT)(24 + 24 * pipes);
        intf->InterfaceNumber = number++;
        intf->AlternateSetting = 0;
        intf->NumberOfPipes = pipes;
        block += 24 + 24 * pipes;
    }
    return request;
}

std::unique_ptr<UsbRequest> SelectInterface(UCHAR interface_number, UCHAR alternate, UCHAR pipes,
                                            ULONG_PTR interface_handle) {
    size_t bytes = FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface) + 24 + 24 * pipes;
    auto request = NewRequest(bytes, URB_FUNCTION_SELECT_INTERFACE);
    USBD_INTERFACE_INFORMATION& intf = request->urb()->UrbSelectInterface.Interface;
    intf.Length = (USHORT)(24 + 24 * pipes);
    intf.InterfaceNumber = interface_number;
    intf.AlternateSetting = alternate;
    intf.NumberOfPipes = pipes;
    intf.InterfaceHandle = (USBD_INTERFACE_HANDLE)interface_handle;
    return request;
}

hk::Machine::Options Bench::DefaultOptions() {
    hk::Machine::Options options;
    options.clock = hk::ClockMode::Virtual;
    return options;
}

Bench::Bench(hk::Machine::Options options) : machine_(std::make_unique<hk::Machine>(options)) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hk::io::DriverOptions driver_options;
    driver_options.pool_tags = {VHUB_POOL_TAG, VHUB_PCM_POOL_TAG};
    driver_ = hk::io::LoadDriver("mediabench", BenchDriverEntry, &status, driver_options);
    if (driver_ == nullptr) {
        ADD_FAILURE() << "LoadDriver failed " << std::hex << status;
        return;
    }
    CreateDevices();
}

void Bench::CreateDevices() {
    NTSTATUS status = IoCreateDevice(driver_, sizeof(FDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &bus_);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PFDO_DEVICE_DATA bus = ext();
    RtlZeroMemory(bus, sizeof *bus);
    bus->Common.IsFDO = 1;
    bus->Self = bus_;
    InitializeListHead(&bus->CameraIrpList);
    KeInitializeSpinLock(&bus->CameraIrpLock);
    InitializeListHead(&bus->MicIrpList);
    KeInitializeSpinLock(&bus->MicIrpLock);
    bus->curr_format_index = 0;
    bus->curr_frame_index = 3;
    InitializeListHead(&bus->SpeakerIrpList);
    KeInitializeSpinLock(&bus->SpeakerIrpLock);
    InitializeListHead(&bus->SpeakerPcmList);
    KeInitializeSpinLock(&bus->SpeakerPcmLock);
    bus->LastPcmWriteTime = QueryTickMilliseconds();
    InitializeListHead(&bus->FreeFrameList);
    KeInitializeSpinLock(&bus->FreeFrameLock);
    InitializeListHead(&bus->PendingFrameList);
    KeInitializeSpinLock(&bus->PendingFrameLock);
    KeInitializeSpinLock(&bus->SlotLock);
    KeInitializeEvent(&bus->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&bus->RawDataEvent, NotificationEvent, FALSE);
    bus_->Flags &= ~DO_DEVICE_INITIALIZING;

    struct ChildKind {
        PDEVICE_OBJECT* slot;
        USHORT vendor, product;
        PURB_DISPATCH_ROUTINE dispatch;
    } kinds[] = {
        {&camera_, VHUB_CAMERA_VENDOR_ID, VHUB_CAMERA_PRODUCT_ID, MicDispatch},
        {&audio_, VHUB_AUDIO_VENDOR_ID, VHUB_AUDIO_PRODUCT_ID, MicDispatchSound},
    };
    ULONG index = 0;
    for (const ChildKind& kind : kinds) {
        status = IoCreateDevice(driver_, sizeof(PDO_DEVICE_DATA), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                FILE_AUTOGENERATED_DEVICE_NAME, FALSE, kind.slot);
        ASSERT_EQ(status, STATUS_SUCCESS);
        PDEVICE_OBJECT pdo = *kind.slot;
        PPDO_DEVICE_DATA c = child(pdo);
        RtlZeroMemory(c, sizeof *c);
        c->ParentFdo = bus_;
        c->Self = pdo;
        c->SlotIndex = index;
        c->UrbDispatch = kind.dispatch;
        c->VendorId = kind.vendor;
        c->ProductId = kind.product;
        c->Revision = VHUB_CHILD_REVISION;
        c->BusExtension = bus;
        c->Present = 1;
        c->state = STATE_STARTED;
        bus->ChildPdo[index++] = pdo;
        pdo->StackSize = (CCHAR)(bus_->StackSize + 1);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
}

Bench::~Bench() {
    if (bus_ != nullptr) {
        // What removal does: the pacing thread ends and the records go.
        StopDataThread(ext());
        for (PDEVICE_OBJECT pdo : {camera_, audio_}) {
            if (pdo == nullptr) continue;
            PPDO_DEVICE_DATA c = child(pdo);
            if (c->SelectedConfig) ExFreePool(c->SelectedConfig);
            if (c->ConfigDescriptorCopy) ExFreePool(c->ConfigDescriptorCopy);
            IoDeleteDevice(pdo);
        }
        IoDeleteDevice(bus_);
    }
    if (driver_ != nullptr) hk::io::UnloadDriver("mediabench");
    machine_.reset();
}

void Bench::SetDriverName(const std::string& bytes) {
    RtlZeroMemory(ext()->DriverName, sizeof ext()->DriverName);
    std::memcpy(ext()->DriverName, bytes.data(), std::min(bytes.size(), sizeof ext()->DriverName));
}

NTSTATUS Bench::Submit(PDEVICE_OBJECT target, UsbRequest& request, ULONG code) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = request.urb();
    IoSetCompletionRoutine(irp, UsbDone, &request, TRUE, TRUE, TRUE);
    request.irp = irp;
    if (request.cancel_before_submit) irp->Cancel = TRUE;
    request.returned = IoCallDriver(target, irp);
    return request.returned;
}

NTSTATUS Bench::Control(ULONG code, const void* input, ULONG input_length, void* output, ULONG output_length,
                        AppRequest& request) {
    PIRP irp = IoAllocateIrp(bus_->StackSize, FALSE);
    irp->RequestorMode = UserMode;
    irp->UserBuffer = output;
    if ((code & 3) == METHOD_BUFFERED) irp->AssociatedIrp.SystemBuffer = const_cast<void*>(input);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = input_length;
    next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    IoSetCompletionRoutine(irp, AppDone, &request, TRUE, TRUE, TRUE);
    request.irp = irp;
    request.returned = IoCallDriver(bus_, irp);
    return request.returned;
}

NTSTATUS Bench::Control(ULONG code, const void* input, ULONG input_length, void* output, ULONG output_length) {
    AppRequest request;
    Control(code, input, input_length, output, output_length, request);
    EXPECT_EQ(request.completions.load(), 1);
    EXPECT_EQ(request.status, request.returned);
    return request.status;
}

std::vector<uint8_t> Bench::CameraConfig() {
    PUSB_CONFIGURATION_DESCRIPTOR block = Camera::Touch_GetConfigrationDescriptor();
    std::vector<uint8_t> bytes((uint8_t*)block, (uint8_t*)block + block->wTotalLength);
    ExFreePool(block);
    return bytes;
}

std::vector<uint8_t> Bench::AudioConfig() {
    PUSB_CONFIGURATION_DESCRIPTOR block = Audio::Touch_GetConfigrationDescriptor();
    std::vector<uint8_t> bytes((uint8_t*)block, (uint8_t*)block + block->wTotalLength);
    ExFreePool(block);
    return bytes;
}

void Bench::ConfigureCamera() {
    auto select = SelectConfiguration(CameraConfig(), {1, 0});
    ASSERT_EQ(Submit(camera_, *select), STATUS_SUCCESS);
}

void Bench::ConfigureAudio() {
    auto select = SelectConfiguration(AudioConfig(), {1, 0, 0});
    ASSERT_EQ(Submit(audio_, *select), STATUS_SUCCESS);
}

void Bench::SelectAlternate(PDEVICE_OBJECT target, UCHAR interface_number, UCHAR alternate) {
    auto select = SelectInterface(interface_number, alternate, 1);
    ASSERT_EQ(Submit(target, *select), STATUS_SUCCESS);
}

void Bench::StartPacing() {
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadProc, ext()),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ext()->DataReadThread = thread;
    ZwClose(handle);
}

void Bench::StopPacing() { StopDataThread(ext()); }

std::vector<Payload> Payloads(UsbRequest& transfer) {
    std::vector<Payload> out;
    _URB_ISOCH_TRANSFER& iso = transfer.iso();
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& p = iso.IsoPacket[i];
        if (p.Status != USBD_STATUS_SUCCESS || p.Length == 0 || p.Length == 0xABAB) continue;
        out.push_back({p.Length, transfer.data[p.Offset + 1]});
    }
    return out;
}

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> v(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = (uint8_t)(x >> 16);
    }
    return v;
}

}  // namespace media
