// The host back end: the application's side of hostkernel's I/O manager.
// Requests are built as NtDeviceIoControlFile builds them (one system
// buffer for METHOD_BUFFERED; the caller's own pointers, as user memory, for
// METHOD_NEITHER) and sent from the calling thread, so the driver's
// METHOD_NEITHER handlers run in "the application's" context as on Windows.
// The request's NTSTATUS and Information come back exactly.
#include "hk/io.h"
#include "vhub/sdk.h"

namespace vhub {
namespace sdk {
namespace {

class HostTransport : public Transport {
public:
    ~HostTransport() override { Close(); }

    std::vector<std::string> FindInterfaces(const Guid& interface_class) override {
        GUID guid;
        guid.Data1 = interface_class.data1;
        guid.Data2 = interface_class.data2;
        guid.Data3 = interface_class.data3;
        for (int i = 0; i < 8; ++i) guid.Data4[i] = interface_class.data4[i];
        std::vector<std::string> paths;
        for (const std::u16string& link : hk::io::FindInterfaces(guid)) paths.push_back(hk::io::Narrow(link));
        return paths;
    }

    int32_t Open(const std::string& path) override {
        Close();
        hk::io::Handle h = nullptr;
        NTSTATUS status = hk::io::Open(path, &h);
        if (NT_SUCCESS(status)) handle_ = h;
        return status;
    }

    bool IsOpen() const override { return handle_ != nullptr; }

    Result Control(uint32_t code, const void* in, uint32_t in_length, void* out,
                   uint32_t out_length) override {
        Result r;
        if (!handle_) {
            r.status = kStatusInvalidHandle;
            return r;
        }
        ULONG bytes = 0;
        r.status = hk::io::DeviceIoControl(handle_, code, in, in_length, out, out_length, &bytes);
        r.bytes = bytes;
        return r;
    }

    void Close() override {
        if (handle_) {
            hk::io::Close(handle_);
            handle_ = nullptr;
        }
    }

private:
    hk::io::Handle handle_ = nullptr;
};

}  // namespace

std::unique_ptr<Transport> MakeDefaultTransport() { return std::make_unique<HostTransport>(); }

}  // namespace sdk
}  // namespace vhub
