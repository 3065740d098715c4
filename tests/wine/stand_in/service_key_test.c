/* The session loaded the stand-in from the service key alone: three
 * REG_DWORD values of 1 and no image path, the file in system32\drivers. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX"

static void test_key_holds_three_values(void)
{
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_READ, &key);
    ok(result == ERROR_SUCCESS, "service key: error %ld\n", result);
    if (result != ERROR_SUCCESS)
        return;
    const char* names[] = {"ErrorControl", "Start", "Type"};
    for (unsigned i = 0; i < 3; ++i) {
        DWORD type = 0, value = 0, size = sizeof value;
        result = RegQueryValueExA(key, names[i], NULL, &type, (BYTE*)&value, &size);
        ok(result == ERROR_SUCCESS && type == REG_DWORD && size == 4 && value == 1,
           "%s: error %ld, type %lu, size %lu, value %lu\n", names[i], result, type, size, value);
    }
    DWORD values = 0, subkeys = 0;
    result = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL,
                              NULL, NULL);
    ok(result == ERROR_SUCCESS && values == 3 && subkeys == 0, "%lu values, %lu subkeys\n", values,
       subkeys);
    RegCloseKey(key);
}

static void test_service_runs_without_an_image_path(void)
{
    static BYTE buffer[4096];
    QUERY_SERVICE_CONFIGA* config = (QUERY_SERVICE_CONFIGA*)buffer;
    SERVICE_STATUS status;
    DWORD needed = 0;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "TOLVARVX", SERVICE_QUERY_CONFIG |
                                                                        SERVICE_QUERY_STATUS)
                                : NULL;
    ok(service != NULL, "service: error %lu\n", GetLastError());
    if (!service)
        return;
    ok(QueryServiceConfigA(service, config, sizeof buffer, &needed), "config: error %lu\n",
       GetLastError());
    ok(config->dwServiceType == SERVICE_KERNEL_DRIVER && config->dwStartType == SERVICE_SYSTEM_START,
       "type %lu, start %lu\n", config->dwServiceType, config->dwStartType);
    /* The key holds no image path and Wine's services.exe reports none (an
     * empty string): the loader itself (ntoskrnl's ZwLoadDriver) falls back
     * to system32\drivers\<service>.sys, which is where the driver came from. */
    ok(config->lpBinaryPathName && config->lpBinaryPathName[0] == 0, "image path %s\n",
       config->lpBinaryPathName ? config->lpBinaryPathName : "(null)");
    ok(QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING,
       "state %lu\n", status.dwCurrentState);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

START_TEST(service_key)
{
    test_key_holds_three_values();
    test_service_runs_without_an_image_path();
}
