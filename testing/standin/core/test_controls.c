/* The test interface (tolvarvx_test.h). */
#include "bytes.h"
#include "device_internal.h"

void tolvarvx_device_reset(tolvarvx_device* device)
{
    tolvarvx_drive_forget(device);
    device->openCount = device->closeCount = device->reloadCount = 0;
    device->flushCount = device->dismountCount = 0;
    tolvarvx_auth_reset(device);
    tolvarvx_journal_clear(device);
    tolvarvx_script_clear(device);
}

static tolvarvx_status read_flag(const uint8_t* in, uint32_t* flag)
{
    uint32_t value;
    tolvarvx_copy(&value, in, sizeof value);
    if (value > 1)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    *flag = value;
    return TOLVARVX_STATUS_SUCCESS;
}

static tolvarvx_status set_secret(tolvarvx_device* device, const uint8_t* in)
{
    TolvarvxSecret secret;
    tolvarvx_copy(&secret, in, sizeof secret);
    if (secret.Length == 0 || secret.Length > TOLVARVX_SECRET_MAX)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    tolvarvx_fill(device->secret, 0, sizeof device->secret);
    tolvarvx_copy(device->secret, secret.Bytes, secret.Length);
    device->secretLength = secret.Length;
    tolvarvx_fill(&secret, 0, sizeof secret);
    return TOLVARVX_STATUS_SUCCESS;
}

static uint32_t input_size_of(uint32_t code)
{
    switch (code) {
    case IOCTL_TOLVARVX_TEST_SCRIPT: return sizeof(TolvarvxScript);
    case IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED: return sizeof(uint32_t);
    case IOCTL_TOLVARVX_TEST_SET_SECRET: return sizeof(TolvarvxSecret);
    case IOCTL_TOLVARVX_TEST_CRASH: return sizeof(uint32_t);
    default: return 0;
    }
}

tolvarvx_status tolvarvx_test_control(tolvarvx_device* device, uint32_t code, const uint8_t* in,
                                      uint32_t inLength, uint8_t* out, uint32_t outLength,
                                      uint32_t* information)
{
    if (inLength != input_size_of(code))
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    switch (code) {
    case IOCTL_TOLVARVX_TEST_RESET:
        tolvarvx_device_reset(device);
        return TOLVARVX_STATUS_SUCCESS;
    case IOCTL_TOLVARVX_TEST_SCRIPT: {
        TolvarvxScript script;
        tolvarvx_copy(&script, in, sizeof script);
        return tolvarvx_script_push(device, &script);
    }
    case IOCTL_TOLVARVX_TEST_JOURNAL:
        if (outLength < sizeof(TolvarvxJournal))
            return TOLVARVX_STATUS_BUFFER_TOO_SMALL;
        /* Written in place: the journal is larger than a kernel stack should hold. */
        tolvarvx_journal_read(device, out);
        *information = sizeof(TolvarvxJournal);
        return TOLVARVX_STATUS_SUCCESS;
    case IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED:
        return read_flag(in, &device->authRequired);
    case IOCTL_TOLVARVX_TEST_SET_SECRET:
        return set_secret(device, in);
    case IOCTL_TOLVARVX_TEST_VERSION: {
        const uint32_t version = TOLVARVX_TEST_INTERFACE_VERSION;
        if (outLength < sizeof version)
            return TOLVARVX_STATUS_BUFFER_TOO_SMALL;
        tolvarvx_copy(out, &version, sizeof version);
        *information = sizeof version;
        return TOLVARVX_STATUS_SUCCESS;
    }
    default: /* IOCTL_TOLVARVX_TEST_CRASH: faulting is the platform's business */
        return tolvarvx_is_crash_request(code, in, inLength) ? TOLVARVX_STATUS_NOT_SUPPORTED
                                                             : TOLVARVX_STATUS_INVALID_PARAMETER;
    }
}
