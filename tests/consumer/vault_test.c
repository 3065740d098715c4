/* The application's own test of vault_mount, as a customer writes one: it
 * runs against the driver stand-in (tolvarsdk::testing) under Wine,
 * scripts what the driver answers, and checks what the application makes
 * of it and which requests reached the driver. Exits 0 when all hold. */
#include <stdio.h>
#include <string.h>

#include <tolvarvx_testing.h>

#include "vault.h"

#define DRIVE 1
#define LETTER 'V'
#define VAULT_FILE "C:\\vault\\customer.vault"

static int failures;

static void expect(int holds, const char* what, unsigned long value)
{
    printf("%s %s (%lu)\n", holds ? "ok:    " : "FAILED:", what, value);
    if (!holds)
        failures++;
}

static int untouched(const TolvarDriveInfo* info)
{
    const BYTE* bytes = (const BYTE*)info;
    for (size_t i = 0; i < sizeof *info; ++i)
        if (bytes[i] != 0x5A)
            return 0;
    return 1;
}

/* The journal entry of the last request with `code`, or NULL. */
static const TolvarvxJournalEntry* last_request(const TolvarvxJournal* journal, uint32_t code)
{
    const TolvarvxJournalEntry* found = NULL;
    for (uint32_t i = 0; i < journal->Count; ++i)
        if (journal->Entries[i].Kind == TOLVARVX_KIND_CONTROL && journal->Entries[i].Code == code)
            found = &journal->Entries[i];
    return found;
}

/* The driver refuses the open: the application gets the driver's error. */
static void test_busy_driver(void)
{
    TolvarDriveInfo mounted;
    TolvarvxJournal journal;
    const TolvarvxJournalEntry* open;
    DWORD error;
    expect(tolvarvx_reset(DRIVE) == 0, "stand-in reset", 0);
    expect(tolvarvx_script(DRIVE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_OPEN,
                           TOLVARVX_STATUS_DEVICE_BUSY, 0, 0, 0) == 0,
           "open scripted to fail with STATUS_DEVICE_BUSY", 0);
    memset(&mounted, 0x5A, sizeof mounted);
    error = vault_mount(DRIVE, LETTER, VAULT_FILE, &mounted);
    expect(error == ERROR_BUSY, "vault_mount returns the driver's error 170", error);
    expect(untouched(&mounted), "the record is untouched", 0);

    error = tolvarvx_read_journal(DRIVE, &journal, sizeof journal);
    expect(error == 0, "journal read", error);
    open = last_request(&journal, IOCTL_TOLVAR_OPEN);
    expect(open && open->Status == TOLVARVX_STATUS_DEVICE_BUSY &&
               (open->Flags & TOLVARVX_JOURNAL_SCRIPTED),
           "the open reached the driver and was answered by the script", 0);
    expect(journal.LastOpenValid && journal.LastOpenRequest[0] == LETTER,
           "the open carried the drive's letter", journal.LastOpenRequest[0]);
    expect(!last_request(&journal, IOCTL_TOLVAR_QUERY), "no query after the failed open", 0);
}

/* The driver's query reply is one byte short: the application gets 122
 * and its record is left as it was. */
static void test_short_query_reply(void)
{
    TolvarDriveInfo mounted;
    TolvarvxJournal journal;
    const TolvarvxJournalEntry* open;
    const TolvarvxJournalEntry* query;
    DWORD error;
    expect(tolvarvx_reset(DRIVE) == 0, "stand-in reset", 0);
    expect(tolvarvx_script(DRIVE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY,
                           TOLVARVX_STATUS_SUCCESS, TOLVAR_QUERY_REPLY_SIZE - 1, 0, 0xAB) == 0,
           "query scripted to return 1351 bytes", 0);
    memset(&mounted, 0x5A, sizeof mounted);
    error = vault_mount(DRIVE, LETTER, VAULT_FILE, &mounted);
    expect(error == ERROR_INSUFFICIENT_BUFFER, "vault_mount returns 122", error);
    expect(untouched(&mounted), "the record is untouched", 0);

    error = tolvarvx_read_journal(DRIVE, &journal, sizeof journal);
    expect(error == 0, "journal read", error);
    open = last_request(&journal, IOCTL_TOLVAR_OPEN);
    query = last_request(&journal, IOCTL_TOLVAR_QUERY);
    expect(open && open->Status == TOLVARVX_STATUS_SUCCESS, "the open reached the driver", 0);
    expect(query && query->Information == TOLVAR_QUERY_REPLY_SIZE - 1 &&
               (query->Flags & TOLVARVX_JOURNAL_SCRIPTED),
           "the query reached the driver and got the scripted 1351 bytes",
           query ? query->Information : 0);
}

int main(void)
{
    char message[256];
    DWORD error = tolvarvx_check_version(DRIVE, message, sizeof message);
    printf("%s\n", message);
    if (error) {
        printf("vault_test: refused the stand-in (error %lu)\n", (unsigned long)error);
        return 1;
    }
    test_busy_driver();
    test_short_query_reply();
    tolvarvx_reset(DRIVE);
    printf("vault_test: %d failures\n", failures);
    return failures ? 1 : 0;
}
