// The driver's service key, HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX,
// from which Windows loads the Drive driver at system start. Both exports
// have rundll32's entry signature so that `rundll32 tolvarsdk.dll,RegService`
// works; they never read their arguments.
#include "channel/device_names.h"
#include "channel/owned_handle.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

TOLVAR_REG_SERVICE_FUNC RegService;
TOLVAR_UNREG_SERVICE_FUNC UnregService;

namespace {

// An opened registry key, owned for the length of one call; NULL means none.
struct RegistryKey {
    using Handle = HKEY;
    static Handle None() { return nullptr; }
    static void Close(Handle key) { RegCloseKey(key); }
};
using OwnedKey = tolvar::Owned<RegistryKey>;

void ServiceKeyPath(tolvar::PathBuffer& path) {
    lstrcpynA(path.text, "SYSTEM\\CurrentControlSet\\Services\\", MAX_PATH);
    lstrcatA(path.text, TOLVAR_SERVICE_NAME_A);
}

LONG SetDwordOne(HKEY key, LPCSTR name) {
    const DWORD one = 1;
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                          sizeof one);
}

}  // namespace

LONG WINAPI UnregService(HWND, HINSTANCE, LPSTR, int) {
    tolvar::PathBuffer path;
    ServiceKeyPath(path);
    // SHDeleteKeyA takes the subkeys with it; RegDeleteKey would refuse a
    // key that has any.
    return static_cast<LONG>(SHDeleteKeyA(HKEY_LOCAL_MACHINE, path.text));
}

void WINAPI RegService(HWND window, HINSTANCE instance, LPSTR commandLine, int showCommand) {
    // Whatever others left under the key goes first; when it cannot be
    // deleted, the values below are written over what is there.
    UnregService(window, instance, commandLine, showCommand);
    tolvar::PathBuffer path;
    ServiceKeyPath(path);
    HKEY created = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.text, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &created, nullptr) != ERROR_SUCCESS)
        return;
    OwnedKey key(created);
    // SERVICE_ERROR_NORMAL, SERVICE_SYSTEM_START, SERVICE_KERNEL_DRIVER: all 1.
    // No image path: Windows looks for system32\drivers\TOLVARVX.sys.
    if (SetDwordOne(key.Get(), "ErrorControl") != ERROR_SUCCESS) return;
    if (SetDwordOne(key.Get(), "Start") != ERROR_SUCCESS) return;
    SetDwordOne(key.Get(), "Type");
}
