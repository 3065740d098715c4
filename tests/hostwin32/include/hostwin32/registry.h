// Test control of the registry of the host Win32 stand-in: what the keys
// hold, keys and values others put there, and a caller without rights.
//
// Paths start with a root, HKLM (or HKEY_LOCAL_MACHINE), HKCU, HKCR or
// HKU, followed by the subkeys: "HKLM\\SYSTEM\\CurrentControlSet\\Services".
// Names compare without regard to case and keep the case they were created
// with. After Reset() the registry holds the four roots and the keys
// HKLM\SYSTEM\CurrentControlSet\Services and HKLM\SOFTWARE, as a fresh
// system does. Faults come through FailCall("RegCreateKeyExA", error) and
// the like; a registry call's fault is its return value, and the thread's
// last error is left alone, as the registry calls leave it. A failing RegCloseKey
// still closes the key, as a failing CloseHandle ends its handle.
#pragma once

#include <hostwin32/testing.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hostwin32 {

struct RegistryValue {
    std::string name;
    DWORD type;
    std::vector<uint8_t> data;
};

// Creates the key and any missing parent.
void CreateRegistryKey(const std::string& path);
// Creates the key if needed and sets one value in it.
void SetRegistryValue(const std::string& path, const std::string& name, DWORD type,
                      std::vector<uint8_t> data);
void SetRegistryDword(const std::string& path, const std::string& name, DWORD value);

bool RegistryKeyExists(const std::string& path);
// Names of the subkeys, and values, in the order they were created.
std::vector<std::string> RegistrySubkeys(const std::string& path);
std::vector<RegistryValue> RegistryValues(const std::string& path);

// The key and everything under it, one line per key and per value, e.g.
//   "TOLVARVX"
//   "TOLVARVX: ErrorControl = REG_DWORD 0x1"
//   "TOLVARVX\\Enum"
//   "TOLVARVX\\Enum: Count = REG_SZ \"3\""
// Empty when the key does not exist.
std::vector<std::string> RegistryTree(const std::string& path);

// The caller has no right to change the key at path or anything below it:
// creating a key there, opening one with more than KEY_READ, setting a
// value through a predefined root and deleting a key fail with
// ERROR_ACCESS_DENIED, as they do for a user who is not an administrator
// under HKEY_LOCAL_MACHINE.
void DenyRegistryWrites(const std::string& path);

}  // namespace hostwin32
