/* Request routing: the contract's size checks, the authentication gate,
 * scripted completions and the journal. */
#include "bytes.h"
#include "device_internal.h"

enum request_handler {
    HANDLE_OPEN, HANDLE_CLOSE, HANDLE_RELOAD, HANDLE_CHALLENGE, HANDLE_AUTHEN,
    HANDLE_DEAUTHEN, HANDLE_QUERY, HANDLE_DISMOUNT, HANDLE_VOLUME_LOCK
};

#define ANY_INPUT_SIZE 0xFFFFFFFFu

typedef struct request_rule {
    uint32_t code;
    uint32_t inputSize;     /* exact, or ANY_INPUT_SIZE */
    uint32_t minOutputSize;
    uint32_t needsAuth;     /* refused before a handshake when the device requires one */
    enum request_handler handler;
} request_rule;

static const request_rule rules[] = {
    {IOCTL_TOLVAR_OPEN, TOLVAR_OPEN_REQUEST_SIZE, 0, 1, HANDLE_OPEN},
    {IOCTL_TOLVAR_CLOSE, 0, 0, 1, HANDLE_CLOSE},
    {IOCTL_TOLVAR_RELOAD, 0, 0, 1, HANDLE_RELOAD},
    {IOCTL_TOLVAR_GET_CHALLENGE, 0, TOLVAR_CHALLENGE_SIZE, 0, HANDLE_CHALLENGE},
    {IOCTL_TOLVAR_AUTHEN, TOLVAR_RESPONSE_SIZE, 0, 0, HANDLE_AUTHEN},
    {IOCTL_TOLVAR_DEAUTHEN, 0, 0, 0, HANDLE_DEAUTHEN},
    {IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE, 1, HANDLE_QUERY},
    /* Volume requests take no buffers; whatever comes with them is ignored. */
    {TOLVAR_FSCTL_DISMOUNT_VOLUME, ANY_INPUT_SIZE, 0, 0, HANDLE_DISMOUNT},
    {TOLVAR_FSCTL_LOCK_VOLUME, ANY_INPUT_SIZE, 0, 0, HANDLE_VOLUME_LOCK},
    {TOLVAR_FSCTL_UNLOCK_VOLUME, ANY_INPUT_SIZE, 0, 0, HANDLE_VOLUME_LOCK},
};

static const request_rule* find_rule(uint32_t code)
{
    for (uint32_t i = 0; i < sizeof rules / sizeof rules[0]; ++i)
        if (rules[i].code == code)
            return &rules[i];
    return 0;
}

int tolvarvx_is_drive_code(uint32_t code)
{
    return find_rule(code) != 0;
}

static tolvarvx_status perform(tolvarvx_device* device, uint32_t code, const uint8_t* in,
                               uint32_t inLength, uint8_t* out, uint32_t outLength,
                               uint32_t* information)
{
    const request_rule* rule = find_rule(code);
    if (!rule)
        return TOLVARVX_STATUS_INVALID_DEVICE_REQUEST;
    if (rule->inputSize != ANY_INPUT_SIZE && inLength != rule->inputSize)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    if (outLength < rule->minOutputSize)
        return TOLVARVX_STATUS_BUFFER_TOO_SMALL;
    if (rule->needsAuth && device->authRequired && !device->authenticated)
        return TOLVARVX_STATUS_ACCESS_DENIED;

    switch (rule->handler) {
    case HANDLE_OPEN: return tolvarvx_drive_open(device, in);
    case HANDLE_CLOSE: return tolvarvx_drive_close(device);
    case HANDLE_RELOAD: return tolvarvx_drive_reload(device);
    case HANDLE_CHALLENGE: return tolvarvx_auth_challenge(device, out, information);
    case HANDLE_AUTHEN: return tolvarvx_auth_answer(device, in);
    case HANDLE_DEAUTHEN: return tolvarvx_auth_drop(device);
    case HANDLE_QUERY: return tolvarvx_drive_query(device, out, information);
    case HANDLE_DISMOUNT: device->dismountCount += 1; return TOLVARVX_STATUS_SUCCESS;
    case HANDLE_VOLUME_LOCK: return TOLVARVX_STATUS_SUCCESS;
    }
    return TOLVARVX_STATUS_INVALID_DEVICE_REQUEST;
}

/* Applies a scripted completion, or carries the request out. */
static tolvarvx_status answer(tolvarvx_device* device, uint32_t kind, uint32_t code,
                              const uint8_t* in, uint32_t inLength, uint8_t* out,
                              uint32_t outLength, uint32_t* information, uint32_t* journalFlags)
{
    TolvarvxScript script;
    int scripted = tolvarvx_script_take(device, kind, code, &script);
    tolvarvx_status status = TOLVARVX_STATUS_SUCCESS;
    if (!scripted || (script.Flags & TOLVARVX_SCRIPT_PERFORM)) {
        if (kind == TOLVARVX_KIND_FLUSH)
            device->flushCount += 1;
        else
            status = perform(device, code, in, inLength, out, outLength, information);
    }
    if (!scripted)
        return status;

    *journalFlags = TOLVARVX_JOURNAL_SCRIPTED;
    *information = script.Information < outLength ? script.Information : outLength;
    if (!(script.Flags & TOLVARVX_SCRIPT_PERFORM))
        tolvarvx_fill(out, (uint8_t)script.FillByte, *information);
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
            status = find_rule(code) ? TOLVARVX_STATUS_INVALID_PARAMETER
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
