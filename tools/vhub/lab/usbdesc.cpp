#include "lab/usbdesc.h"

#include <cstdio>
#include <sstream>

namespace vhublab {
namespace {

struct Out {
  std::ostringstream s;
  void Field(int indent, const char* name, uint64_t value, int hexdigits, const std::string& note = {}) {
    char buf[128];
    if (hexdigits)
      std::snprintf(buf, sizeof buf, "%*s%-22s 0x%0*llx", indent, "", name, hexdigits, (unsigned long long)value);
    else
      std::snprintf(buf, sizeof buf, "%*s%-22s %llu", indent, "", name, (unsigned long long)value);
    s << buf;
    if (!note.empty()) s << " " << note;
    s << "\n";
  }
  void Line(int indent, const std::string& text) { s << std::string(size_t(indent), ' ') << text << "\n"; }
};

uint32_t Le(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::string Str(const DescriptorSet& d, uint8_t index) {
  if (!index) return {};
  auto it = d.strings.find(index);
  return it == d.strings.end() ? std::string() : it->second;
}

std::string Guid(const uint8_t* p) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Le(p, 4), Le(p + 4, 2),
                Le(p + 6, 2), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  return buf;
}

std::string Bcd(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x.%02x", v >> 8, v & 0xFF);
  return buf;
}

void Raw(Out& o, int indent, const uint8_t* p, size_t n, size_t from) {
  for (size_t i = from; i < n; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "byte[%zu]", i);
    o.Field(indent, name, p[i], 2);
  }
}

void VideoControl(Out& o, const uint8_t* p, size_t n) {
  const uint8_t sub = p[2];
  const int I = 8;
  switch (sub) {
    case 0x01:
      o.Line(6, "VideoControl Interface Descriptor: HEADER");
      if (n < 12) break;
      o.Field(I, "bcdUVC", Le(p + 3, 2), 0, Bcd(Le(p + 3, 2)));
      o.Field(I, "wTotalLength", Le(p + 5, 2), 4);
      o.Field(I, "dwClockFrequency", Le(p + 7, 4), 0, "Hz");
      o.Field(I, "bInCollection", p[11], 0);
      for (size_t i = 12; i < n; ++i) o.Field(I, "baInterfaceNr", p[i], 0);
      return;
    case 0x02:
      o.Line(6, "VideoControl Interface Descriptor: INPUT_TERMINAL");
      if (n < 8) break;
      o.Field(I, "bTerminalID", p[3], 0);
      o.Field(I, "wTerminalType", Le(p + 4, 2), 4, Le(p + 4, 2) == 0x0201 ? "Camera Sensor" : "");
      o.Field(I, "bAssocTerminal", p[6], 0);
      o.Field(I, "iTerminal", p[7], 0);
      if (Le(p + 4, 2) == 0x0201 && n >= 15) {
        o.Field(I, "wObjectiveFocalLengthMin", Le(p + 8, 2), 0);
        o.Field(I, "wObjectiveFocalLengthMax", Le(p + 10, 2), 0);
        o.Field(I, "wOcularFocalLength", Le(p + 12, 2), 0);
        o.Field(I, "bControlSize", p[14], 0);
        uint32_t c = 0;
        for (size_t i = 0; i < p[14] && 15 + i < n; ++i) c |= uint32_t(p[15 + i]) << (8 * i);
        o.Field(I, "bmControls", c, 8);
        static const char* kNames[] = {"Scanning Mode", "Auto-Exposure Mode", "Auto-Exposure Priority",
                                       "Exposure Time (Absolute)", "Exposure Time (Relative)",
                                       "Focus (Absolute)", "Focus (Relative)", "Iris (Absolute)"};
        for (int b = 0; b < 8; ++b)
          if (c & (1u << b)) o.Line(I + 2, kNames[b]);
      }
      return;
    case 0x03:
      o.Line(6, "VideoControl Interface Descriptor: OUTPUT_TERMINAL");
      if (n < 9) break;
      o.Field(I, "bTerminalID", p[3], 0);
      o.Field(I, "wTerminalType", Le(p + 4, 2), 4, Le(p + 4, 2) == 0x0101 ? "USB Streaming" : "");
      o.Field(I, "bAssocTerminal", p[6], 0);
      o.Field(I, "bSourceID", p[7], 0);
      o.Field(I, "iTerminal", p[8], 0);
      return;
    case 0x05: {
      o.Line(6, "VideoControl Interface Descriptor: PROCESSING_UNIT");
      if (n < 8) break;
      o.Field(I, "bUnitID", p[3], 0);
      o.Field(I, "bSourceID", p[4], 0);
      o.Field(I, "wMaxMultiplier", Le(p + 5, 2), 0);
      o.Field(I, "bControlSize", p[7], 0);
      uint32_t c = 0;
      for (size_t i = 0; i < p[7] && 8 + i < n; ++i) c |= uint32_t(p[8 + i]) << (8 * i);
      o.Field(I, "bmControls", c, 8);
      static const char* kNames[] = {"Brightness", "Contrast", "Hue", "Saturation", "Sharpness", "Gamma",
                                     "White Balance Temperature", "White Balance Component",
                                     "Backlight Compensation", "Gain", "Power Line Frequency", "Hue, Auto",
                                     "White Balance Temperature, Auto", "White Balance Component, Auto",
                                     "Digital Multiplier", "Digital Multiplier Limit"};
      for (int b = 0; b < 16; ++b)
        if (c & (1u << b)) o.Line(I + 2, kNames[b]);
      if (size_t(8) + p[7] < n) o.Field(I, "iProcessing", p[8 + p[7]], 0);
      return;
    }
    case 0x06: {
      o.Line(6, "VideoControl Interface Descriptor: EXTENSION_UNIT");
      if (n < 22) break;
      o.Field(I, "bUnitID", p[3], 0);
      o.Line(I, "guidExtensionCode      " + Guid(p + 4));
      o.Field(I, "bNumControls", p[20], 0);
      o.Field(I, "bNrInPins", p[21], 0);
      size_t at = 22;
      for (int i = 0; i < p[21] && at < n; ++i, ++at) o.Field(I, "baSourceID", p[at], 0);
      if (at < n) {
        const uint8_t size = p[at++];
        o.Field(I, "bControlSize", size, 0);
        uint32_t c = 0;
        for (int i = 0; i < size && at < n; ++i, ++at) c |= uint32_t(p[at]) << (8 * i);
        o.Field(I, "bmControls", c, 8);
      }
      if (at < n) o.Field(I, "iExtension", p[at], 0);
      return;
    }
    default:
      o.Line(6, "VideoControl Interface Descriptor: subtype " + std::to_string(sub));
      break;
  }
  Raw(o, I, p, n, 3);
}

void VideoStreaming(Out& o, const uint8_t* p, size_t n) {
  const uint8_t sub = p[2];
  const int I = 8;
  switch (sub) {
    case 0x01:
      o.Line(6, "VideoStreaming Interface Descriptor: INPUT_HEADER");
      if (n < 13) break;
      o.Field(I, "bNumFormats", p[3], 0);
      o.Field(I, "wTotalLength", Le(p + 4, 2), 4);
      o.Field(I, "bEndpointAddress", p[6], 2);
      o.Field(I, "bmInfo", p[7], 0);
      o.Field(I, "bTerminalLink", p[8], 0);
      o.Field(I, "bStillCaptureMethod", p[9], 0);
      o.Field(I, "bTriggerSupport", p[10], 0);
      o.Field(I, "bTriggerUsage", p[11], 0);
      o.Field(I, "bControlSize", p[12], 0);
      for (size_t i = 13; i < n; ++i) o.Field(I, "bmaControls", p[i], 2);
      return;
    case 0x04:
      o.Line(6, "VideoStreaming Interface Descriptor: FORMAT_UNCOMPRESSED");
      if (n < 27) break;
      o.Field(I, "bFormatIndex", p[3], 0);
      o.Field(I, "bNumFrameDescriptors", p[4], 0);
      {
        std::string fourcc(reinterpret_cast<const char*>(p + 5), 4);
        o.Line(I, "guidFormat             " + Guid(p + 5) + " " + fourcc);
      }
      o.Field(I, "bBitsPerPixel", p[21], 0);
      o.Field(I, "bDefaultFrameIndex", p[22], 0);
      o.Field(I, "bAspectRatioX", p[23], 0);
      o.Field(I, "bAspectRatioY", p[24], 0);
      o.Field(I, "bmInterlaceFlags", p[25], 2);
      o.Field(I, "bCopyProtect", p[26], 0);
      return;
    case 0x05: {
      o.Line(6, "VideoStreaming Interface Descriptor: FRAME_UNCOMPRESSED");
      if (n < 26) break;
      o.Field(I, "bFrameIndex", p[3], 0);
      o.Field(I, "bmCapabilities", p[4], 2);
      o.Field(I, "wWidth", Le(p + 5, 2), 0);
      o.Field(I, "wHeight", Le(p + 7, 2), 0);
      o.Field(I, "dwMinBitRate", Le(p + 9, 4), 0);
      o.Field(I, "dwMaxBitRate", Le(p + 13, 4), 0);
      o.Field(I, "dwMaxVideoFrameBufferSize", Le(p + 17, 4), 0);
      o.Field(I, "dwDefaultFrameInterval", Le(p + 21, 4), 0);
      o.Field(I, "bFrameIntervalType", p[25], 0);
      size_t at = 26;
      const int count = p[25] ? p[25] : 3;  // 0 means min, max, step
      for (int i = 0; i < count && at + 4 <= n; ++i, at += 4) {
        const uint32_t iv = Le(p + at, 4);
        char note[48];
        std::snprintf(note, sizeof note, "(%.4f fps)", iv ? 1e7 / iv : 0.0);
        o.Field(I, p[25] ? "dwFrameInterval" : "dwFrameInterval(range)", iv, 0, note);
      }
      return;
    }
    case 0x0D:
      o.Line(6, "VideoStreaming Interface Descriptor: COLORFORMAT");
      if (n < 6) break;
      o.Field(I, "bColorPrimaries", p[3], 0, p[3] == 1 ? "(BT.709,sRGB)" : "");
      o.Field(I, "bTransferCharacteristics", p[4], 0, p[4] == 1 ? "(BT.709)" : "");
      o.Field(I, "bMatrixCoefficients", p[5], 0, p[5] == 4 ? "(SMPTE 170M (BT.601))" : "");
      return;
    default:
      o.Line(6, "VideoStreaming Interface Descriptor: subtype " + std::to_string(sub));
      break;
  }
  Raw(o, I, p, n, 3);
}

void AudioControl(Out& o, const uint8_t* p, size_t n) {
  const uint8_t sub = p[2];
  const int I = 8;
  auto terminal = [](uint32_t t) -> std::string {
    switch (t) {
      case 0x0101: return "USB Streaming";
      case 0x0201: return "Microphone";
      case 0x0301: return "Speaker";
      default: return "";
    }
  };
  switch (sub) {
    case 0x01:
      o.Line(6, "AudioControl Interface Descriptor: HEADER");
      if (n < 8) break;
      o.Field(I, "bcdADC", Le(p + 3, 2), 0, Bcd(Le(p + 3, 2)));
      o.Field(I, "wTotalLength", Le(p + 5, 2), 4);
      o.Field(I, "bInCollection", p[7], 0);
      for (size_t i = 8; i < n; ++i) o.Field(I, "baInterfaceNr", p[i], 0);
      return;
    case 0x02:
      o.Line(6, "AudioControl Interface Descriptor: INPUT_TERMINAL");
      if (n < 12) break;
      o.Field(I, "bTerminalID", p[3], 0);
      o.Field(I, "wTerminalType", Le(p + 4, 2), 4, terminal(Le(p + 4, 2)));
      o.Field(I, "bAssocTerminal", p[6], 0);
      o.Field(I, "bNrChannels", p[7], 0);
      o.Field(I, "wChannelConfig", Le(p + 8, 2), 4, (Le(p + 8, 2) & 3) == 3 ? "Left Front (L), Right Front (R)" : "");
      o.Field(I, "iChannelNames", p[10], 0);
      o.Field(I, "iTerminal", p[11], 0);
      return;
    case 0x03:
      o.Line(6, "AudioControl Interface Descriptor: OUTPUT_TERMINAL");
      if (n < 9) break;
      o.Field(I, "bTerminalID", p[3], 0);
      o.Field(I, "wTerminalType", Le(p + 4, 2), 4, terminal(Le(p + 4, 2)));
      o.Field(I, "bAssocTerminal", p[6], 0);
      o.Field(I, "bSourceID", p[7], 0);
      o.Field(I, "iTerminal", p[8], 0);
      return;
    default:
      o.Line(6, "AudioControl Interface Descriptor: subtype " + std::to_string(sub));
      break;
  }
  Raw(o, I, p, n, 3);
}

void AudioStreaming(Out& o, const uint8_t* p, size_t n) {
  const uint8_t sub = p[2];
  const int I = 8;
  switch (sub) {
    case 0x01:
      o.Line(6, "AudioStreaming Interface Descriptor: AS_GENERAL");
      if (n < 7) break;
      o.Field(I, "bTerminalLink", p[3], 0);
      o.Field(I, "bDelay", p[4], 0, "frames");
      o.Field(I, "wFormatTag", Le(p + 5, 2), 4, Le(p + 5, 2) == 1 ? "PCM" : "");
      return;
    case 0x02:
      o.Line(6, "AudioStreaming Interface Descriptor: FORMAT_TYPE");
      if (n < 8) break;
      o.Field(I, "bFormatType", p[3], 0, p[3] == 1 ? "(FORMAT_TYPE_I)" : "");
      o.Field(I, "bNrChannels", p[4], 0);
      o.Field(I, "bSubframeSize", p[5], 0);
      o.Field(I, "bBitResolution", p[6], 0);
      o.Field(I, "bSamFreqType", p[7], 0, p[7] ? "Discrete" : "Continuous");
      for (size_t at = 8; at + 3 <= n; at += 3) o.Field(I, "tSamFreq", Le(p + at, 3), 0);
      return;
    default:
      o.Line(6, "AudioStreaming Interface Descriptor: subtype " + std::to_string(sub));
      break;
  }
  Raw(o, I, p, n, 3);
}

}  // namespace

std::string HexDump(const std::vector<uint8_t>& b) {
  std::ostringstream s;
  for (size_t i = 0; i < b.size(); i += 16) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04zx:", i);
    s << buf;
    for (size_t j = i; j < b.size() && j < i + 16; ++j) {
      std::snprintf(buf, sizeof buf, " %02x", b[j]);
      s << buf;
    }
    s << "\n";
  }
  return s.str();
}

std::string DecodeDescriptors(const DescriptorSet& d) {
  Out o;
  const auto& dev = d.device;
  if (dev.size() >= 18 && dev[1] == 1) {
    const uint8_t* p = dev.data();
    o.Line(0, "Device Descriptor:");
    o.Field(2, "bLength", p[0], 0);
    o.Field(2, "bDescriptorType", p[1], 0);
    o.Field(2, "bcdUSB", Le(p + 2, 2), 0, Bcd(Le(p + 2, 2)));
    const char* cls = p[4] == 0xEF ? "Miscellaneous Device" : p[4] == 0 ? "(Defined at Interface level)" : "";
    o.Field(2, "bDeviceClass", p[4], 0, cls);
    o.Field(2, "bDeviceSubClass", p[5], 0);
    o.Field(2, "bDeviceProtocol", p[6], 0, p[4] == 0xEF && p[6] == 1 ? "Interface Association" : "");
    o.Field(2, "bMaxPacketSize0", p[7], 0);
    o.Field(2, "idVendor", Le(p + 8, 2), 4);
    o.Field(2, "idProduct", Le(p + 10, 2), 4);
    o.Field(2, "bcdDevice", Le(p + 12, 2), 0, Bcd(Le(p + 12, 2)));
    o.Field(2, "iManufacturer", p[14], 0, Str(d, p[14]));
    o.Field(2, "iProduct", p[15], 0, Str(d, p[15]));
    o.Field(2, "iSerial", p[16], 0, Str(d, p[16]));
    o.Field(2, "bNumConfigurations", p[17], 0);
  } else {
    o.Line(0, "Device Descriptor: (" + std::to_string(dev.size()) + " bytes, not a device descriptor)");
  }

  const auto& c = d.config;
  uint8_t if_class = 0, if_sub = 0;
  size_t at = 0;
  while (at < c.size()) {
    if (c.size() - at < 2) {
      o.Line(2, "(" + std::to_string(c.size() - at) + " stray byte(s) at offset " + std::to_string(at) + ")");
      break;
    }
    const uint8_t* p = c.data() + at;
    const size_t n = p[0];
    if (n < 2 || at + n > c.size()) {
      o.Line(2, "(malformed descriptor at offset " + std::to_string(at) + ": bLength " + std::to_string(n) + ")");
      break;
    }
    const uint8_t type = p[1];
    if (type == 2 && n >= 9) {
      o.Line(2, "Configuration Descriptor:");
      o.Field(4, "bLength", p[0], 0);
      o.Field(4, "bDescriptorType", p[1], 0);
      o.Field(4, "wTotalLength", Le(p + 2, 2), 4);
      o.Field(4, "bNumInterfaces", p[4], 0);
      o.Field(4, "bConfigurationValue", p[5], 0);
      o.Field(4, "iConfiguration", p[6], 0, Str(d, p[6]));
      o.Field(4, "bmAttributes", p[7], 2, (p[7] & 0x40) ? "Self Powered" : "(Bus Powered)");
      o.Field(4, "MaxPower", p[8] * 2u, 0, "mA");
    } else if (type == 0x0B && n >= 8) {
      o.Line(4, "Interface Association:");
      o.Field(6, "bLength", p[0], 0);
      o.Field(6, "bDescriptorType", p[1], 0);
      o.Field(6, "bFirstInterface", p[2], 0);
      o.Field(6, "bInterfaceCount", p[3], 0);
      o.Field(6, "bFunctionClass", p[4], 0, p[4] == 0x0E ? "Video" : p[4] == 1 ? "Audio" : "");
      o.Field(6, "bFunctionSubClass", p[5], 0, p[4] == 0x0E && p[5] == 3 ? "Video Interface Collection" : "");
      o.Field(6, "bFunctionProtocol", p[6], 0);
      o.Field(6, "iFunction", p[7], 0, Str(d, p[7]));
    } else if (type == 4 && n >= 9) {
      if_class = p[5];
      if_sub = p[6];
      std::string cls = p[5] == 0x0E ? "Video" : p[5] == 1 ? "Audio" : "";
      std::string sub;
      if (p[5] == 0x0E) sub = p[6] == 1 ? "Video Control" : p[6] == 2 ? "Video Streaming" : "";
      if (p[5] == 1) sub = p[6] == 1 ? "Control Device" : p[6] == 2 ? "Streaming" : "";
      o.Line(4, "Interface Descriptor:");
      o.Field(6, "bLength", p[0], 0);
      o.Field(6, "bDescriptorType", p[1], 0);
      o.Field(6, "bInterfaceNumber", p[2], 0);
      o.Field(6, "bAlternateSetting", p[3], 0);
      o.Field(6, "bNumEndpoints", p[4], 0);
      o.Field(6, "bInterfaceClass", p[5], 0, cls);
      o.Field(6, "bInterfaceSubClass", p[6], 0, sub);
      o.Field(6, "bInterfaceProtocol", p[7], 0);
      o.Field(6, "iInterface", p[8], 0, Str(d, p[8]));
    } else if (type == 5 && n >= 7) {
      static const char* kType[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
      static const char* kSync[] = {"None", "Asynchronous", "Adaptive", "Synchronous"};
      static const char* kUsage[] = {"Data", "Feedback", "Implicit feedback Data", "(reserved)"};
      const uint32_t mps = Le(p + 4, 2);
      o.Line(6, "Endpoint Descriptor:");
      o.Field(8, "bLength", p[0], 0);
      o.Field(8, "bDescriptorType", p[1], 0);
      o.Field(8, "bEndpointAddress", p[2], 2,
              "EP " + std::to_string(p[2] & 0x0F) + ((p[2] & 0x80) ? " IN" : " OUT"));
      o.Field(8, "bmAttributes", p[3], 0);
      o.Line(10, std::string("Transfer Type            ") + kType[p[3] & 3]);
      o.Line(10, std::string("Synch Type               ") + kSync[(p[3] >> 2) & 3]);
      o.Line(10, std::string("Usage Type               ") + kUsage[(p[3] >> 4) & 3]);
      char note[48];
      std::snprintf(note, sizeof note, "%ux %u bytes", ((mps >> 11) & 3) + 1, mps & 0x7FF);
      o.Field(8, "wMaxPacketSize", mps, 4, note);
      o.Field(8, "bInterval", p[6], 0);
      if (n >= 9) {
        o.Field(8, "bRefresh", p[7], 0);
        o.Field(8, "bSynchAddress", p[8], 0);
      }
    } else if (type == 0x24 && n >= 3) {
      if (if_class == 0x0E && if_sub == 1) VideoControl(o, p, n);
      else if (if_class == 0x0E && if_sub == 2) VideoStreaming(o, p, n);
      else if (if_class == 1 && if_sub == 1) AudioControl(o, p, n);
      else if (if_class == 1 && if_sub == 2) AudioStreaming(o, p, n);
      else {
        o.Line(6, "Class-specific Interface Descriptor:");
        Raw(o, 8, p, n, 0);
      }
    } else if (type == 0x25 && n >= 3) {
      o.Line(8, if_class == 1 ? "AudioStreaming Endpoint Descriptor:" : "Class-specific Endpoint Descriptor:");
      o.Field(10, "bLength", p[0], 0);
      o.Field(10, "bDescriptorType", p[1], 0);
      o.Field(10, "bDescriptorSubtype", p[2], 0, p[2] == 1 ? "(EP_GENERAL)" : "");
      if (if_class == 1 && n >= 7) {
        o.Field(10, "bmAttributes", p[3], 2);
        o.Field(10, "bLockDelayUnits", p[4], 0);
        o.Field(10, "wLockDelay", Le(p + 5, 2), 4);
      } else {
        Raw(o, 10, p, n, 3);
      }
    } else {
      o.Line(4, "Unknown Descriptor (type " + std::to_string(type) + "):");
      Raw(o, 6, p, n, 0);
    }
    at += n;
  }
  if (!d.strings.empty()) {
    o.Line(0, "String Descriptors:");
    for (const auto& [idx, text] : d.strings) o.Line(2, "[" + std::to_string(idx) + "] \"" + text + "\"");
  }
  return o.s.str();
}

}  // namespace vhublab
