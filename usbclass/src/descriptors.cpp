// Standard descriptor validation of the host's USB stack.
#include "usbclass/descriptors.h"

#include "class_parse.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

namespace usbclass {

namespace detail {

// Finding texts are short: a longer one is cut, never overrun.
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

size_t ClassSpecificLength(const std::vector<RawDescriptor>& descriptors) {
    size_t total = 0;
    for (const RawDescriptor& d : descriptors)
        if (d.Type() == CS_INTERFACE) total += d.Length();
    return total;
}

}  // namespace detail

using detail::Format;

namespace {

// Checks of one endpoint descriptor on its own (its place is checked by the walk).
void CheckEndpoint(const EndpointInfo& endpoint, const AltSetting& alt, Findings& findings) {
    const USB_ENDPOINT_DESCRIPTOR& d = endpoint.descriptor;
    std::string where = Format("endpoint 0x%02X of interface %u alternate %u", d.bEndpointAddress,
                               alt.descriptor.bInterfaceNumber, alt.descriptor.bAlternateSetting);
    if ((d.bEndpointAddress & USB_ENDPOINT_ADDRESS_MASK) == 0) {
        findings.Error(where + ": endpoint number 0 is the default control pipe");
        return;
    }
    if (d.bEndpointAddress & 0x70) findings.Error(where + ": reserved address bits set");
    const uint16_t size = d.wMaxPacketSize & 0x7FF;
    const uint16_t mult = (d.wMaxPacketSize >> 11) & 3;
    switch (endpoint.Type()) {
    case USB_ENDPOINT_TYPE_CONTROL:
        findings.Error(where + ": a control endpoint inside an interface");
        break;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
    case USB_ENDPOINT_TYPE_INTERRUPT:
        if (d.wMaxPacketSize & 0xE000) findings.Error(where + Format(": reserved bits of wMaxPacketSize 0x%04X", d.wMaxPacketSize));
        if (mult == 3) findings.Error(where + Format(": wMaxPacketSize 0x%04X asks for a reserved transaction count", d.wMaxPacketSize));
        if (size > 1024) findings.Error(where + Format(": wMaxPacketSize %u above 1024", size));
        // A high-bandwidth endpoint must need its extra transactions.
        if (mult == 1 && (size < 513 || size > 1024))
            findings.Error(where + Format(": two transactions per microframe need 513 to 1024 bytes, not %u", size));
        if (mult == 2 && (size < 683 || size > 1024))
            findings.Error(where + Format(": three transactions per microframe need 683 to 1024 bytes, not %u", size));
        if (d.bInterval < 1 || d.bInterval > 16)
            findings.Error(where + Format(": bInterval %u outside 1 to 16", d.bInterval));
        if (size == 0 && alt.descriptor.bAlternateSetting != 0)
            findings.Warn(where + ": wMaxPacketSize 0");
        if (endpoint.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && alt.descriptor.bAlternateSetting == 0 && size != 0)
            findings.Warn(where + ": alternate setting 0 reserves isochronous bandwidth");
        break;
    case USB_ENDPOINT_TYPE_BULK:
        if (d.wMaxPacketSize != 512) findings.Warn(where + Format(": high-speed bulk wMaxPacketSize %u is not 512", d.wMaxPacketSize));
        break;
    }
}

void FinishAlt(AltSetting* alt, Findings& findings) {
    if (!alt) return;
    size_t declared = alt->descriptor.bNumEndpoints;
    if (alt->endpoints.size() < declared)
        findings.Warn(Format("interface %u alternate %u declares %zu endpoint(s) but %zu endpoint descriptor(s) follow",
                             alt->descriptor.bInterfaceNumber, alt->descriptor.bAlternateSetting, declared,
                             alt->endpoints.size()));
}

// The interfaces an audio-control interface names in its class-specific header.
std::vector<uint8_t> AudioCollection(const AltSetting& control) {
    std::vector<uint8_t> numbers;
    for (const RawDescriptor& d : control.classSpecific) {
        if (d.Type() == 0x24 && d.Subtype() == 0x01 && d.Length() >= 8) {
            uint8_t count = d.At(7);
            for (uint8_t i = 0; i < count && (size_t)8 + i < d.bytes.size(); ++i) numbers.push_back(d.At(8 + i));
            break;
        }
    }
    return numbers;
}

}  // namespace

bool Findings::Ok() const { return Errors() == 0; }

size_t Findings::Errors() const {
    return (size_t)std::count_if(items.begin(), items.end(), [](const Finding& f) { return f.severity == Severity::Error; });
}

size_t Findings::Warnings() const { return items.size() - Errors(); }

bool Findings::Has(Severity severity, const std::string& text) const {
    for (const Finding& f : items)
        if (f.severity == severity && f.text.find(text) != std::string::npos) return true;
    return false;
}

std::string Findings::Describe() const {
    std::string out;
    for (const Finding& f : items) {
        out += f.severity == Severity::Error ? "error: " : "warning: ";
        out += f.text;
        out += '\n';
    }
    return out;
}

uint32_t EndpointInfo::BytesPerInterval() const {
    uint32_t size = descriptor.wMaxPacketSize & 0x7FF;
    uint32_t type = Type();
    if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT)
        return size * ((((uint32_t)descriptor.wMaxPacketSize >> 11) & 3) + 1);
    return descriptor.wMaxPacketSize;
}

const AltSetting* InterfaceInfo::Alternate(uint8_t setting) const {
    for (const AltSetting& alt : alternates)
        if (alt.descriptor.bAlternateSetting == setting) return &alt;
    return nullptr;
}

const InterfaceInfo* ConfigurationInfo::Interface(uint8_t number) const {
    for (const InterfaceInfo& i : interfaces)
        if (i.number == number) return &i;
    return nullptr;
}

const AltSetting* ConfigurationInfo::Alternate(uint8_t number, uint8_t setting) const {
    const InterfaceInfo* i = Interface(number);
    return i ? i->Alternate(setting) : nullptr;
}

bool ValidateDeviceDescriptor(const uint8_t* bytes, size_t length, USB_DEVICE_DESCRIPTOR& out, Findings& findings) {
    size_t before = findings.Errors();
    if (!bytes || length < sizeof(USB_DEVICE_DESCRIPTOR)) {
        findings.Error(Format("device descriptor: %zu bytes returned, 18 needed", length));
        return false;
    }
    std::memcpy(&out, bytes, sizeof out);
    if (out.bLength != sizeof(USB_DEVICE_DESCRIPTOR)) findings.Error(Format("device descriptor: bLength %u, not 18", out.bLength));
    if (out.bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE)
        findings.Error(Format("device descriptor: bDescriptorType %u, not 1", out.bDescriptorType));
    if (out.bMaxPacketSize0 != 8 && out.bMaxPacketSize0 != 16 && out.bMaxPacketSize0 != 32 && out.bMaxPacketSize0 != 64)
        findings.Error(Format("device descriptor: bMaxPacketSize0 %u", out.bMaxPacketSize0));
    else if (out.bMaxPacketSize0 != 64)
        findings.Warn(Format("device descriptor: a high-speed device has bMaxPacketSize0 64, not %u", out.bMaxPacketSize0));
    if (out.bNumConfigurations == 0) findings.Error("device descriptor: no configuration");
    if (out.bcdUSB < 0x0200) findings.Warn(Format("device descriptor: bcdUSB 0x%04X below 2.00 on a high-speed bus", out.bcdUSB));
    if (out.bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS && (out.bDeviceSubClass != 0x02 || out.bDeviceProtocol != 0x01))
        findings.Warn(Format("device descriptor: class 0xEF with subclass 0x%02X protocol 0x%02X",
                             out.bDeviceSubClass, out.bDeviceProtocol));
    return findings.Errors() == before;
}

bool ParseConfiguration(const std::vector<uint8_t>& bytes, const USB_DEVICE_DESCRIPTOR& device,
                        ConfigurationInfo& out, Findings& findings) {
    size_t before = findings.Errors();
    out = ConfigurationInfo{};
    out.bytes = bytes;
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        findings.Error(Format("configuration descriptor: %zu bytes, 9 needed", bytes.size()));
        return false;
    }
    std::memcpy(&out.header, bytes.data(), sizeof out.header);
    const USB_CONFIGURATION_DESCRIPTOR& h = out.header;
    if (h.bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        findings.Error(Format("configuration descriptor: bLength %u, not 9", h.bLength));
        return false;
    }
    if (h.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        findings.Error(Format("configuration descriptor: bDescriptorType %u, not 2", h.bDescriptorType));
        return false;
    }
    if (h.wTotalLength != bytes.size()) {
        findings.Error(Format("configuration descriptor: wTotalLength %u but %zu bytes read", h.wTotalLength, bytes.size()));
        return false;
    }
    if (h.bNumInterfaces == 0) findings.Error("configuration descriptor: bNumInterfaces 0");
    if (!(h.bmAttributes & 0x80)) findings.Warn("configuration descriptor: bmAttributes bit 7 clear");
    if (h.bmAttributes & USB_CONFIG_RESERVED) findings.Warn(Format("configuration descriptor: reserved bmAttributes bits 0x%02X", h.bmAttributes));

    // Walk the chain.
    AltSetting* alt = nullptr;  // the alternate setting descriptors are being attached to
    struct PendingAssociation {
        USB_INTERFACE_ASSOCIATION_DESCRIPTOR d;
        size_t offset;
    };
    std::vector<PendingAssociation> associations;
    bool associationWaits = false;  // an association must be followed by its first interface
    uint8_t associationFirst = 0;
    size_t offset = h.bLength;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 2) {
            findings.Error(Format("descriptor header at offset %zu runs past wTotalLength", offset));
            break;
        }
        uint8_t length = bytes[offset];
        uint8_t type = bytes[offset + 1];
        if (length == 0) {
            findings.Error(Format("descriptor at offset %zu has bLength 0", offset));
            break;
        }
        if (length < 2) {
            findings.Error(Format("descriptor at offset %zu has bLength %u", offset, length));
            break;
        }
        if (offset + length > bytes.size()) {
            findings.Error(Format("descriptor at offset %zu (bLength %u) runs past wTotalLength %zu", offset, length, bytes.size()));
            break;
        }
        RawDescriptor raw;
        raw.offset = offset;
        raw.bytes.assign(bytes.begin() + (ptrdiff_t)offset, bytes.begin() + (ptrdiff_t)(offset + length));

        if (associationWaits && type != USB_INTERFACE_DESCRIPTOR_TYPE) {
            findings.Error(Format("interface association at offset %zu is not followed by interface %u",
                                  associations.back().offset, associationFirst));
            associationWaits = false;
        }

        switch (type) {
        case USB_INTERFACE_DESCRIPTOR_TYPE: {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                findings.Error(Format("interface descriptor at offset %zu: bLength %u, not 9", offset, length));
                alt = nullptr;
                break;
            }
            FinishAlt(alt, findings);
            USB_INTERFACE_DESCRIPTOR d;
            std::memcpy(&d, raw.bytes.data(), sizeof d);
            if (associationWaits && d.bInterfaceNumber != associationFirst)
                findings.Error(Format("interface association at offset %zu names first interface %u but interface %u follows",
                                      associations.back().offset, associationFirst, d.bInterfaceNumber));
            associationWaits = false;
            InterfaceInfo* info = nullptr;
            for (InterfaceInfo& i : out.interfaces)
                if (i.number == d.bInterfaceNumber) info = &i;
            if (!info) {
                out.interfaces.push_back(InterfaceInfo{});
                info = &out.interfaces.back();
                info->number = d.bInterfaceNumber;
            } else if (info->Alternate(d.bAlternateSetting)) {
                findings.Error(Format("interface %u alternate %u described twice (offset %zu)", d.bInterfaceNumber,
                                      d.bAlternateSetting, offset));
                alt = nullptr;
                break;
            }
            info->alternates.push_back(AltSetting{});
            alt = &info->alternates.back();
            alt->descriptor = d;
            alt->offset = offset;
            break;
        }
        case USB_ENDPOINT_DESCRIPTOR_TYPE: {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                findings.Error(Format("endpoint descriptor at offset %zu: bLength %u, below 7", offset, length));
                break;
            }
            if (!alt) {
                findings.Error(Format("endpoint descriptor at offset %zu outside any interface", offset));
                break;
            }
            EndpointInfo endpoint;
            std::memcpy(&endpoint.descriptor, raw.bytes.data(), sizeof endpoint.descriptor);
            endpoint.raw = raw;
            if (alt->endpoints.size() >= alt->descriptor.bNumEndpoints) {
                findings.Error(Format("interface %u alternate %u: endpoint 0x%02X beyond its %u declared endpoint(s)",
                                      alt->descriptor.bInterfaceNumber, alt->descriptor.bAlternateSetting,
                                      endpoint.Address(), alt->descriptor.bNumEndpoints));
                break;
            }
            for (const EndpointInfo& other : alt->endpoints)
                if (other.Address() == endpoint.Address())
                    findings.Error(Format("interface %u alternate %u: endpoint 0x%02X described twice",
                                          alt->descriptor.bInterfaceNumber, alt->descriptor.bAlternateSetting,
                                          endpoint.Address()));
            CheckEndpoint(endpoint, *alt, findings);
            alt->endpoints.push_back(std::move(endpoint));
            break;
        }
        case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE: {
            if (length < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
                findings.Error(Format("interface association at offset %zu: bLength %u, not 8", offset, length));
                break;
            }
            PendingAssociation a;
            std::memcpy(&a.d, raw.bytes.data(), sizeof a.d);
            a.offset = offset;
            associations.push_back(a);
            associationWaits = true;
            associationFirst = a.d.bFirstInterface;
            FinishAlt(alt, findings);
            alt = nullptr;
            break;
        }
        case USB_DEVICE_DESCRIPTOR_TYPE:
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        case USB_STRING_DESCRIPTOR_TYPE:
            findings.Error(Format("descriptor of type %u inside the configuration set (offset %zu)", type, offset));
            break;
        default:
            if (!alt) {
                findings.Warn(Format("descriptor of type 0x%02X at offset %zu belongs to no interface", type, offset));
            } else if (!alt->endpoints.empty()) {
                alt->endpoints.back().classSpecific.push_back(raw);
            } else {
                alt->classSpecific.push_back(raw);
            }
            break;
        }
        offset += length;
    }
    if (associationWaits)
        findings.Error(Format("interface association at offset %zu ends the configuration", associations.back().offset));
    FinishAlt(alt, findings);

    // Interfaces.
    if (out.interfaces.size() != h.bNumInterfaces)
        findings.Error(Format("configuration declares %u interface(s) but describes %zu", h.bNumInterfaces,
                              out.interfaces.size()));
    for (const InterfaceInfo& i : out.interfaces) {
        if (i.number >= h.bNumInterfaces)
            findings.Error(Format("interface number %u not below bNumInterfaces %u", i.number, h.bNumInterfaces));
        if (!i.Alternate(0)) findings.Error(Format("interface %u has no alternate setting 0", i.number));
    }

    // Interface associations.
    std::set<uint8_t> associated;
    for (const PendingAssociation& a : associations) {
        if (a.d.bInterfaceCount == 0) {
            findings.Error(Format("interface association at offset %zu covers no interface", a.offset));
            continue;
        }
        FunctionInfo function;
        function.functionClass = a.d.bFunctionClass;
        function.functionSubClass = a.d.bFunctionSubClass;
        function.functionProtocol = a.d.bFunctionProtocol;
        function.fromAssociation = true;
        bool good = true;
        for (unsigned n = a.d.bFirstInterface; n < (unsigned)a.d.bFirstInterface + a.d.bInterfaceCount; ++n) {
            if (n > 0xFF || !out.Interface((uint8_t)n)) {
                findings.Error(Format("interface association at offset %zu names interface %u, which is not described",
                                      a.offset, n));
                good = false;
                break;
            }
            if (!associated.insert((uint8_t)n).second) {
                findings.Error(Format("interface %u belongs to two interface associations", n));
                good = false;
                break;
            }
            function.interfaces.push_back((uint8_t)n);
        }
        out.associations.push_back(a.d);
        if (good) out.functions.push_back(function);
    }
    bool associationsHonoured = device.bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS && device.bDeviceSubClass == 0x02 &&
                                device.bDeviceProtocol == 0x01;
    if (!associations.empty() && !associationsHonoured) {
        findings.Warn("interface associations ignored: the device descriptor does not announce them (class 0xEF/0x02/0x01)");
        out.functions.clear();
        associated.clear();
    }

    // Interfaces outside associations: an audio-control interface takes the
    // streaming interfaces its header names; every other one stands alone.
    for (const InterfaceInfo& i : out.interfaces) {
        if (associated.count(i.number)) continue;
        const AltSetting* a0 = i.Alternate(0);
        if (!a0) continue;
        FunctionInfo function;
        function.functionClass = a0->descriptor.bInterfaceClass;
        function.functionSubClass = a0->descriptor.bInterfaceSubClass;
        function.functionProtocol = a0->descriptor.bInterfaceProtocol;
        function.interfaces.push_back(i.number);
        associated.insert(i.number);
        if (a0->descriptor.bInterfaceClass == USB_DEVICE_CLASS_AUDIO && a0->descriptor.bInterfaceSubClass == 0x01) {
            for (uint8_t member : AudioCollection(*a0)) {
                if (associated.count(member) || !out.Interface(member)) continue;
                function.interfaces.push_back(member);
                associated.insert(member);
            }
        }
        out.functions.push_back(function);
    }
    return findings.Errors() == before;
}

std::string HexDump(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 16) {
        out += Format("%04zx ", i);
        for (size_t j = i; j < i + 16 && j < bytes.size(); ++j) out += Format(" %02X", bytes[j]);
        out += '\n';
    }
    return out;
}

}  // namespace usbclass
