/* The handshake through tolvarsdk.dll against the driver stand-in: the
 * library passes the challenge and the response through unchanged, and
 * the stand-in's rule (tolvarvx_handshake.h) decides. Each export opens a
 * handle of its own; the handshake lives in the device. */
#include <string.h>

#include "stand_in_client.h"
#include "tolvarsdk.h"
#include "wine_test.h"

#define DEVICE 2
#define STATUS_DEVICE_NOT_READY 0xC00000A3u

static BYTE secret[64];
static DWORD secretLength;

/* The journal's entries since the device's reset. */
static TolvarvxJournal journal;
static DWORD recorded(void)
{
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal not read\n");
    return journal.Recorded;
}

static void test_correct_response_is_accepted(void)
{
    BYTE challenge[17], response[16];
    DWORD error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    memset(challenge, 0xEE, sizeof challenge);

    SetLastError(0xdeadbeef);
    error = TolvarGetChallenge(challenge, DEVICE);
    ok(error == 0, "TolvarGetChallenge returned %lu\n", error);
    ok(challenge[16] == 0xEE, "a byte past the challenge was written\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    error = TolvarAuthen(response, DEVICE);
    ok(error == 0, "the correct response was refused: %lu\n", error);

    ok(recorded() == 2, "%lu requests reached the device\n", journal.Recorded);
    ok(journal.Entries[0].Code == IOCTL_TOLVAR_GET_CHALLENGE && journal.Entries[0].InputLength == 0 &&
           journal.Entries[0].OutputLength == 16 && journal.Entries[0].Information == 16,
       "challenge request %#lx in %lu out %lu returned %lu\n", journal.Entries[0].Code,
       journal.Entries[0].InputLength, journal.Entries[0].OutputLength, journal.Entries[0].Information);
    ok(journal.Entries[1].Code == IOCTL_TOLVAR_AUTHEN && journal.Entries[1].InputLength == 16 &&
           journal.Entries[1].OutputLength == 0 && journal.Entries[1].Status == 0,
       "authen request %#lx in %lu out %lu status %#lx\n", journal.Entries[1].Code,
       journal.Entries[1].InputLength, journal.Entries[1].OutputLength, journal.Entries[1].Status);
}

static void test_wrong_and_stale_responses_are_refused(void)
{
    BYTE challenge[16], older[16], response[16];
    DWORD error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");

    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "no challenge\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    ok(TolvarAuthen(response, DEVICE) == 0, "the correct response was refused\n");
    /* Stale: the same answer again; the stand-in consumed its challenge. */
    error = TolvarAuthen(response, DEVICE);
    ok(error == ERROR_ACCESS_DENIED, "a repeated response gave %lu\n", error);

    /* Wrong: one bit off. */
    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "no challenge\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    response[15] ^= 1;
    error = TolvarAuthen(response, DEVICE);
    ok(error == ERROR_ACCESS_DENIED, "a wrong response gave %lu\n", error);

    /* Stale: the answer to a challenge that a newer one replaced. */
    ok(TolvarGetChallenge(older, DEVICE) == 0 && TolvarGetChallenge(challenge, DEVICE) == 0,
       "no challenge\n");
    ok(memcmp(older, challenge, 16) != 0, "two challenges are equal\n");
    tolvarvx_compute_response(secret, secretLength, older, response);
    error = TolvarAuthen(response, DEVICE);
    ok(error == ERROR_ACCESS_DENIED, "the answer to a replaced challenge gave %lu\n", error);

    /* Another device's secret. */
    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "no challenge\n");
    {
        BYTE other[64];
        DWORD otherLength = stand_in_default_secret(DEVICE + 1, other, sizeof other);
        tolvarvx_compute_response(other, otherLength, challenge, response);
    }
    error = TolvarAuthen(response, DEVICE);
    ok(error == ERROR_ACCESS_DENIED, "another device's response gave %lu\n", error);
}

/* With authentication required, what the handshake allows and what
 * de-authentication takes away again. */
static void test_deauthentication(void)
{
    BYTE challenge[16], response[16];
    TolvarOpenRequest request;
    DWORD returned = 0, error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_require_auth(DEVICE, 1) == 0, "requirement not set\n");
    stand_in_open_request(&request, 'Z', 0, "", "C:\\stand-in\\access.img");

    error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "open before the handshake gave %lu\n", error);
    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "no challenge\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    ok(TolvarAuthen(response, DEVICE) == 0, "the correct response was refused\n");
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == 0, "open after the handshake gave %lu\n", error);

    error = TolvarDeauthen(DEVICE);
    ok(error == 0, "TolvarDeauthen returned %lu\n", error);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "close after de-authentication gave %lu\n", error);

    /* De-authentication also drops a challenge that is out. */
    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "no challenge\n");
    ok(TolvarDeauthen(DEVICE) == 0, "second TolvarDeauthen failed\n");
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    error = TolvarAuthen(response, DEVICE);
    ok(error == ERROR_ACCESS_DENIED, "an answer after de-authentication gave %lu\n", error);
    ok(tolvarvx_require_auth(DEVICE, 0) == 0, "requirement not cleared\n");
}

static void test_null_blocks_send_nothing(void)
{
    DWORD error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    error = TolvarGetChallenge(NULL, DEVICE);
    ok(error == ERROR_INVALID_PARAMETER, "TolvarGetChallenge(NULL) returned %lu\n", error);
    error = TolvarAuthen(NULL, DEVICE);
    ok(error == ERROR_INVALID_PARAMETER, "TolvarAuthen(NULL) returned %lu\n", error);
    ok(recorded() == 0, "%lu requests reached the device\n", journal.Recorded);
}

static void test_short_challenge(void)
{
    BYTE challenge[16];
    DWORD error;
    int i, intact = 1;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 15, 0, 0x5A) == 0,
       "script not queued\n");
    memset(challenge, 0xEE, sizeof challenge);
    error = TolvarGetChallenge(challenge, DEVICE);
    ok(error == ERROR_INSUFFICIENT_BUFFER, "a 15-byte challenge gave %lu\n", error);
    for (i = 0; i < 15; i++) intact &= challenge[i] == 0x5A;
    ok(intact, "the 15 bytes that came are not in the buffer\n");
    ok(challenge[15] == 0xEE, "byte 15 is %#x\n", challenge[15]);
}

static void test_driver_and_open_errors_pass_through(void)
{
    BYTE block[16] = {0};
    DWORD error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_AUTHEN, STATUS_DEVICE_NOT_READY, 0, 0, 0) == 0 &&
           tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_DEAUTHEN, STATUS_DEVICE_NOT_READY, 0, 0, 0) == 0 &&
           tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, STATUS_DEVICE_NOT_READY, 0, 0, 0) == 0,
       "scripts not queued\n");
    error = TolvarAuthen(block, DEVICE);
    ok(error == ERROR_NOT_READY, "TolvarAuthen returned %lu\n", error);
    error = TolvarDeauthen(DEVICE);
    ok(error == ERROR_NOT_READY, "TolvarDeauthen returned %lu\n", error);
    error = TolvarGetChallenge(block, DEVICE);
    ok(error == ERROR_NOT_READY, "TolvarGetChallenge returned %lu\n", error);

    /* No device 99999: each export fails at the open. */
    error = TolvarGetChallenge(block, 99999);
    ok(error == ERROR_FILE_NOT_FOUND, "TolvarGetChallenge(99999) returned %lu\n", error);
    error = TolvarAuthen(block, 99999);
    ok(error == ERROR_FILE_NOT_FOUND, "TolvarAuthen(99999) returned %lu\n", error);
    error = TolvarDeauthen(99999);
    ok(error == ERROR_FILE_NOT_FOUND, "TolvarDeauthen(99999) returned %lu\n", error);
}

START_TEST(access_handshake)
{
    secretLength = stand_in_default_secret(DEVICE, secret, sizeof secret);
    test_correct_response_is_accepted();
    test_wrong_and_stale_responses_are_refused();
    test_deauthentication();
    test_null_blocks_send_nothing();
    test_short_challenge();
    test_driver_and_open_errors_pass_through();
    tolvarvx_reset(DEVICE);
}
