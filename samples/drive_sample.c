/* tolvarsdk sample: gives drive device <index> a letter, opens the drive
 * onto a data file, reads its description back, closes it and removes the
 * letter.
 *   drive_sample <data file> [<letter> [<index>]]     (default T and 0)
 * Every failure is printed with the system's text for its code. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <tolvarsdk.h>

/* Prints what failed, the code and the system's text for it; returns the code. */
static DWORD report(const char *call, DWORD error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  error, 0, text, sizeof text, NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        text[--length] = '\0';
    printf("%s failed: %lu %s\n", call, (unsigned long)error, length ? text : "(no system text)");
    return error;
}

/* Opens, queries and closes the drive that the letter already names. */
static DWORD use_drive(const char *dataFile, CHAR letter, UINT index) {
    TolvarDriveInfo info;
    DWORD error;

    memset(&info, 0, sizeof info);
    info.DriveLetter = letter;
    if (strlen(dataFile) >= sizeof info.DataFile)
        return report("the data file's path", ERROR_FILENAME_EXCED_RANGE);
    strcpy(info.DataFile, dataFile);
    error = TolvarOpen(&info, index);
    if (error)
        return report("TolvarOpen", error);
    printf("drive %u opened onto %s as %c:\n", index, dataFile, letter);

    error = TolvarQuery(&info, index);
    if (error)
        report("TolvarQuery", error);
    else
        printf("drive %u: letter %c, data file %s, backup before write %s\n", index,
               info.DriveLetter, info.DataFile, info.BackupBeforeWrite ? "on" : "off");

    /* Closed whatever the query gave: the drive must not outlive the program. */
    DWORD closeError = TolvarClose(FALSE, index);
    if (closeError)
        return report("TolvarClose", closeError);
    printf("drive %u closed\n", index);
    return error;
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        printf("usage: drive_sample <data file> [<letter> [<index>]]\n");
        return 2;
    }
    CHAR letter = argc > 2 ? argv[2][0] : 'T';
    UINT index = argc > 3 ? (UINT)strtoul(argv[3], NULL, 10) : 0;

    DWORD error = TolvarAddDriveLetter(letter, index);
    if (error)
        return report("TolvarAddDriveLetter", error) ? 1 : 0;
    error = use_drive(argv[1], letter, index);
    DWORD removeError = TolvarRemoveDriveLetter(letter);
    if (removeError)
        report("TolvarRemoveDriveLetter", removeError);
    return error || removeError ? 1 : 0;
}
