/* The handshake through real requests, each on a handle of its own as the
 * library sends them: the state lives in the device. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 1

static BYTE secret[64];
static DWORD secretLength;

static DWORD get_challenge(BYTE challenge[16])
{
    DWORD returned = 0;
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ); /* read access suffices */
    DWORD error = stand_in_control(device, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge, 16, &returned);
    CloseHandle(device);
    ok(error || returned == 16, "challenge of %lu bytes\n", returned);
    return error;
}

static DWORD authen(const BYTE response[16])
{
    DWORD returned = 0;
    return stand_in_request(DEVICE, IOCTL_TOLVAR_AUTHEN, response, 16, NULL, 0, &returned);
}

static DWORD deauthen(void)
{
    DWORD returned = 0;
    return stand_in_request(DEVICE, IOCTL_TOLVAR_DEAUTHEN, NULL, 0, NULL, 0, &returned);
}

static void test_challenges_are_fresh(void)
{
    BYTE first[16], second[16];
    ok(get_challenge(first) == 0 && get_challenge(second) == 0, "challenge failed\n");
    ok(memcmp(first, second, 16) != 0, "two challenges are equal\n");
}

static void test_correct_wrong_and_stale(void)
{
    BYTE challenge[16], response[16];
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");

    ok(get_challenge(challenge) == 0, "challenge failed\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    DWORD error = authen(response);
    ok(error == 0, "correct response refused: %lu\n", error);

    /* Stale: the same response again. */
    error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "repeated response: error %lu\n", error);

    /* Wrong: one bit off. */
    ok(get_challenge(challenge) == 0, "challenge failed\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    response[0] ^= 0x80;
    error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "wrong response: error %lu\n", error);

    /* Replaced: the answer to an older challenge. */
    BYTE newer[16];
    ok(get_challenge(challenge) == 0 && get_challenge(newer) == 0, "challenge failed\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "answer to a replaced challenge: error %lu\n", error);

    /* No challenge out after a deauthen. */
    ok(get_challenge(challenge) == 0, "challenge failed\n");
    ok(deauthen() == 0, "deauthen failed\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "answer after deauthen: error %lu\n", error);
}

static void test_requirement_gates_drive_requests(void)
{
    TolvarOpenRequest request;
    BYTE response[16];
    static TolvarQueryReply reply;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_require_auth(DEVICE, 1) == 0, "requirement not set\n");
    stand_in_open_request(&request, 'Z', 0, "", "C:\\stand-in\\z.img");

    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "open before the handshake: error %lu\n", error);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned);
    ok(error == ERROR_ACCESS_DENIED, "query before the handshake: error %lu\n", error);

    ok(stand_in_response(DEVICE, secret, secretLength, response) == 0, "challenge failed\n");
    ok(authen(response) == 0, "handshake refused\n");
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == 0, "open after the handshake: error %lu\n", error);

    ok(deauthen() == 0, "deauthen failed\n");
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "close after deauthen: error %lu\n", error);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_RELOAD, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "reload after deauthen: error %lu\n", error);

    /* Without the requirement the same close passes. */
    ok(tolvarvx_require_auth(DEVICE, 0) == 0, "requirement not cleared\n");
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == 0, "close without the requirement: error %lu\n", error);
}

static void test_secret_belongs_to_the_device(void)
{
    BYTE response[16];
    BYTE otherSecret[64];
    DWORD otherLength = stand_in_default_secret(DEVICE + 1, otherSecret, sizeof otherSecret);
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(stand_in_response(DEVICE, otherSecret, otherLength, response) == 0, "challenge failed\n");
    DWORD error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "another device's secret: error %lu\n", error);

    ok(tolvarvx_set_secret(DEVICE, "a secret of this test", 21) == 0, "secret not set\n");
    ok(stand_in_response(DEVICE, secret, secretLength, response) == 0, "challenge failed\n");
    error = authen(response);
    ok(error == ERROR_ACCESS_DENIED, "the replaced default secret: error %lu\n", error);
    ok(stand_in_response(DEVICE, "a secret of this test", 21, response) == 0, "challenge failed\n");
    ok(authen(response) == 0, "the new secret was refused\n");
}

START_TEST(handshake)
{
    secretLength = stand_in_default_secret(DEVICE, secret, sizeof secret);
    test_challenges_are_fresh();
    test_correct_wrong_and_stale();
    test_requirement_gates_drive_requests();
    test_secret_belongs_to_the_device();
    tolvarvx_reset(DEVICE);
}
