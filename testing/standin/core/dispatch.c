/* Request routing: the contract's size checks, the authentication gate,
 * scripted completions and the journal. */
#include "bytes.h"
#include "device_internal.h"

/* Carries a drive or volume request out. `*written` gets the number of
 * bytes of `out` it wrote, whatever the outcome. */
static tolvarvx_status perform(tolvarvx_device* device, uint32_t code, const uint8_t* in,
                               uint32_t inLength, uint8_t* out, uint32_t outLength,
                               uint32_t* written)
{
    const tolvarvx_request_rule* rule = tolvarvx_find_rule(code);
    if (!rule)
        return TOLVARVX_STATUS_INVALID_DEVICE_REQUEST;
    if (rule->inputSize != TOLVARVX_ANY_INPUT_SIZE && inLength != rule->inputSize)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    if (outLength < rule->minOutputSize)
        return TOLVARVX_STATUS_BUFFER_TOO_SMALL;
    if (rule->needsAuth && device->authRequired && !device->authenticated)
        return TOLVARVX_STATUS_ACCESS_DENIED;

    switch (rule->handler) {
    case TOLVARVX_HANDLE_OPEN: return tolvarvx_drive_open(device, in);
    case TOLVARVX_HANDLE_CLOSE: return tolvarvx_drive_close(device);
    case TOLVARVX_HANDLE_RELOAD: return tolvarvx_drive_reload(device);
    case TOLVARVX_HANDLE_CHALLENGE: return tolvarvx_auth_challenge(device, out, written);
    case TOLVARVX_HANDLE_AUTHEN: return tolvarvx_auth_answer(device, in);
    case TOLVARVX_HANDLE_DEAUTHEN: return tolvarvx_auth_drop(device);
    case TOLVARVX_HANDLE_QUERY: return tolvarvx_drive_query(device, out, written);
    case TOLVARVX_HANDLE_DISMOUNT: device->dismountCount += 1; return TOLVARVX_STATUS_SUCCESS;
    case TOLVARVX_HANDLE_VOLUME_LOCK: return TOLVARVX_STATUS_SUCCESS;
    }
    return TOLVARVX_STATUS_INVALID_DEVICE_REQUEST;
}

/* Applies a scripted completion, or carries the request out. Every byte
 * reported as returned was written: what the request itself did not write
 * of a scripted count gets the script's fill byte, since the platform
 * hands the count to user mode and the buffer may hold anything. */
static tolvarvx_status answer(tolvarvx_device* device, uint32_t kind, uint32_t code,
                              const uint8_t* in, uint32_t inLength, uint8_t* out,
                              uint32_t outLength, uint32_t* information, uint32_t* journalFlags)
{
    TolvarvxScript script;
    int scripted = tolvarvx_script_take(device, kind, code, &script);
    tolvarvx_status status = TOLVARVX_STATUS_SUCCESS;
    uint32_t written = 0;
    if (!scripted || (script.Flags & TOLVARVX_SCRIPT_PERFORM)) {
        if (kind == TOLVARVX_KIND_FLUSH)
            device->flushCount += 1;
        else
            status = perform(device, code, in, inLength, out, outLength, &written);
    }
    if (!scripted) {
        *information = written;
        return status;
    }

    *journalFlags = TOLVARVX_JOURNAL_SCRIPTED;
    uint32_t count = script.Information < outLength ? script.Information : outLength;
    if (written < count)
        tolvarvx_fill(out + written, (uint8_t)script.FillByte, count - written);
    *information = count;
    return script.Status;
}

tolvarvx_status tolvarvx_dispatch(tolvarvx_device* device, uint32_t code, const void* in,
                                  uint32_t inLength, void* out, uint32_t outLength,
                                  uint32_t* information)
{
    *information = 0;
    /* A buffer that is announced but missing (a platform gives none for a
     * code that is not METHOD_BUFFERED) is never touched. */
    int buffersMissing = (inLength != 0 && !in) || (outLength != 0 && !out);

    device->platform->lock(device->platform->context);
    tolvarvx_status status;
    if (tolvarvx_is_test_code(code)) {
        status = buffersMissing ? TOLVARVX_STATUS_INVALID_PARAMETER
                                : tolvarvx_test_control(device, code, (const uint8_t*)in,
                                                        inLength, (uint8_t*)out, outLength,
                                                        information);
    } else {
        uint32_t journalFlags = 0;
        if (buffersMissing) {
            status = tolvarvx_find_rule(code) ? TOLVARVX_STATUS_INVALID_PARAMETER
                                              : TOLVARVX_STATUS_INVALID_DEVICE_REQUEST;
        } else {
            if (code == IOCTL_TOLVAR_OPEN && inLength == TOLVAR_OPEN_REQUEST_SIZE) {
                tolvarvx_copy(device->lastOpenRequest, in, TOLVAR_OPEN_REQUEST_SIZE);
                device->lastOpenValid = 1;
            }
            status = answer(device, TOLVARVX_KIND_CONTROL, code, (const uint8_t*)in, inLength,
                            (uint8_t*)out, outLength, information, &journalFlags);
        }
        TolvarvxJournalEntry entry = {0, TOLVARVX_KIND_CONTROL, code, inLength, outLength,
                                      status, *information, journalFlags};
        tolvarvx_journal_record(device, &entry);
    }
    device->platform->unlock(device->platform->context);
    return status;
}

tolvarvx_status tolvarvx_flush(tolvarvx_device* device)
{
    uint32_t information = 0;
    uint32_t journalFlags = 0;
    device->platform->lock(device->platform->context);
    tolvarvx_status status = answer(device, TOLVARVX_KIND_FLUSH, 0, 0, 0, 0, 0, &information,
                                    &journalFlags);
    TolvarvxJournalEntry entry = {0, TOLVARVX_KIND_FLUSH, 0, 0, 0, status, information,
                                  journalFlags};
    tolvarvx_journal_record(device, &entry);
    device->platform->unlock(device->platform->context);
    return status;
}

void tolvarvx_device_init(tolvarvx_device* device, uint32_t index,
                          const tolvarvx_platform* platform)
{
    tolvarvx_fill(device, 0, sizeof *device);
    device->index = index;
    device->platform = platform;
    tolvarvx_device_reset(device);
}

int tolvarvx_is_crash_request(uint32_t code, const void* in, uint32_t inLength)
{
    if (code != IOCTL_TOLVARVX_TEST_CRASH || inLength != sizeof(uint32_t) || !in)
        return 0;
    uint32_t magic;
    tolvarvx_copy(&magic, in, sizeof magic);
    return magic == TOLVARVX_CRASH_MAGIC;
}
