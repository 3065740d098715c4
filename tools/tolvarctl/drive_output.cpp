#include "drive_output.h"

#include <stdio.h>
#include <string.h>

#include "command_line.h"

namespace tolvarctl {

// The record's paths end within their 260 bytes when the library wrote
// them; the bound keeps a record that does not from being read past.
static int PathLength(const CHAR (&path)[kPathCapacity]) {
    const void* end = memchr(path, '\0', sizeof path);
    return end ? static_cast<int>(static_cast<const CHAR*>(end) - path) : kPathCapacity;
}

static void PrintLetterText(CHAR letter) {
    unsigned char byte = static_cast<unsigned char>(letter);
    if (byte == 0)
        printf("(none)\n");
    else if (byte > 0x20 && byte < 0x7F)
        printf("%c\n", letter);
    else
        printf("0x%02x\n", byte);
}

static bool AllZero(const BYTE* bytes, int count) {
    for (int i = 0; i < count; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// 16 bytes a row with their offset; the all-zero rows at the end are
// summed up in one line.
static void PrintDetailsText(const BYTE* details, int size) {
    const int row = 16;
    int used = size;
    while (used > 0 && details[used - 1] == 0) --used;
    int shownEnd = (used + row - 1) / row * row;
    for (int offset = 0; offset < shownEnd; offset += row) {
        printf("    %04x ", offset);
        for (int i = 0; i < row && offset + i < size; ++i) printf(" %02x", details[offset + i]);
        printf("\n");
    }
    if (shownEnd < size && AllZero(details + shownEnd, size - shownEnd))
        printf("    %04x-%04x  all zero\n", shownEnd, size - 1);
}

void PrintDriveText(UINT index, const TolvarDriveInfo& info) {
    printf("drive %u (\\\\.\\TOLVARVX%u)\n", index, index);
    printf("  letter:          ");
    PrintLetterText(info.DriveLetter);
    if (info.BackupBeforeWrite)
        printf("  mode:            BackupBeforeWrite (%lu)\n",
               static_cast<unsigned long>(info.BackupBeforeWrite));
    else
        printf("  mode:            normal (0)\n");
    printf("  data file:       %.*s\n", PathLength(info.DataFile), info.DataFile);
    printf("  backup file:     %.*s\n", PathLength(info.BackupFile), info.BackupFile);
    printf("  device details:  %u bytes\n", static_cast<unsigned>(sizeof info.DeviceDetails));
    PrintDetailsText(info.DeviceDetails, sizeof info.DeviceDetails);
}

// ANSI text to a JSON string: through UTF-16 in the ANSI code page, so that
// what a Windows program reads back is what the driver holds.
static void PrintJsonString(const CHAR* text, int length) {
    WCHAR wide[kPathCapacity];
    int wideLength = 0;
    if (length > 0) {
        wideLength = MultiByteToWideChar(CP_ACP, 0, text, length, wide, kPathCapacity);
    }
    if (wideLength == 0) {  // not text in this code page: the bytes as they are
        for (int i = 0; i < length; ++i) wide[i] = static_cast<unsigned char>(text[i]);
        wideLength = length;
    }
    putchar('"');
    for (int i = 0; i < wideLength; ++i) {
        unsigned unit = wide[i];
        switch (unit) {
        case '"': fputs("\\\"", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default:
            if (unit < 0x20 || unit > 0x7E)
                printf("\\u%04x", unit);
            else
                putchar(static_cast<int>(unit));
        }
    }
    putchar('"');
}

void PrintDriveJson(UINT index, const TolvarDriveInfo& info) {
    printf("{\"index\":%u,\"device\":\"\\\\\\\\.\\\\TOLVARVX%u\",\"driveLetter\":", index, index);
    PrintJsonString(&info.DriveLetter, info.DriveLetter != 0 ? 1 : 0);
    printf(",\"backupBeforeWrite\":%lu,\"backupFile\":",
           static_cast<unsigned long>(info.BackupBeforeWrite));
    PrintJsonString(info.BackupFile, PathLength(info.BackupFile));
    printf(",\"dataFile\":");
    PrintJsonString(info.DataFile, PathLength(info.DataFile));
    printf(",\"deviceDetails\":\"");
    for (BYTE byte : info.DeviceDetails) printf("%02x", byte);
    printf("\"}\n");
}

}  // namespace tolvarctl
