// The registry: RegCreateKeyExA, RegSetValueExA, RegCloseKey and
// SHDeleteKeyA over a tree of keys with values, as the Windows registry
// behaves for them. An open key is a handle of the stand-in's table, so a
// key left open shows in OpenHandleCount().
#include <hostwin32/registry.h>

#include "state.h"

#include <cstdio>
#include <memory>

using namespace hostwin32;

namespace {

struct Key {
    std::string name;  // as created
    std::vector<RegistryValue> values;
    std::vector<std::shared_ptr<Key>> subkeys;
    bool deleted = false;
};

struct Registry {
    std::vector<std::shared_ptr<Key>> roots;  // HKCR, HKCU, HKLM, HKU
    std::map<uintptr_t, std::shared_ptr<Key>> open;  // handle -> key
    std::vector<std::string> deniedPaths;  // upper-case full paths
};

const char* const kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                  "HKEY_USERS"};
const char* const kRootShortNames[] = {"HKCR", "HKCU", "HKLM", "HKU"};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::shared_ptr<Key> Child(const Key& key, const std::string& name) {
    for (const auto& subkey : key.subkeys)
        if (Upper(subkey->name) == Upper(name)) return subkey;
    return nullptr;
}

std::shared_ptr<Key> AddChild(Key& key, const std::string& name) {
    auto child = std::make_shared<Key>();
    child->name = name;
    key.subkeys.push_back(child);
    return child;
}

void ClearRegistry() {
    Registry& registry = TheRegistry();
    registry.open.clear();
    registry.deniedPaths.clear();
    registry.roots.clear();
    for (const char* name : kRootNames) {
        auto root = std::make_shared<Key>();
        root->name = name;
        registry.roots.push_back(root);
    }
    Key& machine = *registry.roots[2];
    AddChild(*AddChild(*AddChild(machine, "SYSTEM"), "CurrentControlSet"), "Services");
    AddChild(machine, "SOFTWARE");
}

ResetHook resetHook(&ClearRegistry);

Registry& Initialized() {
    Registry& registry = TheRegistry();
    if (registry.roots.empty()) ClearRegistry();
    return registry;
}

// A key as the calls see it: the object and its full path.
struct KeyRef {
    std::shared_ptr<Key> key;
    std::string path;     // "HKEY_LOCAL_MACHINE\\SYSTEM\\..."
    REGSAM access = 0;    // what the handle allows
};

int PredefinedIndex(HKEY key) {
    uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value >= 0x80000000u && value <= 0x80000003u) return static_cast<int>(value - 0x80000000u);
    return -1;
}

// Resolves a key argument: a predefined root or an open handle.
bool ResolveKey(HKEY key, KeyRef* ref) {
    Registry& registry = Initialized();
    int root = PredefinedIndex(key);
    if (root >= 0) {
        *ref = {registry.roots[static_cast<size_t>(root)], kRootNames[root], KEY_ALL_ACCESS};
        return true;
    }
    auto found = registry.open.find(reinterpret_cast<uintptr_t>(key));
    HandleEntry* entry = FindHandle(reinterpret_cast<HANDLE>(key));
    if (found == registry.open.end() || entry == nullptr) return false;
    *ref = {found->second, entry->name, entry->access};
    return true;
}

bool Denied(const std::string& path) {
    std::string upper = Upper(path);
    for (const std::string& denied : Initialized().deniedPaths)
        if (upper == denied || upper.rfind(denied + "\\", 0) == 0) return true;
    return false;
}

// "HKLM\\A\\B" (or the long root name) as the root index and the subkeys.
std::string LongPath(const std::string& path, int* root, std::vector<std::string>* parts) {
    *parts = Split(path);
    *root = -1;
    if (parts->empty()) return "";
    for (int i = 0; i < 4; ++i)
        if (Upper((*parts)[0]) == kRootNames[i] || Upper((*parts)[0]) == kRootShortNames[i])
            *root = i;
    if (*root < 0) return "";
    parts->erase(parts->begin());
    std::string full = kRootNames[*root];
    for (const std::string& part : *parts) full += "\\" + part;
    return full;
}

std::shared_ptr<Key> FindPath(const std::string& path, bool create) {
    int root;
    std::vector<std::string> parts;
    LongPath(path, &root, &parts);
    if (root < 0) return nullptr;
    std::shared_ptr<Key> key = Initialized().roots[static_cast<size_t>(root)];
    for (const std::string& part : parts) {
        std::shared_ptr<Key> child = Child(*key, part);
        if (!child) {
            if (!create) return nullptr;
            child = AddChild(*key, part);
        }
        key = child;
    }
    return key;
}

std::string KeyText(HKEY key) {
    int root = PredefinedIndex(key);
    if (root >= 0) return kRootNames[root];
    return Hex(reinterpret_cast<uintptr_t>(key));
}

std::string DataText(const BYTE* data, DWORD size) {
    if (data == nullptr) return "NULL";
    std::string text = "{";
    for (DWORD i = 0; i < size && i < 64; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += (i ? " " : "") + std::string(byte);
    }
    return text + (size > 64 ? " ...}" : "}");
}

// A planned fault of a registry call: its error is the call's result. The
// last error is kept, since the registry calls do not set it.
bool TakeRegistryFault(const char* function, LONG* status) {
    DWORD saved = GetLastError();
    if (!TakeFault(function)) return false;
    *status = static_cast<LONG>(GetLastError());
    SetLastError(saved);
    return true;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (const auto& subkey : key.subkeys) MarkDeleted(*subkey);
}

std::string ValueText(const RegistryValue& value) {
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD number = static_cast<DWORD>(value.data[0]) | static_cast<DWORD>(value.data[1]) << 8 |
                       static_cast<DWORD>(value.data[2]) << 16 |
                       static_cast<DWORD>(value.data[3]) << 24;
        return "REG_DWORD " + Hex(number);
    }
    if (value.type == REG_SZ) {
        std::string text(value.data.begin(), value.data.end());
        return "REG_SZ " + Quote(text.c_str());
    }
    return "type " + Dec(value.type) + " " + DataText(value.data.data(), static_cast<DWORD>(value.data.size()));
}

void Tree(const Key& key, const std::string& prefix, std::vector<std::string>* lines) {
    lines->push_back(prefix);
    for (const RegistryValue& value : key.values)
        lines->push_back(prefix + ": " + (value.name.empty() ? "(default)" : value.name) + " = " +
                         ValueText(value));
    for (const auto& subkey : key.subkeys) Tree(*subkey, prefix + "\\" + subkey->name, lines);
}

}  // namespace

extern "C" LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                                       DWORD options, REGSAM desired,
                                       LPSECURITY_ATTRIBUTES security, PHKEY result,
                                       LPDWORD disposition) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{KeyText(key),     Quote(subKey),       Dec(reserved),
                                       Quote(className), Hex(options),        Hex(desired),
                                       Pointer(security), Pointer(result), Pointer(disposition)};
    LONG status = ERROR_SUCCESS;
    KeyRef base;
    HKEY opened = nullptr;
    if (TakeRegistryFault("RegCreateKeyExA", &status)) {
    } else if (result == nullptr || subKey == nullptr) {
        status = ERROR_INVALID_PARAMETER;  // both are required of RegCreateKeyEx
    } else if (!ResolveKey(key, &base)) {
        status = ERROR_INVALID_HANDLE;
    } else if (base.key->deleted) {
        status = ERROR_KEY_DELETED;
    } else if (subKey != nullptr && subKey[0] == '\\') {
        status = ERROR_BAD_PATHNAME;  // a subkey path is relative to the key
    } else {
        std::vector<std::string> parts = Split(subKey);
        // Walk down; every key that has to be created needs the right to
        // create under its parent, and an existing one the right to be
        // opened with the access asked for.
        std::shared_ptr<Key> current = base.key;
        std::string path = base.path;
        bool created = false;
        for (const std::string& part : parts) {
            std::shared_ptr<Key> child = Child(*current, part);
            path += "\\" + (child ? child->name : part);
            if (!child) {
                if (Denied(path) || !(base.access & KEY_CREATE_SUB_KEY)) {
                    status = ERROR_ACCESS_DENIED;
                    break;
                }
                child = AddChild(*current, part);
                created = true;
            }
            current = child;
        }
        if (status == ERROR_SUCCESS && !created && (desired & ~KEY_READ) != 0 && Denied(path))
            status = ERROR_ACCESS_DENIED;
        if (status == ERROR_SUCCESS) {
            opened = static_cast<HKEY>(NewHandle(ObjectKind::RegistryKey, path, desired));
            Initialized().open[reinterpret_cast<uintptr_t>(opened)] = current;
            *result = opened;
            if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    Record("RegCreateKeyExA", std::move(arguments),
           Dec(static_cast<uint32_t>(status)) + (opened ? " " + KeyText(opened) : ""));
    return status;
}

extern "C" LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD dataSize) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{KeyText(key), Quote(valueName), Dec(reserved),
                                       Dec(type),    DataText(data, dataSize), Dec(dataSize)};
    LONG status = ERROR_SUCCESS;
    KeyRef target;
    if (TakeRegistryFault("RegSetValueExA", &status)) {
    } else if (!ResolveKey(key, &target)) {
        status = ERROR_INVALID_HANDLE;
    } else if (!(target.access & KEY_SET_VALUE) || (PredefinedIndex(key) >= 0 && Denied(target.path))) {
        status = ERROR_ACCESS_DENIED;
    } else if (target.key->deleted) {
        status = ERROR_KEY_DELETED;
    } else if (data == nullptr && dataSize != 0) {
        status = ERROR_NOACCESS;
    } else {
        RegistryValue value{valueName ? valueName : "", type,
                            std::vector<uint8_t>(data, data + dataSize)};
        bool replaced = false;
        for (RegistryValue& existing : target.key->values) {
            if (Upper(existing.name) == Upper(value.name)) {
                existing.type = value.type;  // keeps its place and its name's case
                existing.data = value.data;
                replaced = true;
            }
        }
        if (!replaced) target.key->values.push_back(std::move(value));
    }
    Record("RegSetValueExA", std::move(arguments), Dec(static_cast<uint32_t>(status)));
    return status;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    LONG status = ERROR_SUCCESS;
    Registry& registry = Initialized();
    auto found = registry.open.find(reinterpret_cast<uintptr_t>(key));
    if (TakeRegistryFault("RegCloseKey", &status)) {
        // As with CloseHandle: a failing close still ends the key's handle.
        if (found != registry.open.end()) {
            registry.open.erase(found);
            ForgetHandle(reinterpret_cast<HANDLE>(key));
        }
    } else if (PredefinedIndex(key) >= 0) {
        // Closing a predefined key succeeds and changes nothing.
    } else if (found == registry.open.end()) {
        status = ERROR_INVALID_HANDLE;
    } else {
        registry.open.erase(found);
        ForgetHandle(reinterpret_cast<HANDLE>(key));
    }
    Record("RegCloseKey", {KeyText(key)}, Dec(static_cast<uint32_t>(status)));
    return status;
}

extern "C" DWORD WINAPI SHDeleteKeyA(HKEY key, LPCSTR subKey) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    LONG status = ERROR_SUCCESS;
    KeyRef base;
    if (TakeRegistryFault("SHDeleteKeyA", &status)) {
    } else if (!ResolveKey(key, &base)) {
        status = ERROR_INVALID_HANDLE;
    } else if (base.key->deleted) {
        status = ERROR_KEY_DELETED;
    } else {
        std::shared_ptr<Key> parent;
        std::shared_ptr<Key> current = base.key;
        std::string path = base.path;
        for (const std::string& part : Split(subKey ? subKey : "")) {
            parent = current;
            current = Child(*current, part);
            if (!current) break;
            path += "\\" + current->name;
        }
        if (!current) {
            status = ERROR_FILE_NOT_FOUND;
        } else if (!parent || Denied(path)) {
            status = ERROR_ACCESS_DENIED;  // a root cannot be deleted
        } else {
            MarkDeleted(*current);
            auto& siblings = parent->subkeys;
            for (size_t i = 0; i < siblings.size(); ++i)
                if (siblings[i] == current) siblings.erase(siblings.begin() + static_cast<long>(i));
        }
    }
    Record("SHDeleteKeyA", {KeyText(key), Quote(subKey)}, Dec(static_cast<uint32_t>(status)));
    return static_cast<DWORD>(status);
}

// --- Test control -----------------------------------------------------------

namespace hostwin32 {

void CreateRegistryKey(const std::string& path) { FindPath(path, true); }

void SetRegistryValue(const std::string& path, const std::string& name, DWORD type,
                      std::vector<uint8_t> data) {
    std::shared_ptr<Key> key = FindPath(path, true);
    if (!key) return;
    for (RegistryValue& value : key->values) {
        if (Upper(value.name) == Upper(name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key->values.push_back({name, type, std::move(data)});
}

void SetRegistryDword(const std::string& path, const std::string& name, DWORD value) {
    SetRegistryValue(path, name, REG_DWORD,
                     {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

bool RegistryKeyExists(const std::string& path) { return FindPath(path, false) != nullptr; }

std::vector<std::string> RegistrySubkeys(const std::string& path) {
    std::vector<std::string> names;
    if (std::shared_ptr<Key> key = FindPath(path, false))
        for (const auto& subkey : key->subkeys) names.push_back(subkey->name);
    return names;
}

std::vector<RegistryValue> RegistryValues(const std::string& path) {
    std::shared_ptr<Key> key = FindPath(path, false);
    return key ? key->values : std::vector<RegistryValue>{};
}

std::vector<std::string> RegistryTree(const std::string& path) {
    std::vector<std::string> lines;
    if (std::shared_ptr<Key> key = FindPath(path, false)) Tree(*key, key->name, &lines);
    return lines;
}

void DenyRegistryWrites(const std::string& path) {
    int root;
    std::vector<std::string> parts;
    std::string full = LongPath(path, &root, &parts);
    if (!full.empty()) Initialized().deniedPaths.push_back(Upper(full));
}

}  // namespace hostwin32
