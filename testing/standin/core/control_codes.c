/* Which control codes the stand-in answers, in one place: the contract's
 * drive and volume requests with their size rules, and the test interface.
 * Dispatch routes by it, and scripts accept only the codes it names. */
#include "device_internal.h"

static const tolvarvx_request_rule rules[] = {
    {IOCTL_TOLVAR_OPEN, TOLVAR_OPEN_REQUEST_SIZE, 0, 1, TOLVARVX_HANDLE_OPEN},
    {IOCTL_TOLVAR_CLOSE, 0, 0, 1, TOLVARVX_HANDLE_CLOSE},
    {IOCTL_TOLVAR_RELOAD, 0, 0, 1, TOLVARVX_HANDLE_RELOAD},
    {IOCTL_TOLVAR_GET_CHALLENGE, 0, TOLVAR_CHALLENGE_SIZE, 0, TOLVARVX_HANDLE_CHALLENGE},
    {IOCTL_TOLVAR_AUTHEN, TOLVAR_RESPONSE_SIZE, 0, 0, TOLVARVX_HANDLE_AUTHEN},
    {IOCTL_TOLVAR_DEAUTHEN, 0, 0, 0, TOLVARVX_HANDLE_DEAUTHEN},
    {IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE, 1, TOLVARVX_HANDLE_QUERY},
    /* Volume requests take no buffers; whatever comes with them is ignored. */
    {TOLVAR_FSCTL_DISMOUNT_VOLUME, TOLVARVX_ANY_INPUT_SIZE, 0, 0, TOLVARVX_HANDLE_DISMOUNT},
    {TOLVAR_FSCTL_LOCK_VOLUME, TOLVARVX_ANY_INPUT_SIZE, 0, 0, TOLVARVX_HANDLE_VOLUME_LOCK},
    {TOLVAR_FSCTL_UNLOCK_VOLUME, TOLVARVX_ANY_INPUT_SIZE, 0, 0, TOLVARVX_HANDLE_VOLUME_LOCK},
};

const tolvarvx_request_rule* tolvarvx_find_rule(uint32_t code)
{
    for (uint32_t i = 0; i < sizeof rules / sizeof rules[0]; ++i)
        if (rules[i].code == code)
            return &rules[i];
    return 0;
}

int tolvarvx_is_test_code(uint32_t code)
{
    uint32_t function = TOLVAR_CODE_FUNCTION(code);
    return code == TOLVARVX_TEST_CODE(function) && function >= TOLVARVX_TEST_FIRST_FUNCTION &&
           function <= TOLVARVX_TEST_LAST_FUNCTION;
}
