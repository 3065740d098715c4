/* TolvarReload under Wine against the driver stand-in: which steps reach
 * the driver, the code each failure returns, and the event-log entry it
 * writes.
 *
 * Wine's event log stores nothing: ReportEventW prints an error entry's
 * string as a line `err:eventlog:ReportEventW L"<message>"` on the calling
 * process's standard error, and with fixme+advapi ReportEventA also prints
 * its arguments. Wine writes these lines to the process's Unix standard
 * error, which a Windows program cannot redirect for itself or for a child
 * it starts; so run_with_stderr.sh sends this program's standard error to
 * a file and names it in TOLVAR_STDERR_FILE, and the test reads back what
 * each reload printed. WINEDEBUG must enable err+eventlog and fixme+advapi
 * (the CMakeLists sets it).
 *
 * Only the stand-in's drives are reloaded, under letters that name nothing
 * or that this test defines for the stand-in's device: never a real Wine
 * drive, whose dismount would reach a real volume. The test stops at once
 * if either letter is defined in this prefix. */
#include <stdio.h>
#include <string.h>

#include "stand_in_client.h"
#include "tolvarsdk.h"
#include "wine_test.h"

#define DEVICE 3
#define DEVICE_KERNEL_NAME "\\Device\\TolvarVault\\TOLVARVX3"
#define STATUS_DEVICE_BUSY 0x80000011u
#define STATUS_IO_DEVICE_ERROR 0xC0000185u
/* Letters the test defines itself (T) or keeps undefined (Q). */
#define STAND_IN_LETTER 'T'
#define UNDEFINED_LETTER 'Q'

static TolvarvxJournal journal;
static char reload_stderr[16384];

/* ---- Reloading and reading back what Wine printed ----------------------- */

/* This process's standard error as a file (see run_with_stderr.sh). */
static HANDLE open_own_stderr(void) {
    char path[MAX_PATH];
    if (!GetEnvironmentVariableA("TOLVAR_STDERR_FILE", path, sizeof path)) return INVALID_HANDLE_VALUE;
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

/* Runs TolvarReload(DEVICE) and leaves what Wine printed on this process's
 * standard error meanwhile in reload_stderr. */
static DWORD reload_and_read_stderr(void) {
    DWORD before = 0, length = 0;
    reload_stderr[0] = 0;
    HANDLE errors = open_own_stderr();
    if (!(ok(errors != INVALID_HANDLE_VALUE, "standard error not readable (TOLVAR_STDERR_FILE): %lu\n",
             GetLastError())))
        return TolvarReload(DEVICE);
    before = GetFileSize(errors, NULL);
    DWORD result = TolvarReload(DEVICE);
    SetFilePointer(errors, (LONG)before, NULL, FILE_BEGIN);
    ReadFile(errors, reload_stderr, sizeof reload_stderr - 1, &length, NULL);
    reload_stderr[length] = 0;
    CloseHandle(errors);
    return result;
}

/* The lines of reload_stderr, one at a time, without Wine's "<thread id>:"
 * prefix: *line and *length; returns 0 after the last one. */
static int next_line(const char **at, const char **line, size_t *length) {
    if (**at == 0) return 0;
    const char *end = strchr(*at, '\n');
    size_t size = end ? (size_t)(end - *at) : strlen(*at);
    *line = *at;
    *length = size;
    if (size > 5 && (*at)[4] == ':' && strspn(*at, "0123456789abcdef") == 4) {
        *line += 5;
        *length -= 5;
    }
    *at += end ? size + 1 : size;
    return 1;
}

static int starts_with(const char *line, size_t length, const char *prefix) {
    return length >= strlen(prefix) && !memcmp(line, prefix, strlen(prefix));
}

static int ends_with(const char *line, size_t length, const char *suffix) {
    size_t size = strlen(suffix);
    return length >= size && !memcmp(line + length - size, suffix, size);
}

/* A pointer as Wine's debug channels print it: upper-case hex digits, two
 * for each of its bytes (8 on x86, 16 on x64). */
static const char *wine_pointer(char *text, ULONG_PTR value) {
    int digits = 2 * sizeof(void *);
    text[digits] = 0;
    for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 15];
    return text;
}

/* The one entry a failed reload writes, as Wine prints it: the source
 * registered on the local machine, the message as the only string of an
 * error entry, and ReportEventA's arguments (type 1, category 0, the code
 * as identifier, no SID, one string, no data; the string array's address
 * varies). Wine's event source handle is always 0xcafe4242. */
static void check_entry(DWORD code, const char *message) {
    char entry[512], arguments[160], source[20], none[20], ending[40], deregistration[40];
    int entries = 0, reports = 0, registrations = 0, deregistrations = 0;
    const char *at = reload_stderr, *line;
    size_t length;
    wine_pointer(source, 0xCAFE4242);
    wine_pointer(none, 0);
    snprintf(entry, sizeof entry, "err:eventlog:ReportEventW L\"%s\"", message);
    snprintf(arguments, sizeof arguments,
             "fixme:advapi:ReportEventA (%s,0x0001,0x0000,0x%08lx,%s,0x0001,0x00000000,", source,
             code, none);
    snprintf(ending, sizeof ending, ",%s): stub", none);
    snprintf(deregistration, sizeof deregistration, " (%s) stub", source);
    while (next_line(&at, &line, &length)) {
        if (starts_with(line, length, "err:eventlog:")) {
            ok(length == strlen(entry) && !memcmp(line, entry, length), "entry %.*s, not %s\n",
               (int)length, line, entry);
            ++entries;
        } else if (starts_with(line, length, "fixme:advapi:ReportEventA ")) {
            ok(starts_with(line, length, arguments) && ends_with(line, length, ending),
               "%.*s\n", (int)length, line);
            ++reports;
        } else if (starts_with(line, length, "fixme:advapi:RegisterEventSourceA ")) {
            ok(ends_with(line, length, " ((null),\"Tolvar service\"): stub"), "%.*s\n", (int)length,
               line);
            ++registrations;
        } else if (starts_with(line, length, "fixme:advapi:DeregisterEventSource ")) {
            ok(ends_with(line, length, deregistration), "%.*s\n", (int)length, line);
            ++deregistrations;
        }
    }
    ok(entries == 1 && reports == 1, "%d entries, %d reports in:\n%s\n", entries, reports,
       reload_stderr);
    ok(registrations == 1 && deregistrations == 1, "%d registrations, %d deregistrations\n",
       registrations, deregistrations);
}

static void check_no_entry(void) {
    ok(strstr(reload_stderr, "ReportEvent") == NULL, "an entry was written:\n%s\n", reload_stderr);
}

/* ---- Setting the stand-in up --------------------------------------------- */

static void open_drive(char letter, DWORD backup_before_write) {
    TolvarOpenRequest request;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, letter, backup_before_write, "C:\\stand-in\\reload.bak",
                          "C:\\stand-in\\reload.img");
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0,
                                   &returned);
    ok(error == 0, "opening the stand-in's drive failed: %lu\n", error);
}

/* The requests the reload sent after the setup's OPEN, as a string of
 * letters: Q query, F flush, D dismount, R reload, ? anything else. */
static const char *requests_after_open(void) {
    static char kinds[TOLVARVX_JOURNAL_CAPACITY + 1];
    unsigned n = 0;
    kinds[0] = 0;
    if (!(ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0,
             "journal failed\n"))) return kinds;
    for (unsigned i = 1; i < journal.Count; ++i) {
        const TolvarvxJournalEntry *entry = &journal.Entries[i];
        char kind = '?';
        if (entry->Kind == TOLVARVX_KIND_FLUSH) kind = 'F';
        else if (entry->Code == IOCTL_TOLVAR_QUERY) kind = 'Q';
        else if (entry->Code == TOLVAR_FSCTL_DISMOUNT_VOLUME) kind = 'D';
        else if (entry->Code == IOCTL_TOLVAR_RELOAD) kind = 'R';
        kinds[n++] = kind;
    }
    kinds[n] = 0;
    return kinds;
}

static BOOL letter_is_free(char letter) {
    char name[] = " :", target[MAX_PATH];
    name[0] = letter;
    SetLastError(0xdeadbeef);
    return QueryDosDeviceA(name, target, sizeof target) == 0 && GetLastError() == ERROR_FILE_NOT_FOUND;
}

/* ---- Tests --------------------------------------------------------------- */

static void test_backup_before_write_is_refused(void) {
    open_drive(STAND_IN_LETTER, 1);
    DWORD result = reload_and_read_stderr();
    ok(result == ERROR_SHARING_VIOLATION, "BackupBeforeWrite drive: %lu\n", result);
    check_entry(ERROR_SHARING_VIOLATION, "[Reload] Meet BackupBeforeWrite device.");
    /* Only the query reached the driver: nothing was flushed. */
    ok(!strcmp(requests_after_open(), "Q"), "requests %s\n", requests_after_open());
}

static void test_query_failures(void) {
    /* A scripted status reaches the caller through the usual mapping. */
    open_drive(STAND_IN_LETTER, 0);
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, STATUS_DEVICE_BUSY, 0, 0,
                       0) == 0,
       "script failed\n");
    DWORD result = reload_and_read_stderr();
    ok(result == ERROR_BUSY, "scripted busy query: %lu\n", result);
    check_entry(ERROR_BUSY, "[Reload] Failed to query device information.");
    ok(!strcmp(requests_after_open(), "Q"), "requests %s\n", requests_after_open());

    /* A reply one byte short: the query's 122 is passed on. */
    open_drive(STAND_IN_LETTER, 0);
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0,
                       TOLVAR_QUERY_REPLY_SIZE - 1, 0, 0x41) == 0,
       "script failed\n");
    result = reload_and_read_stderr();
    ok(result == ERROR_INSUFFICIENT_BUFFER, "short query reply: %lu\n", result);
    check_entry(ERROR_INSUFFICIENT_BUFFER, "[Reload] Failed to query device information.");

    /* A closed drive: the stand-in's own STATUS_DEVICE_NOT_READY. */
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    result = reload_and_read_stderr();
    ok(result == ERROR_NOT_READY, "closed drive: %lu\n", result);
    check_entry(ERROR_NOT_READY, "[Reload] Failed to query device information.");
}

static void test_drive_flush_failure(void) {
    open_drive(STAND_IN_LETTER, 0);
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_FLUSH, 0, STATUS_IO_DEVICE_ERROR, 0, 0, 0) == 0,
       "script failed\n");
    DWORD result = reload_and_read_stderr();
    ok(result == ERROR_IO_DEVICE, "failing drive flush: %lu\n", result);
    check_entry(ERROR_IO_DEVICE, "[Reload] Failed to flush MP.");
    ok(!strcmp(requests_after_open(), "QF"), "requests %s\n", requests_after_open());
}

static void test_undefined_letter(void) {
    open_drive(UNDEFINED_LETTER, 0);
    DWORD result = reload_and_read_stderr();
    /* Opening \\.\Q: fails as on Windows. */
    ok(result == ERROR_FILE_NOT_FOUND, "undefined letter: %lu\n", result);
    check_entry(ERROR_FILE_NOT_FOUND, "[Reload] Failed to flush SP.");
    /* The drive was flushed; no dismount and no reload. */
    ok(!strcmp(requests_after_open(), "QF"), "requests %s\n", requests_after_open());
}

static void test_letter_of_the_drive_device(void) {
    char name[] = " :";
    name[0] = STAND_IN_LETTER;
    if (!(ok(DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, DEVICE_KERNEL_NAME),
             "defining %s failed: %lu\n", name, GetLastError())))
        return;
    open_drive(STAND_IN_LETTER, 0);
    DWORD result = reload_and_read_stderr();
    /* Both flushes reach the stand-in (the second through the letter).
     * Windows answers the lookup for a letter defined with DefineDosDevice
     * for a device that is no mount-manager volume with
     * ERROR_INVALID_PARAMETER (87); Wine's mount manager knows only its own
     * volumes and gives ERROR_NO_VOLUME_ID (1173), the value the testing
     * header names for a customer's tests. */
    ok(wine_only(result == TOLVARVX_WINE_RELOAD_RESULT), "letter of the drive device: %lu\n", result);
    check_entry(ERROR_NO_VOLUME_ID, "[Reload] Failed to get volume name.");
    /* Never dismounted, never reloaded. */
    ok(!strcmp(requests_after_open(), "QFF"), "requests %s\n", requests_after_open());
    ok(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, name,
                        DEVICE_KERNEL_NAME),
       "removing %s failed: %lu\n", name, GetLastError());
}

START_TEST(reload) {
    if (!(ok(letter_is_free(STAND_IN_LETTER) && letter_is_free(UNDEFINED_LETTER),
             "%c: or %c: is defined in this prefix\n", STAND_IN_LETTER, UNDEFINED_LETTER)))
        return;
    test_backup_before_write_is_refused();
    test_query_failures();
    test_drive_flush_failure();
    test_undefined_letter();
    test_letter_of_the_drive_device();
    tolvarvx_reset(DEVICE);
}
