// Start-up shared by the fuzz targets that run every input against one
// hostkernel machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzzsetup {

// Reads an input front to back; past its end every read gives zeros, so a
// short input is still a complete program.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // n bytes (at most 4), little-endian.
    uint32_t Bytes(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= (uint32_t)Byte() << (8 * i);
        return v;
    }
    uint16_t Word() { return (uint16_t)Bytes(2); }
    uint32_t Dword() { return Bytes(4); }
    // Copies up to n bytes into out; returns how many there were.
    size_t Take(void* out, size_t n) {
        size_t k = n < size ? n : size;
        std::memcpy(out, data, k);
        data += k;
        size -= k;
        return k;
    }
};

// The machine's pool keeps freed blocks in a quarantine (to catch writes
// after free), so an input ends with more host allocations than frees
// although nothing leaked. libFuzzer takes that imbalance for a possible
// leak and runs a full LeakSanitizer scan of the heap after such inputs, up
// to a thousand times, which held the targets to well under a thousand
// inputs a second. The leaks that matter are the pool blocks and handles,
// which each target checks exactly after every input; the per-input heap
// scan is therefore turned off (the leak check at exit still runs).
//
// Call from LLVMFuzzerInitialize with its arguments. The flag goes right
// after the program name, so that a -detect_leaks=1 given on the command
// line still wins.
inline int NoLeakScanPerInput(int* argc, char*** argv) {
    static char flag[] = "-detect_leaks=0";
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, flag);
    args.push_back(nullptr);
    *argc = (int)args.size() - 1;
    *argv = args.data();
    return 0;
}

}  // namespace fuzzsetup
