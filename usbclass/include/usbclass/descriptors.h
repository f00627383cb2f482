// Standard USB descriptor parsing and validation, as the host's USB stack
// does it before any class driver sees a device: the device descriptor, the
// configuration set split into interfaces, alternate settings, endpoints and
// the class-specific descriptors that follow each, and the grouping of the
// interfaces into functions (interface associations, and the audio grouping
// for devices that do not use them).
//
// Every check either refuses (an Error finding: the host would not use the
// device or the function) or notes a quirk that hosts tolerate (a Warning).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostkernel/nt_usb.h"

namespace usbclass {

enum class Severity { Warning, Error };

struct Finding {
    Severity severity;
    std::string text;
};

// Findings collected by one validation, in the order they were made.
struct Findings {
    std::vector<Finding> items;

    void Error(std::string text) { items.push_back({Severity::Error, std::move(text)}); }
    void Warn(std::string text) { items.push_back({Severity::Warning, std::move(text)}); }
    bool Ok() const;  // no Error
    size_t Errors() const;
    size_t Warnings() const;
    // True when some finding of that severity contains the text.
    bool Has(Severity severity, const std::string& text) const;
    void Append(const Findings& other) { items.insert(items.end(), other.items.begin(), other.items.end()); }
    std::string Describe() const;  // one line per finding, for logs and test messages
};

// One descriptor of the configuration set, as bytes with its offset.
struct RawDescriptor {
    size_t offset = 0;
    std::vector<uint8_t> bytes;
    uint8_t Length() const { return bytes.empty() ? 0 : bytes[0]; }
    uint8_t Type() const { return bytes.size() < 2 ? 0 : bytes[1]; }
    uint8_t Subtype() const { return bytes.size() < 3 ? 0 : bytes[2]; }
    uint8_t At(size_t i) const { return i < bytes.size() ? bytes[i] : 0; }
    uint16_t Word(size_t i) const { return (uint16_t)(At(i) | (At(i + 1) << 8)); }
    uint32_t Triple(size_t i) const { return (uint32_t)At(i) | ((uint32_t)At(i + 1) << 8) | ((uint32_t)At(i + 2) << 16); }
    uint32_t Dword(size_t i) const { return Triple(i) | ((uint32_t)At(i + 3) << 24); }
};

struct EndpointInfo {
    USB_ENDPOINT_DESCRIPTOR descriptor{};
    RawDescriptor raw;                        // with the audio-class bRefresh/bSynchAddress when present
    std::vector<RawDescriptor> classSpecific;  // descriptors between this endpoint and the next endpoint/interface

    uint8_t Address() const { return descriptor.bEndpointAddress; }
    uint8_t Type() const { return descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK; }
    bool In() const { return (descriptor.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    // Bytes per service interval: the 11-bit size times the high-bandwidth
    // transaction count of bits 11-12 (isochronous and interrupt endpoints).
    uint32_t BytesPerInterval() const;
};

struct AltSetting {
    USB_INTERFACE_DESCRIPTOR descriptor{};
    size_t offset = 0;
    std::vector<RawDescriptor> classSpecific;  // between the interface descriptor and its first endpoint
    std::vector<EndpointInfo> endpoints;
};

struct InterfaceInfo {
    uint8_t number = 0;
    std::vector<AltSetting> alternates;  // in descriptor order
    const AltSetting* Alternate(uint8_t setting) const;
};

struct FunctionInfo {
    uint8_t functionClass = 0;
    uint8_t functionSubClass = 0;
    uint8_t functionProtocol = 0;
    std::vector<uint8_t> interfaces;  // interface numbers, first one first
    bool fromAssociation = false;
};

struct ConfigurationInfo {
    std::vector<uint8_t> bytes;  // wTotalLength bytes, as read from the device
    USB_CONFIGURATION_DESCRIPTOR header{};
    std::vector<InterfaceInfo> interfaces;  // in order of first appearance
    std::vector<USB_INTERFACE_ASSOCIATION_DESCRIPTOR> associations;
    std::vector<FunctionInfo> functions;

    const InterfaceInfo* Interface(uint8_t number) const;
    const AltSetting* Alternate(uint8_t number, uint8_t setting) const;
};

// The device descriptor: 18 bytes, type 1, a control packet size a high-speed
// device may have, at least one configuration.
bool ValidateDeviceDescriptor(const uint8_t* bytes, size_t length, USB_DEVICE_DESCRIPTOR& out, Findings& findings);

// The configuration set as wTotalLength bytes. Splits it, checks the chain,
// the interface and endpoint descriptors, the interface associations, and
// groups the interfaces into functions (needs the device descriptor to know
// whether interface associations are honoured).
bool ParseConfiguration(const std::vector<uint8_t>& bytes, const USB_DEVICE_DESCRIPTOR& device,
                        ConfigurationInfo& out, Findings& findings);

// Hexadecimal dump, 16 bytes a line, for `vhub descriptors` and test messages.
std::string HexDump(const std::vector<uint8_t>& bytes);

}  // namespace usbclass
