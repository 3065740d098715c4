#include "drive_output.h"

#include <stdio.h>
#include <string.h>

#include "command_line.h"
#include "text_output.h"

namespace tolvarctl {

// The record's paths end within their 260 units when the library wrote
// them; the bound keeps a record that does not from being read past.
static int PathLength(const WCHAR (&path)[kPathCapacity]) {
    int length = 0;
    while (length < kPathCapacity && path[length] != 0) ++length;
    return length;
}

static void PrintLetterText(WCHAR letter) {
    if (letter == 0)
        Print(stdout, "(none)\n");
    else if (letter > 0x20 && letter < 0x7F)
        Print(stdout, "%c\n", static_cast<char>(letter));
    else
        Print(stdout, "U+%04X\n", static_cast<unsigned>(letter));
}

static void PrintPathText(const char* label, const WCHAR (&path)[kPathCapacity]) {
    char text[kPathUtf8Capacity];
    ToUtf8(path, PathLength(path), text, sizeof text);
    Print(stdout, "  %-17s%s\n", label, text);
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
        char line[80];  // "    0000 " and 16 times " xx"
        int used = snprintf(line, sizeof line, "    %04x ", offset);
        for (int i = 0; i < row && offset + i < size; ++i)
            used += snprintf(line + used, sizeof line - used, " %02x", details[offset + i]);
        Print(stdout, "%s\n", line);
    }
    if (shownEnd < size && AllZero(details + shownEnd, size - shownEnd))
        Print(stdout, "    %04x-%04x  all zero\n", shownEnd, size - 1);
}

void PrintDriveText(UINT index, const TolvarDriveInfoW& info) {
    Print(stdout, "drive %u (\\\\.\\TOLVARVX%u)\n", index, index);
    Print(stdout, "  letter:          ");
    PrintLetterText(info.DriveLetter);
    if (info.BackupBeforeWrite)
        Print(stdout, "  mode:            BackupBeforeWrite (%lu)\n",
              static_cast<unsigned long>(info.BackupBeforeWrite));
    else
        Print(stdout, "  mode:            normal (0)\n");
    PrintPathText("data file:", info.DataFile);
    PrintPathText("backup file:", info.BackupFile);
    Print(stdout, "  device details:  %u bytes\n", static_cast<unsigned>(sizeof info.DeviceDetails));
    PrintDetailsText(info.DeviceDetails, sizeof info.DeviceDetails);
}

// UTF-16 text to a JSON string, unit by unit, so that what a reader decodes
// is exactly what the driver holds; ASCII stays ASCII.
static void PrintJsonString(const WCHAR* text, int length) {
    char json[6 * kPathCapacity + 3];
    int used = 0;
    json[used++] = '"';
    for (int i = 0; i < length; ++i) {
        unsigned unit = text[i];
        const char* escape = unit == '"' ? "\\\"" : unit == '\\' ? "\\\\" : unit == '\n' ? "\\n"
                           : unit == '\r' ? "\\r" : unit == '\t' ? "\\t" : nullptr;
        if (escape)
            used += snprintf(json + used, sizeof json - used, "%s", escape);
        else if (unit < 0x20 || unit > 0x7E)
            used += snprintf(json + used, sizeof json - used, "\\u%04x", unit);
        else
            json[used++] = static_cast<char>(unit);
    }
    json[used++] = '"';
    json[used] = '\0';
    Print(stdout, "%s", json);
}

void PrintDriveJson(UINT index, const TolvarDriveInfoW& info) {
    Print(stdout, "{\"index\":%u,\"device\":\"\\\\\\\\.\\\\TOLVARVX%u\",\"driveLetter\":", index,
          index);
    PrintJsonString(&info.DriveLetter, info.DriveLetter != 0 ? 1 : 0);
    // A BOOL: any nonzero value is true (the text form shows the number).
    Print(stdout, ",\"backupBeforeWrite\":%s,\"backupFile\":",
          info.BackupBeforeWrite ? "true" : "false");
    PrintJsonString(info.BackupFile, PathLength(info.BackupFile));
    Print(stdout, ",\"dataFile\":");
    PrintJsonString(info.DataFile, PathLength(info.DataFile));
    char details[2 * sizeof info.DeviceDetails + 1];
    for (size_t i = 0; i < sizeof info.DeviceDetails; ++i)
        snprintf(details + 2 * i, 3, "%02x", info.DeviceDetails[i]);
    Print(stdout, ",\"deviceDetails\":\"%s\"}\n", details);
}

}  // namespace tolvarctl
