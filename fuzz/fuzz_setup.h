// Start-up shared by the fuzz targets that run every input against one
// hostkernel machine.
#pragma once

#include <vector>

namespace fuzzsetup {

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
