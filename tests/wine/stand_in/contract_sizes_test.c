/* Every control code of the contract with its exact sizes, another input
 * size and a short output, and codes the stand-in does not know. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 1

struct contract {
    const char* name;
    DWORD code;
    DWORD input;
    DWORD output; /* minimum output and bytes returned */
};

static const struct contract contracts[] = {
    {"OPEN", IOCTL_TOLVAR_OPEN, TOLVAR_OPEN_REQUEST_SIZE, 0},
    {"CLOSE", IOCTL_TOLVAR_CLOSE, 0, 0},
    {"RELOAD", IOCTL_TOLVAR_RELOAD, 0, 0},
    {"GET_CHALLENGE", IOCTL_TOLVAR_GET_CHALLENGE, 0, TOLVAR_CHALLENGE_SIZE},
    {"AUTHEN", IOCTL_TOLVAR_AUTHEN, TOLVAR_RESPONSE_SIZE, 0},
    {"DEAUTHEN", IOCTL_TOLVAR_DEAUTHEN, 0, 0},
    {"QUERY", IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE},
};

static BYTE in[2048];
static BYTE out[2048];

/* Puts device DEVICE where `code` can succeed and fills `in` for it. */
static void prepare(DWORD code)
{
    TolvarOpenRequest request;
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'S', 0, "", "C:\\stand-in\\sizes.img");
    memcpy(in, &request, sizeof request);
    if (code == IOCTL_TOLVAR_CLOSE || code == IOCTL_TOLVAR_RELOAD || code == IOCTL_TOLVAR_QUERY)
        ok(stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, in, sizeof request, NULL, 0, &returned) == 0,
           "open failed\n");
    if (code == IOCTL_TOLVAR_AUTHEN) {
        BYTE secret[64];
        DWORD length = stand_in_default_secret(DEVICE, secret, sizeof secret);
        ok(stand_in_response(DEVICE, secret, length, in) == 0, "challenge failed\n");
    }
}

static void test_exact_sizes(void)
{
    for (unsigned i = 0; i < sizeof contracts / sizeof contracts[0]; ++i) {
        const struct contract* c = &contracts[i];
        DWORD returned = 0xDEADBEEF;
        prepare(c->code);
        DWORD error = stand_in_request(DEVICE, c->code, in, c->input, out, c->output, &returned);
        ok(error == 0, "%s: error %lu\n", c->name, error);
        ok(returned == c->output, "%s: %lu bytes returned\n", c->name, returned);

        /* A larger output buffer is fine; the reply keeps its own size. */
        prepare(c->code);
        error = stand_in_request(DEVICE, c->code, in, c->input, out, sizeof out, &returned);
        ok(error == 0 && returned == c->output, "%s, large output: error %lu, %lu bytes\n",
           c->name, error, returned);
    }
}

static void test_other_input_sizes(void)
{
    for (unsigned i = 0; i < sizeof contracts / sizeof contracts[0]; ++i) {
        const struct contract* c = &contracts[i];
        DWORD sizes[3] = {c->input + 1, c->input ? c->input - 1 : 16, c->input ? 0 : 1048};
        for (unsigned s = 0; s < 3; ++s) {
            DWORD returned = 0;
            prepare(c->code);
            DWORD error = stand_in_request(DEVICE, c->code, in, sizes[s], out, c->output, &returned);
            /* STATUS_INVALID_PARAMETER */
            ok(error == ERROR_INVALID_PARAMETER, "%s with %lu input bytes: error %lu\n", c->name,
               sizes[s], error);
        }
    }
}

static void test_short_output(void)
{
    DWORD returned = 0;
    prepare(IOCTL_TOLVAR_GET_CHALLENGE);
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, out, 15, &returned);
    ok(error == ERROR_INSUFFICIENT_BUFFER, "GET_CHALLENGE into 15 bytes: error %lu\n", error);
    prepare(IOCTL_TOLVAR_QUERY);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, out, 1351, &returned);
    ok(error == ERROR_INSUFFICIENT_BUFFER, "QUERY into 1351 bytes: error %lu\n", error);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_INSUFFICIENT_BUFFER, "QUERY without output: error %lu\n", error);
}

static void test_unknown_codes(void)
{
    const DWORD unknown[] = {
        TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, 0x807, 0, 3),
        TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, 0x800, 0, 0), /* OPEN's function, any access */
        TOLVARVX_TEST_CODE(0x907), /* past the test interface */
    };
    static TolvarvxJournal journal;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    for (unsigned i = 0; i < sizeof unknown / sizeof unknown[0]; ++i) {
        DWORD returned = 0;
        DWORD error = stand_in_request(DEVICE, unknown[i], in, 4, out, 4, &returned);
        /* STATUS_INVALID_DEVICE_REQUEST */
        ok(error == ERROR_INVALID_FUNCTION, "code %08lx: error %lu\n", unknown[i], error);
    }
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
    ok(journal.Count == 3, "%u requests journaled\n", journal.Count);
    ok(journal.Entries[1].Code == unknown[1] && journal.Entries[1].InputLength == 4 &&
           journal.Entries[1].OutputLength == 4 &&
           journal.Entries[1].Status == 0xC0000010u,
       "entry: code %08x, %u in, %u out, status %08x\n", journal.Entries[1].Code,
       journal.Entries[1].InputLength, journal.Entries[1].OutputLength, journal.Entries[1].Status);
}

static void test_devices_present(void)
{
    for (unsigned index = 0; index < 4; ++index) {
        HANDLE device = stand_in_open(index, STAND_IN_READ_WRITE);
        ok(device != INVALID_HANDLE_VALUE, "TOLVARVX%u: error %lu\n", index, GetLastError());
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }
    HANDLE missing = stand_in_open(4, STAND_IN_READ_WRITE);
    ok(missing == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
       "TOLVARVX4: handle %p, error %lu\n", missing, GetLastError());
}

/* The version request, and what the SDK's check makes of each answer: the
 * stand-in's own, another version, a stand-in without the request. */
static void test_interface_version(void)
{
    char message[400];
    char cut[9];
    DWORD error = tolvarvx_check_version(DEVICE, message, sizeof message);
    ok(error == 0 && !strcmp(message, "driver stand-in test interface version 2"),
       "version: error %lu, \"%s\"\n", error, message);
    error = tolvarvx_judge_version(DEVICE, 0, 4, TOLVARVX_TEST_INTERFACE_VERSION + 1, message,
                                   sizeof message);
    ok(error == ERROR_REVISION_MISMATCH && strstr(message, "is version 3,") &&
           strstr(message, "built for version 2:"),
       "another version: error %lu, \"%s\"\n", error, message);
    error = tolvarvx_judge_version(DEVICE, ERROR_INVALID_FUNCTION, 0, 0, message, sizeof message);
    ok(error == ERROR_UNKNOWN_REVISION && strstr(message, "predates") &&
           strstr(message, "version 2"),
       "no version request: error %lu, \"%s\"\n", error, message);
    memset(cut, 'x', sizeof cut);
    error = tolvarvx_judge_version(DEVICE, 0, 4, 7, cut, 8);
    ok(error == ERROR_REVISION_MISMATCH && !strcmp(cut, "the dri") && cut[8] == 'x',
       "message cut to 8 bytes: error %lu, \"%.8s\"\n", error, cut);
}

/* A journal buffer too small is refused before any request is sent. */
static void test_short_journal_buffer(void)
{
    static TolvarvxJournal journal;
    memset(&journal, 0xEE, sizeof journal);
    DWORD error = tolvarvx_read_journal(DEVICE, &journal, sizeof journal - 1);
    ok(error == ERROR_INSUFFICIENT_BUFFER && journal.Recorded == 0xEEEEEEEEu,
       "journal into %u bytes: error %lu\n", (unsigned)sizeof journal - 1, error);
    error = tolvarvx_read_journal(DEVICE, NULL, sizeof journal);
    ok(error == ERROR_INVALID_PARAMETER, "journal into NULL: error %lu\n", error);
}

START_TEST(contract_sizes)
{
    test_interface_version();
    test_short_journal_buffer();
    test_devices_present();
    test_exact_sizes();
    test_other_input_sizes();
    test_short_output();
    test_unknown_codes();
    tolvarvx_reset(DEVICE);
}
