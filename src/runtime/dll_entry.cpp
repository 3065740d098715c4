// The DLL's own entry point. The library links no C run-time: nothing of
// it is used, and its start-up code would import msvcrt.dll. There is no
// global state to set up or tear down, so every notification succeeds;
// thread notifications are turned off, as no work is done for them.
#include "platform.h"

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
