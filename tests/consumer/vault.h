/* The application under test: it keeps its data in a vault file that the
 * Drive driver serves as a drive. */
#ifndef VAULT_H
#define VAULT_H

#include <tolvarsdk.h>

/* Mounts the vault file `dataFile` as drive `index` under `letter` and
 * reads back, into *mounted, what the driver now holds. Returns 0, or the
 * first failing call's error (the letter is given back then). */
DWORD vault_mount(UINT index, char letter, const char* dataFile, TolvarDriveInfo* mounted);

#endif
