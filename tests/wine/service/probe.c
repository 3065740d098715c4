/* Whether the driver stand-in runs in this Wine session, seen through the
 * library: `service_probe loaded` expects TolvarGetChallenge to succeed on
 * devices 0 to 3, `service_probe absent` expects each to find no device. */
#include <string.h>

#include "tolvarsdk.h"
#include "wine_test.h"

static int expect_loaded;

START_TEST(service_probe)
{
    unsigned index;
    char *arguments = GetCommandLineA();
    expect_loaded = strstr(arguments, " loaded") != NULL;
    ok(expect_loaded || strstr(arguments, " absent") != NULL, "usage: service_probe loaded|absent\n");
    for (index = 0; index < 4; index++) {
        BYTE challenge[16];
        DWORD error = TolvarGetChallenge(challenge, index);
        if (expect_loaded)
            ok(error == 0, "TOLVARVX%u: TolvarGetChallenge returned %lu\n", index, error);
        else
            ok(error == ERROR_FILE_NOT_FOUND, "TOLVARVX%u: TolvarGetChallenge returned %lu\n", index, error);
    }
}
