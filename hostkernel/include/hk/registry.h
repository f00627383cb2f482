// The machine's registry, as tests and the lab see it: keys by full path
// ("\Registry\Machine\System\..."), values, the security a key was created
// with, failure injection for its routines, and saving it to a file and
// loading it back so that what the driver stored survives a reboot.
//
// Names compare case-insensitively, as in Windows. Paths and names are UTF-8
// here and UTF-16 inside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostkernel/wdk.h"

namespace hk::registry {

struct Value {
    std::string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

bool KeyExists(const std::string& path);
// Creates the key and every missing key above it.
void CreateKey(const std::string& path);
// Deletes a key and everything under it; false when it did not exist.
bool DeleteKey(const std::string& path);
std::vector<std::string> SubKeys(const std::string& path);
std::vector<Value> Values(const std::string& path);
std::optional<Value> GetValue(const std::string& path, const std::string& name);
// Create the key when missing.
void SetValue(const std::string& path, const std::string& name, ULONG type,
              const std::vector<uint8_t>& data);
void SetDword(const std::string& path, const std::string& name, ULONG value);
void SetString(const std::string& path, const std::string& name, const std::string& value);  // REG_SZ
bool DeleteValue(const std::string& path, const std::string& name);
// The descriptor the key was created with (self-relative), empty when none.
std::vector<uint8_t> KeySecurity(const std::string& path);
// A REG_SZ value's text (without its NUL), or nothing.
std::optional<std::string> GetString(const std::string& path, const std::string& name);

// The next `nth` call (1 = the next one) of `routine` ("ZwOpenKey",
// "ZwCreateKey", "ZwQueryValueKey", "ZwSetValueKey") fails with `status`.
void FailCall(const std::string& routine, NTSTATUS status, size_t nth = 1);
void ClearFailures();
// Calls of each routine since boot.
size_t CallCount(const std::string& routine);

// Saves every non-volatile key and value; Load replaces the registry with
// the file's content (false when the file cannot be read or parsed).
void Save(const std::string& file);
bool Load(const std::string& file);
// A readable listing of a subtree (the lab's registry view).
std::string Dump(const std::string& path = "\\Registry");

}  // namespace hk::registry
