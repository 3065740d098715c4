/* Pieces of the core that dispatch.c puts together. Called with the
 * device's lock held. */
#ifndef TOLVARVX_DEVICE_INTERNAL_H
#define TOLVARVX_DEVICE_INTERNAL_H

#include "tolvarvx_core.h"

/* Drive requests (drive_requests.c). `in` holds exactly the contract's input
 * size, `out` at least the contract's output size. */
tolvarvx_status tolvarvx_drive_open(tolvarvx_device* device, const uint8_t* in);
tolvarvx_status tolvarvx_drive_close(tolvarvx_device* device);
tolvarvx_status tolvarvx_drive_reload(tolvarvx_device* device);
tolvarvx_status tolvarvx_drive_query(tolvarvx_device* device, uint8_t* out, uint32_t* information);
void tolvarvx_drive_forget(tolvarvx_device* device);

/* The handshake (authentication.c). */
tolvarvx_status tolvarvx_auth_challenge(tolvarvx_device* device, uint8_t* out, uint32_t* information);
tolvarvx_status tolvarvx_auth_answer(tolvarvx_device* device, const uint8_t* response);
tolvarvx_status tolvarvx_auth_drop(tolvarvx_device* device);
void tolvarvx_auth_reset(tolvarvx_device* device);

/* Journal (journal.c). */
void tolvarvx_journal_record(tolvarvx_device* device, const TolvarvxJournalEntry* entry);
/* Writes a TolvarvxJournal into `out`, which need not be aligned. */
void tolvarvx_journal_read(const tolvarvx_device* device, uint8_t* out);
void tolvarvx_journal_clear(tolvarvx_device* device);

/* The control codes the stand-in answers (control_codes.c). */
typedef enum tolvarvx_request_handler {
    TOLVARVX_HANDLE_OPEN, TOLVARVX_HANDLE_CLOSE, TOLVARVX_HANDLE_RELOAD,
    TOLVARVX_HANDLE_CHALLENGE, TOLVARVX_HANDLE_AUTHEN, TOLVARVX_HANDLE_DEAUTHEN,
    TOLVARVX_HANDLE_QUERY, TOLVARVX_HANDLE_DISMOUNT, TOLVARVX_HANDLE_VOLUME_LOCK
} tolvarvx_request_handler;

#define TOLVARVX_ANY_INPUT_SIZE 0xFFFFFFFFu

typedef struct tolvarvx_request_rule {
    uint32_t code;
    uint32_t inputSize;     /* exact, or TOLVARVX_ANY_INPUT_SIZE */
    uint32_t minOutputSize;
    uint32_t needsAuth;     /* refused before a handshake when the device requires one */
    tolvarvx_request_handler handler;
} tolvarvx_request_rule;

/* The rule of a drive or volume request; 0 for any other code. */
const tolvarvx_request_rule* tolvarvx_find_rule(uint32_t code);
/* 1 for a code of the test interface (tolvarvx_test.h). */
int tolvarvx_is_test_code(uint32_t code);

/* Scripted completions (scripts.c). */
tolvarvx_status tolvarvx_script_push(tolvarvx_device* device, const TolvarvxScript* script);
/* Removes and returns the oldest script for this kind and code; 0 if none. */
int tolvarvx_script_take(tolvarvx_device* device, uint32_t kind, uint32_t code, TolvarvxScript* out);
void tolvarvx_script_clear(tolvarvx_device* device);

/* The private test interface (test_controls.c). */
tolvarvx_status tolvarvx_test_control(tolvarvx_device* device, uint32_t code, const uint8_t* in,
                                      uint32_t inLength, uint8_t* out, uint32_t outLength,
                                      uint32_t* information);
void tolvarvx_device_reset(tolvarvx_device* device);

#endif
