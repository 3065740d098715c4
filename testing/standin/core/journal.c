/* The journal: the last TOLVARVX_JOURNAL_CAPACITY requests a device
 * answered, in a ring, and the raw bytes of the last open request. */
#include <stddef.h>

#include "bytes.h"
#include "device_internal.h"

void tolvarvx_journal_record(tolvarvx_device* device, const TolvarvxJournalEntry* entry)
{
    uint32_t slot = device->journalRecorded % TOLVARVX_JOURNAL_CAPACITY;
    device->journal[slot] = *entry;
    device->journalRecorded += 1;
    device->journal[slot].Sequence = device->journalRecorded;
}

void tolvarvx_journal_read(const tolvarvx_device* device, uint8_t* out)
{
    /* Field by field: `out` need not be aligned for a TolvarvxJournal. */
    uint32_t recorded = device->journalRecorded;
    uint32_t count = recorded < TOLVARVX_JOURNAL_CAPACITY ? recorded : TOLVARVX_JOURNAL_CAPACITY;
    uint32_t oldest = recorded - count;
    const uint32_t header[4] = {recorded, count, device->lastOpenValid, 0};
    tolvarvx_fill(out, 0, sizeof(TolvarvxJournal));
    tolvarvx_copy(out + offsetof(TolvarvxJournal, Recorded), header, sizeof header);
    for (uint32_t i = 0; i < count; ++i)
        tolvarvx_copy(out + offsetof(TolvarvxJournal, Entries) + i * sizeof(TolvarvxJournalEntry),
                      &device->journal[(oldest + i) % TOLVARVX_JOURNAL_CAPACITY],
                      sizeof(TolvarvxJournalEntry));
    tolvarvx_copy(out + offsetof(TolvarvxJournal, LastOpenRequest), device->lastOpenRequest,
                  sizeof device->lastOpenRequest);
}

void tolvarvx_journal_clear(tolvarvx_device* device)
{
    tolvarvx_fill(device->journal, 0, sizeof device->journal);
    device->journalRecorded = 0;
    tolvarvx_fill(device->lastOpenRequest, 0, sizeof device->lastOpenRequest);
    device->lastOpenValid = 0;
}
