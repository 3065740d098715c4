/* Reads back the one flat JSON object that `tolvarctl query --json` prints:
 * string, unsigned number and boolean values, strict about everything else. */
#ifndef JSON_READER_H
#define JSON_READER_H

#include <windows.h>

#define JSON_MAX_MEMBERS 12
#define JSON_MAX_TEXT 700

typedef struct json_member {
    char key[32];
    BOOL is_string;
    BOOL is_boolean;           /* true or false, as number 1 or 0 */
    WCHAR text[JSON_MAX_TEXT]; /* a string value, decoded, NUL-terminated */
    int text_length;
    unsigned long long number; /* a number value, or a boolean's 1 or 0 */
} json_member;

typedef struct json_object {
    int count;
    json_member members[JSON_MAX_MEMBERS];
} json_object;

/* TRUE when `text` is exactly one object (whitespace around it allowed)
 * whose keys are distinct. */
BOOL json_parse_object(const char *text, json_object *object);
const json_member *json_find(const json_object *object, const char *key);

#endif
