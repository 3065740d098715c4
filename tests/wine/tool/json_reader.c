#include "json_reader.h"

#include <string.h>

static const char *skip_space(const char *p)
{
    while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') ++p;
    return p;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* A string at *p (which is '"'), decoded into out; NULL on any fault. */
static const char *read_string(const char *p, WCHAR *out, int capacity, int *length)
{
    int n = 0;
    if (*p++ != '"') return NULL;
    while (*p != '"') {
        unsigned unit;
        if (*p == '\0' || (unsigned char)*p < 0x20) return NULL;
        if (*p != '\\') {
            unit = (unsigned char)*p++;
        } else {
            ++p;
            switch (*p++) {
            case '"': unit = '"'; break;
            case '\\': unit = '\\'; break;
            case '/': unit = '/'; break;
            case 'b': unit = '\b'; break;
            case 'f': unit = '\f'; break;
            case 'n': unit = '\n'; break;
            case 'r': unit = '\r'; break;
            case 't': unit = '\t'; break;
            case 'u':
                unit = 0;
                for (int i = 0; i < 4; ++i) {
                    int digit = hex_value(p[i]);
                    if (digit < 0) return NULL;
                    unit = unit * 16 + (unsigned)digit;
                }
                p += 4;
                break;
            default: return NULL;
            }
        }
        if (n + 1 >= capacity) return NULL;
        out[n++] = (WCHAR)unit;
    }
    out[n] = 0;
    *length = n;
    return p + 1;
}

BOOL json_parse_object(const char *text, json_object *object)
{
    memset(object, 0, sizeof *object);
    const char *p = skip_space(text);
    if (*p++ != '{') return FALSE;
    p = skip_space(p);
    if (*p == '}') return *skip_space(p + 1) == '\0';
    for (;;) {
        if (object->count == JSON_MAX_MEMBERS) return FALSE;
        json_member *member = &object->members[object->count];
        WCHAR key[32];
        int key_length = 0;
        p = read_string(skip_space(p), key, 32, &key_length);
        if (!p) return FALSE;
        for (int i = 0; i <= key_length; ++i) {
            if (key[i] > 0x7F) return FALSE;
            member->key[i] = (char)key[i];
        }
        if (json_find(object, member->key)) return FALSE;
        p = skip_space(p);
        if (*p++ != ':') return FALSE;
        p = skip_space(p);
        if (*p == '"') {
            member->is_string = TRUE;
            p = read_string(p, member->text, JSON_MAX_TEXT, &member->text_length);
            if (!p) return FALSE;
        } else if (*p >= '0' && *p <= '9') {
            if (*p == '0' && p[1] >= '0' && p[1] <= '9') return FALSE;
            while (*p >= '0' && *p <= '9') member->number = member->number * 10 + (unsigned)(*p++ - '0');
        } else if (!strncmp(p, "true", 4) || !strncmp(p, "false", 5)) {
            member->is_boolean = TRUE;
            member->number = *p == 't';
            p += *p == 't' ? 4 : 5;
        } else {
            return FALSE;
        }
        object->count++;
        p = skip_space(p);
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p++ != '}') return FALSE;
        return *skip_space(p) == '\0';
    }
}

const json_member *json_find(const json_object *object, const char *key)
{
    for (int i = 0; i < object->count; ++i)
        if (strcmp(object->members[i].key, key) == 0) return &object->members[i];
    return NULL;
}
