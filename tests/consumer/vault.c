#include "vault.h"

#include <string.h>

DWORD vault_mount(UINT index, char letter, const char* dataFile, TolvarDriveInfo* mounted)
{
    TolvarDriveInfo drive;
    DWORD error = TolvarAddDriveLetter(letter, index);
    if (error)
        return error;
    memset(&drive, 0, sizeof drive);
    drive.DriveLetter = letter;
    lstrcpynA(drive.DataFile, dataFile, sizeof drive.DataFile);
    error = TolvarOpen(&drive, index);
    if (!error)
        error = TolvarQuery(mounted, index);
    if (error)
        TolvarRemoveDriveLetter(letter);
    return error;
}
