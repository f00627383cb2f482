// Random configuration descriptors against random SELECT_CONFIGURATION and
// SELECT_INTERFACE URBs. Both live in heap blocks of exactly their stated
// size (the descriptor: its wTotalLength; the URB: its Length), so any read
// or write outside them is caught by AddressSanitizer (the driver library
// is built with the fuzz targets' instrumentation in the fuzzing build).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/vhub.h"
#include "fuzz_setup.h"

using fuzzsetup::Reader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VhubDebugLevel = 0;  // no log: the routines' messages go to DbgPrint
    Reader in{data, size};

    const uint8_t mode = in.Byte();            // bit 0: interface; bit 1: no configuration
    size_t urb_length = in.Word() % 2048;
    size_t config_length = 4 + in.Word() % 1024;

    // Configuration descriptor: random bytes, wTotalLength clamped to the
    // block (the routines' contract: wTotalLength bytes are readable).
    uint8_t* config = static_cast<uint8_t*>(std::malloc(config_length));
    std::memset(config, 0, config_length);
    in.Take(config, config_length);
    uint16_t total = (uint16_t)(config[2] | (config[3] << 8));
    if (total > config_length) total = (uint16_t)config_length;
    config[2] = (uint8_t)total;
    config[3] = (uint8_t)(total >> 8);
    // Trim the block to wTotalLength, keeping the four header bytes read
    // before the length is known.
    size_t block = total < 4 ? 4 : total;
    uint8_t* exact = static_cast<uint8_t*>(std::malloc(block));
    std::memcpy(exact, config, block);
    std::free(config);
    config = exact;

    // The URB: a header at least, random body, its Length as stated.
    size_t urb_block = urb_length < sizeof(struct _URB_HEADER) ? sizeof(struct _URB_HEADER) : urb_length;
    uint8_t* urb_bytes = static_cast<uint8_t*>(std::malloc(urb_block));
    std::memset(urb_bytes, 0, urb_block);
    in.Take(urb_bytes, urb_block);
    PURB urb = reinterpret_cast<PURB>(urb_bytes);
    urb->UrbHeader.Length = (USHORT)urb_length;

    PUSB_CONFIGURATION_DESCRIPTOR descriptor =
        (mode & 2) ? nullptr : reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
    if (mode & 1) {
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        select_interface(descriptor, urb);
    } else {
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        if (urb_block >= offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle))
            urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;
        select_configure(urb);
    }

    std::free(urb_bytes);
    std::free(config);
    return 0;
}
