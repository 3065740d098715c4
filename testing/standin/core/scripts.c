/* Scripted completions: a short queue per device, matched by request kind
 * and code, oldest first. */
#include "bytes.h"
#include "device_internal.h"

tolvarvx_status tolvarvx_script_push(tolvarvx_device* device, const TolvarvxScript* script)
{
    if (script->Kind == TOLVARVX_KIND_FLUSH) {
        if (script->Code != 0)
            return TOLVARVX_STATUS_INVALID_PARAMETER;
    } else if (script->Kind == TOLVARVX_KIND_CONTROL) {
        /* Only requests the stand-in answers: a script of any other code
         * would wait forever, and the test interface stays reachable. */
        if (!tolvarvx_find_rule(script->Code))
            return TOLVARVX_STATUS_INVALID_PARAMETER;
    } else {
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    }
    if ((script->Flags & ~TOLVARVX_SCRIPT_PERFORM) != 0 || script->FillByte > 0xFFu)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    /* The kernel part completes the request with this status. STATUS_PENDING
     * is what a dispatch routine returns for a request it has not completed,
     * and 0xFFFFFFFF marks a status never set: IoCompleteRequest asserts
     * against both (Driver Verifier stops the machine), and a caller may be
     * left waiting for a completion that has already happened. */
    if (script->Status == TOLVARVX_STATUS_PENDING || script->Status == 0xFFFFFFFFu)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    if (device->scriptCount >= TOLVARVX_SCRIPT_CAPACITY)
        return TOLVARVX_STATUS_INSUFFICIENT_RESOURCES;
    device->scripts[device->scriptCount++] = *script;
    return TOLVARVX_STATUS_SUCCESS;
}

int tolvarvx_script_take(tolvarvx_device* device, uint32_t kind, uint32_t code, TolvarvxScript* out)
{
    for (uint32_t i = 0; i < device->scriptCount; ++i) {
        if (device->scripts[i].Kind != kind || device->scripts[i].Code != code)
            continue;
        *out = device->scripts[i];
        for (uint32_t j = i + 1; j < device->scriptCount; ++j)
            device->scripts[j - 1] = device->scripts[j];
        device->scriptCount -= 1;
        return 1;
    }
    return 0;
}

void tolvarvx_script_clear(tolvarvx_device* device)
{
    tolvarvx_fill(device->scripts, 0, sizeof device->scripts);
    device->scriptCount = 0;
}
