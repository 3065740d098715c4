/* tolvarctl.exe under Wine against the driver stand-in: every command's
 * success, each kind of failure with its message and exit status, and
 * `query --json` read back. The tool runs as a child process; the stand-in's
 * journal shows what reached the driver. */
#include <stdio.h>
#include <string.h>

#include "json_reader.h"
#include "stand_in_client.h"
#include "tolvarsdk.h"
#include "tool_run.h"
#include "wine_test.h"

#define DRIVE 2           /* the drive whose whole life the tests walk */
#define PLAIN_DRIVE 3     /* a drive opened without a backup file */
#define LETTER 'K'
#define PLAIN_LETTER 'L'
#define STATUS_IO_DEVICE_ERROR 0xC0000185u
#define STATUS_OBJECT_NAME_NOT_FOUND 0xC0000034u
#define CUSTOMER_STATUS 0xE0001234u

enum { EXIT_SUCCESS_ = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

static tool_run run;
static TolvarvxJournal journal;

/* The command line's parser and the help texts are the same source on every
 * architecture. The x64 layer, which runs on the host, goes through every
 * case; the x86 and ARM64 layers, which may run in an emulated guest where
 * each run of the tool costs seconds, through one case of each kind of
 * message, and through the limits that hang on the type sizes (a drive
 * index of 2^32). */
#ifdef __x86_64__
static const BOOL every_case = TRUE;
#else
static const BOOL every_case = FALSE;
#endif

static const char data_path[] = "C:\\tolvar-tool\\d\xe4ta 2.img"; /* a-umlaut in code page 1252 */
static const char data_path_utf8[] = "C:\\tolvar-tool\\d\xc3\xa4ta 2.img"; /* as the tool prints it */
static const char backup_path[] = "C:\\tolvar-tool\\backup2.img";
static const char plain_data_path[] = "C:\\tolvar-tool\\data3.img";

/* The tool's notes for the two results Wine gives where Windows does not
 * (tolvarvx_testing.h names them): it detects Wine by ntdll's
 * wine_get_version. */
static const char wine_close_note[] =
    "under Wine, TolvarClose returns 66 after the driver has closed the drive: Wine fails the dismount "
    "that the driver accepted, finding no Unix device behind the handle to unmount; Windows returns 0";
static const char wine_reload_note[] =
    "under Wine, TolvarReload returns 1173 before it dismounts or reloads anything: Wine's mount manager "
    "knows no volume behind a letter defined for a driver's device; on Windows the reload goes on";

static DWORD tool(const char *format, ...)
{
    char arguments[1024];
    va_list list;
    va_start(list, format);
    vsnprintf(arguments, sizeof arguments, format, list);
    va_end(list);
    ok(run_tool(&run, arguments), "tolvarctl %s did not run: %lu\n", arguments, GetLastError());
    return run.exit_code;
}

/* The system's one-line text for a code, as the tool must print it. */
static const char *system_text(DWORD code)
{
    static char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  NULL, code, 0, text, sizeof text, NULL);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    text[length] = '\0';
    return length ? text : "no system message for this code";
}

/* Standard error of a failed operation: exactly this line (and the line
 * "tolvarctl: note: <note>", if any), nothing on standard output. */
static void check_failure(const char *operation, const char *function, DWORD code, const char *note)
{
    char expected[1024];
    int length = snprintf(expected, sizeof expected, "tolvarctl: %s failed: %s returned error %lu: %s\n",
                          operation, function, code, system_text(code));
    if (note) snprintf(expected + length, sizeof expected - length, "tolvarctl: note: %s\n", note);
    ok(run.exit_code == EXIT_FAILED, "%s: exit %lu\n", operation, run.exit_code);
    ok(!strcmp(run.err, expected), "%s: standard error\n%s\nexpected\n%s\n", operation, run.err, expected);
    ok(run.out[0] == '\0', "%s: standard output %s\n", operation, run.out);
}

/* A wrong command line: exit 2, the reason and the usage line, nothing on
 * standard output. */
static void check_usage(const char *arguments, const char *command, const char *problem, const char *synopsis)
{
    char expected[1024];
    tool("%s", arguments);
    snprintf(expected, sizeof expected,
             "tolvarctl: %s: %s\nusage: tolvarctl %s\nRun 'tolvarctl %s --help' for details.\n", command,
             problem, synopsis, command);
    ok(run.exit_code == EXIT_USAGE, "'%s': exit %lu\n", arguments, run.exit_code);
    ok(!strcmp(run.err, expected), "'%s': standard error\n%s\nexpected\n%s\n", arguments, run.err, expected);
    ok(run.out[0] == '\0', "'%s': standard output %s\n", arguments, run.out);
}

static DWORD journal_count(unsigned device)
{
    ok(tolvarvx_read_journal(device, &journal, sizeof journal) == 0,
       "journal of %u unreadable\n", device);
    return journal.Recorded;
}

static const TolvarvxJournalEntry *last_entry(unsigned device)
{
    static const TolvarvxJournalEntry none;
    ok(tolvarvx_read_journal(device, &journal, sizeof journal) == 0,
       "journal of %u unreadable\n", device);
    return journal.Count ? &journal.Entries[journal.Count - 1] : &none;
}

/* What a letter names now, or "" when it names nothing. */
static const char *letter_target(char letter)
{
    static char target[MAX_PATH];
    char name[3] = {letter, ':', 0};
    if (!QueryDosDeviceA(name, target, sizeof target)) target[0] = '\0';
    return target;
}

static void forget_letter(char letter)
{
    char name[3] = {letter, ':', 0};
    while (DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL)) {
    }
}

static void format_hex(const BYTE *bytes, int count, char *text)
{
    for (int i = 0; i < count; ++i) sprintf(text + 2 * i, "%02x", bytes[i]);
}

static BOOL parse_hex16(const char *text, BYTE block[16])
{
    for (int i = 0; i < 16; ++i) {
        unsigned value;
        if (sscanf(text + 2 * i, "%2x", &value) != 1) return FALSE;
        block[i] = (BYTE)value;
    }
    return TRUE;
}

static BOOL wide_equals_ansi(const WCHAR *wide, int length, const char *ansi)
{
    WCHAR expected[JSON_MAX_TEXT];
    int expected_length = MultiByteToWideChar(CP_ACP, 0, ansi, -1, expected, JSON_MAX_TEXT) - 1;
    return expected_length == length && !memcmp(wide, expected, length * sizeof(WCHAR));
}

static void test_help(void)
{
    static const struct {
        const char *command, *synopsis;
        int every_route; /* also through "help <command>" and "<command> 7 -h"; and run everywhere */
    } commands[] = {
        {"open", "open N --data FILE [--backup FILE] --letter X", 1},
        {"query", "query N [--json]"},
        {"close", "close N [--force]"},
        {"reload", "reload N"},
        {"flush", "flush N"},
        {"challenge", "challenge N"},
        {"authen", "authen N (HEX32 | --secret TEXT)"},
        {"deauthen", "deauthen N"},
        {"letter add", "letter add X N", 1},
        {"letter remove", "letter remove X"},
        {"service install", "service install", 1},
        {"service remove", "service remove"},
    };
    char expected[256];
    ok(tool("--help") == EXIT_SUCCESS_, "--help: exit %lu\n", run.exit_code);
    ok(run.err[0] == '\0', "--help wrote to standard error: %s\n", run.err);
    ok(!strncmp(run.out, "usage: tolvarctl COMMAND [ARGUMENTS]\n", 37), "--help: %s\n", run.out);
    ok(strstr(run.out, "  2  the command line was wrong") != NULL, "--help lacks the exit statuses\n");
    static char overview[sizeof run.out];
    strcpy(overview, run.out);
    for (int i = 0; i < 12; ++i) {
        const char *command = commands[i].command;
        ok(strstr(overview, commands[i].synopsis) != NULL, "--help lacks %s\n", commands[i].synopsis);
        if (!every_case && !commands[i].every_route) continue;
        snprintf(expected, sizeof expected, "usage: tolvarctl %s\n\n", commands[i].synopsis);
        ok(tool("%s --help", command) == EXIT_SUCCESS_, "%s --help: exit %lu\n", command, run.exit_code);
        ok(!strncmp(run.out, expected, strlen(expected)), "%s --help: %s\n", command, run.out);
        ok(strstr(run.out, "Exit status:") != NULL, "%s --help lacks the exit statuses\n", command);
        /* The same through "help <command>", and -h among other words: for
         * one command of one word and one of each two-word group, since the
         * tool rewrites both forms to "<command> --help" by the number of
         * words the name has, whatever the command (each Wine process costs
         * seconds in an emulated guest). */
        if (!commands[i].every_route) continue;
        ok(tool("help %s", command) == EXIT_SUCCESS_ && !strncmp(run.out, expected, strlen(expected)),
           "help %s: exit %lu, %s\n", command, run.exit_code, run.out);
        ok(tool("%s 7 -h", command) == EXIT_SUCCESS_ && !strncmp(run.out, expected, strlen(expected)),
           "%s 7 -h: exit %lu, %s\n", command, run.exit_code, run.out);
    }
}

static void test_unknown_and_missing_commands(void)
{
    ok(tool("") == EXIT_USAGE, "no command: exit %lu\n", run.exit_code);
    ok(!strcmp(run.err, "tolvarctl: no command\nusage: tolvarctl COMMAND [ARGUMENTS]\n"
                        "Run 'tolvarctl --help' for the commands.\n"), "no command: %s\n", run.err);
    ok(tool("frobnicate 2") == EXIT_USAGE, "unknown command: exit %lu\n", run.exit_code);
    ok(!strncmp(run.err, "tolvarctl: unknown command 'frobnicate'\nusage: tolvarctl COMMAND", 64),
       "unknown command: %s\n", run.err);
    ok(tool("letter") == EXIT_USAGE, "letter alone: exit %lu\n", run.exit_code);
    ok(!strcmp(run.err, "tolvarctl: 'letter' needs a command\nusage: tolvarctl letter add X N\n"
                        "usage: tolvarctl letter remove X\n"), "letter alone: %s\n", run.err);
    ok(tool("service start") == EXIT_USAGE, "service start: exit %lu\n", run.exit_code);
    ok(!strncmp(run.err, "tolvarctl: unknown command 'service start'\n", 43), "service start: %s\n", run.err);
    ok(run.out[0] == '\0', "standard output: %s\n", run.out);
}

/* A wrong command line never reaches the library: the drive's journal and
 * the letters stay as they were. */
static void test_usage_errors_call_nothing(void)
{
    char long_path[300];
    memset(long_path, 'a', sizeof long_path);
    memcpy(long_path, "C:\\", 3);
    long_path[260] = '\0';

    ok(tolvarvx_reset(DRIVE) == 0, "reset failed\n");
    forget_letter(LETTER);
    check_usage("flush x1", "flush", "'x1' is not a drive index (0 to 4294967295)", "flush N");
    check_usage("flush 4294967296", "flush", "'4294967296' is not a drive index (0 to 4294967295)", "flush N");
    if (every_case) {
        check_usage("flush -1", "flush", "'-1' is not a drive index (0 to 4294967295)", "flush N");
        check_usage("flush 0x2", "flush", "'0x2' is not a drive index (0 to 4294967295)", "flush N");
    }
    check_usage("flush", "flush", "missing argument", "flush N");
    check_usage("close 2 3", "close", "unexpected argument '3'", "close N [--force]");
    check_usage("query 2 --jsn", "query", "unknown option '--jsn'", "query N [--json]");
    if (every_case)
        check_usage("query 2 --json --json", "query", "'--json' given twice", "query N [--json]");
    /* A quoted word is cut to 40 bytes before a character that would not
     * fit whole: "--" and 19 of its 80 two-byte letters, none in half. */
    WCHAR option[96] = L"query 2 --";
    char cut[160] = "tolvarctl: query: unknown option '--";
    for (int i = 0; i < 80; ++i) option[10 + i] = 0x0434;
    for (int i = 0; i < 19; ++i) strcat(cut, "\xD0\xB4");
    strcat(cut, "'\nusage: tolvarctl query N [--json]\n");
    ok(run_tool_w(&run, option) && run.exit_code == EXIT_USAGE &&
           !strncmp(run.err, cut, strlen(cut)),
       "long unknown option: exit %lu, %s\n", run.exit_code, run.err);
    const char *open_synopsis = "open N --data FILE [--backup FILE] --letter X";
    check_usage("open 2", "open", "--data FILE is required", open_synopsis);
    /* The open flushes the letter's volume first: without a letter it could
     * only fail there. */
    check_usage("open 2 --data C:\\a.img", "open", "--letter X is required", open_synopsis);
    check_usage("open 2 --data", "open", "'--data' needs a value", open_synopsis);
    if (every_case)
        check_usage("open 2 --data C:\\a.img --data C:\\b.img", "open", "'--data' given twice", open_synopsis);
    char arguments[400];
    snprintf(arguments, sizeof arguments, "open 2 --data %s --letter K", long_path);
    check_usage(arguments, "open", "the --data path has 260 characters; at most 259 fit", open_synopsis);
    if (every_case) {
        snprintf(arguments, sizeof arguments, "open 2 --data C:\\a.img --backup %s --letter K", long_path);
        check_usage(arguments, "open", "the --backup path has 260 characters; at most 259 fit", open_synopsis);
    }
    check_usage("open 2 --data C:\\a.img --letter 7", "open", "'7' is not a drive letter (A-Z or a-z)", open_synopsis);
    if (every_case)
        check_usage("open 2 --data C:\\a.img --letter KL", "open", "'KL' is not a drive letter (A-Z or a-z)", open_synopsis);
    const char *authen_synopsis = "authen N (HEX32 | --secret TEXT)";
    check_usage("authen 2 0123", "authen", "'0123' is not a response of 32 hex digits", authen_synopsis);
    if (every_case) {
        check_usage("authen 2 0123456789abcdef0123456789abcdeg", "authen",
                    "'0123456789abcdef0123456789abcdeg' is not a response of 32 hex digits", authen_synopsis);
        check_usage("authen 2 0123456789abcdef0123456789abcdef0", "authen",
                    "'0123456789abcdef0123456789abcdef0' is not a response of 32 hex digits", authen_synopsis);
    }
    check_usage("authen 2", "authen", "a response (HEX32) or --secret is needed", authen_synopsis);
    if (every_case) {
        check_usage("authen 2 0123456789abcdef0123456789abcdef --secret s", "authen",
                    "give either a response or --secret, not both", authen_synopsis);
        check_usage("letter add 1 2", "letter add", "'1' is not a drive letter (A-Z or a-z)", "letter add X N");
        check_usage("letter add [ 2", "letter add", "'[' is not a drive letter (A-Z or a-z)", "letter add X N");
        check_usage("letter add K 2x", "letter add", "'2x' is not a drive index (0 to 4294967295)", "letter add X N");
    }
    check_usage("letter remove KL", "letter remove", "'KL' is not a drive letter (A-Z or a-z)", "letter remove X");
    check_usage("service install now", "service install", "unexpected argument 'now'", "service install");

    ok(journal_count(DRIVE) == 0, "%lu requests reached the drive\n", journal.Recorded);
    ok(letter_target(LETTER)[0] == '\0', "%c: names %s\n", LETTER, letter_target(LETTER));
}

static void check_json_record(void)
{
    json_object object;
    TolvarDriveInfo info;
    char details[2 * sizeof info.DeviceDetails + 1];
    ok(tool("query %u --json", DRIVE) == EXIT_SUCCESS_, "query --json: exit %lu, %s\n", run.exit_code, run.err);
    ok(json_parse_object(run.out, &object), "query --json is not one JSON object: %s\n", run.out);
    ok(object.count == 7, "%d members\n", object.count);
    /* The library's own record, read after the tool's: nothing changed in between. */
    ok(TolvarQuery(&info, DRIVE) == 0, "TolvarQuery failed\n");
    format_hex(info.DeviceDetails, sizeof info.DeviceDetails, details);

    const json_member *m = json_find(&object, "index");
    ok(m && !m->is_string && m->number == DRIVE, "index\n");
    m = json_find(&object, "device");
    ok(m && m->is_string && wide_equals_ansi(m->text, m->text_length, "\\\\.\\TOLVARVX2"), "device\n");
    m = json_find(&object, "driveLetter");
    ok(m && m->is_string && m->text_length == 1 && m->text[0] == LETTER, "driveLetter\n");
    m = json_find(&object, "backupBeforeWrite");
    ok(m && m->is_boolean && m->number == 1, "backupBeforeWrite\n");
    m = json_find(&object, "backupFile");
    ok(m && m->is_string && wide_equals_ansi(m->text, m->text_length, backup_path), "backupFile\n");
    /* The a-umlaut comes as \u00e4 (code page 1252): JSON text stays ASCII. */
    m = json_find(&object, "dataFile");
    ok(m && m->is_string && wide_equals_ansi(m->text, m->text_length, data_path), "dataFile\n");
    ok(strstr(run.out, "\"C:\\\\tolvar-tool\\\\d\\u00e4ta 2.img\"") != NULL, "data path written as %s\n", run.out);
    m = json_find(&object, "deviceDetails");
    ok(m && m->is_string && wide_equals_ansi(m->text, m->text_length, details), "deviceDetails\n");
}

/* DeviceDetails' Authenticated word (offset 36), read from `query --json`. */
static DWORD authenticated_word(void)
{
    json_object object;
    char word[9];
    if (tool("query %u --json", DRIVE) != EXIT_SUCCESS_ || !json_parse_object(run.out, &object)) return 0xFFFFFFFF;
    const json_member *details = json_find(&object, "deviceDetails");
    if (!details || details->text_length != 608) return 0xFFFFFFFF;
    for (int i = 0; i < 8; ++i) word[i] = (char)details->text[72 + i];
    word[8] = '\0';
    return !strcmp(word, "01000000") ? 1 : !strcmp(word, "00000000") ? 0 : 0xFFFFFFFF;
}

static void test_drive_life(void)
{
    char expected[1024];
    BYTE secret[64], challenge[16], response[16], printed[16];
    DWORD secret_length = stand_in_default_secret(DRIVE, secret, sizeof secret);
    TolvarOpenRequest request;

    ok(tolvarvx_reset(DRIVE) == 0, "reset failed\n");
    forget_letter(LETTER);

    ok(tool("letter add %c %u", LETTER, DRIVE) == EXIT_SUCCESS_, "letter add: exit %lu, %s\n", run.exit_code, run.err);
    ok(!strcmp(run.out, "letter K: now names drive 2 (\\Device\\TolvarVault\\TOLVARVX2)\n"), "letter add: %s\n", run.out);
    ok(!strcmp(letter_target(LETTER), "\\Device\\TolvarVault\\TOLVARVX2"), "K: names %s\n", letter_target(LETTER));

    ok(tool("open %u --data \"%s\" --backup %s --letter %c", DRIVE, data_path, backup_path, LETTER) == EXIT_SUCCESS_,
       "open: exit %lu, %s\n", run.exit_code, run.err);
    snprintf(expected, sizeof expected, "drive 2 opened on %s with backup %s\n", data_path_utf8, backup_path);
    ok(!strcmp(run.out, expected), "open: %s\n", run.out);
    stand_in_open_request(&request, LETTER, 1, backup_path, data_path);
    /* The a-umlaut widens to U+00E4 in code page 1252, as the helper's byte copy does. */
    ok(tolvarvx_read_journal(DRIVE, &journal, sizeof journal) == 0 && journal.LastOpenValid &&
           !memcmp(journal.LastOpenRequest, &request, sizeof request),
       "the driver got another OpenRequest\n");

    ok(tool("query %u", DRIVE) == EXIT_SUCCESS_, "query: exit %lu, %s\n", run.exit_code, run.err);
    snprintf(expected, sizeof expected,
             "drive 2 (\\\\.\\TOLVARVX2)\n"
             "  letter:          K\n"
             "  mode:            BackupBeforeWrite (1)\n"
             "  data file:       %s\n"
             "  backup file:     %s\n"
             "  device details:  304 bytes\n"
             "    0000  54 56 58 44 01 00 00 00 02 00 00 00 01 00 00 00\n",
             data_path_utf8, backup_path);
    ok(!strncmp(run.out, expected, strlen(expected)), "query:\n%s\nexpected to begin\n%s\n", run.out, expected);
    ok(strstr(run.out, "  all zero\n") != NULL, "query: no summary of the zero rows\n");
    check_json_record();

    ok(tool("flush %u", DRIVE) == EXIT_SUCCESS_ && !strcmp(run.out, "drive 2 flushed\n"), "flush: exit %lu, %s%s\n",
       run.exit_code, run.out, run.err);
    ok(last_entry(DRIVE)->Kind == TOLVARVX_KIND_FLUSH && last_entry(DRIVE)->Status == 0, "flush did not reach the drive\n");

    /* The printed challenge is the driver's: its answer passes. */
    ok(tool("challenge %u", DRIVE) == EXIT_SUCCESS_, "challenge: exit %lu, %s\n", run.exit_code, run.err);
    ok(strlen(run.out) == 33 && run.out[32] == '\n' && parse_hex16(run.out, printed), "challenge: %s\n", run.out);
    tolvarvx_compute_response(secret, secret_length, printed, response);
    ok(TolvarAuthen(response, DRIVE) == 0, "the answer to the printed challenge was refused\n");
    ok(TolvarDeauthen(DRIVE) == 0, "deauthen failed\n");

    /* A response given in hex. */
    ok(stand_in_response(DRIVE, secret, secret_length, response) == 0, "no challenge\n");
    char hex[33];
    format_hex(response, 16, hex);
    ok(tool("authen %u %s", DRIVE, hex) == EXIT_SUCCESS_, "authen HEX32: exit %lu, %s\n", run.exit_code, run.err);
    snprintf(expected, sizeof expected, "response  %s\ndrive 2 accepted the response\n", hex);
    ok(!strcmp(run.out, expected), "authen HEX32: %s\n", run.out);
    ok(authenticated_word() == 1, "the drive does not count as authenticated\n");
    ok(tool("deauthen %u", DRIVE) == EXIT_SUCCESS_ && !strcmp(run.out, "drive 2: access given up\n"),
       "deauthen: exit %lu, %s%s\n", run.exit_code, run.out, run.err);
    ok(last_entry(DRIVE)->Code == IOCTL_TOLVAR_DEAUTHEN && last_entry(DRIVE)->Status == 0, "deauthen did not reach the drive\n");
    ok(authenticated_word() == 0, "the drive still counts as authenticated\n");

    /* --secret: the tool asks for the challenge and answers it itself. */
    ok(tool("authen %u --secret tolvar-stand-in-secret-2", DRIVE) == EXIT_SUCCESS_, "authen --secret: exit %lu, %s\n",
       run.exit_code, run.err);
    ok(!strncmp(run.out, "challenge ", 10) && parse_hex16(run.out + 10, challenge), "authen --secret: %s\n", run.out);
    tolvarvx_compute_response(secret, secret_length, challenge, response);
    format_hex(response, 16, hex);
    snprintf(expected, sizeof expected, "challenge %.32s\nresponse  %s\ndrive 2 accepted the response\n", run.out + 10, hex);
    ok(!strcmp(run.out, expected), "authen --secret:\n%s\nexpected\n%s\n", run.out, expected);
    ok(authenticated_word() == 1, "the drive does not count as authenticated\n");
    ok(tool("authen %u --secret not-the-secret", DRIVE) == EXIT_FAILED, "wrong secret: exit %lu\n", run.exit_code);
    ok(!strncmp(run.out, "challenge ", 10), "wrong secret: %s\n", run.out);
    ok(strstr(run.err, "tolvarctl: authen 2 failed: TolvarAuthen returned error 5: ") == run.err,
       "wrong secret: %s\n", run.err);

    /* By design, not Wine: a BackupBeforeWrite drive is never reloaded. */
    tool("reload %u", DRIVE);
    check_failure("reload 2", "TolvarReload", ERROR_SHARING_VIOLATION,
                  "TolvarReload returns 32 for a drive in BackupBeforeWrite mode, which it never reloads");

    /* Wine: the driver closes the drive and accepts the dismount, then ntdll
     * tries to unmount a Unix device behind the handle, finds none and fails
     * with 66 (ERROR_BAD_DEV_TYPE). Windows returns 0. */
    tool("close %u", DRIVE);
    check_failure("close 2", "TolvarClose", TOLVARVX_WINE_CLOSE_RESULT, wine_close_note);
    ok(last_entry(DRIVE)->Code == TOLVAR_FSCTL_DISMOUNT_VOLUME && last_entry(DRIVE)->Status == 0,
       "the dismount did not reach the drive\n");
    tool("query %u", DRIVE);
    check_failure("query 2", "TolvarQueryW", ERROR_NOT_READY, NULL);

    ok(tool("letter remove %c", LETTER) == EXIT_SUCCESS_ && !strcmp(run.out, "letter K: removed\n"),
       "letter remove: exit %lu, %s%s\n", run.exit_code, run.out, run.err);
    ok(letter_target(LETTER)[0] == '\0', "K: still names %s\n", letter_target(LETTER));
    tool("letter remove %c", LETTER);
    check_failure("letter remove K", "TolvarRemoveDriveLetter", ERROR_FILE_NOT_FOUND,
                  "letter K is not defined: there is nothing to remove");
}

/* A path outside the ANSI code page, with a surrogate pair, typed as
 * UTF-16: the driver gets it unit for unit; `query` prints it as UTF-8 (its
 * output is a file here, not a console) and `query --json` as escapes of
 * its UTF-16 units. */
static void test_unicode_path(void)
{
    static const WCHAR path[] = L"C:\\tolvar-tool\\\x03A9mega\\\x0434\x0430\x043D\x043D\x044B\x0435-\xD83D\xDDC4.img";
    static const char utf8[] = "C:\\tolvar-tool\\\xCE\xA9mega\\"
                               "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5-\xF0\x9F\x97\x84.img";
    static const char json[] = "\"dataFile\":\"C:\\\\tolvar-tool\\\\\\u03a9mega\\\\"
                               "\\u0434\\u0430\\u043d\\u043d\\u044b\\u0435-\\ud83d\\uddc4.img\"";
    WCHAR arguments[256];
    char expected[512];

    ok(tolvarvx_reset(PLAIN_DRIVE) == 0, "reset failed\n");
    forget_letter(PLAIN_LETTER);
    ok(tool("letter add %c %u", PLAIN_LETTER, PLAIN_DRIVE) == EXIT_SUCCESS_, "letter add: %s\n", run.err);
    _snwprintf(arguments, 256, L"open %u --data \"%ls\" --letter %c", PLAIN_DRIVE, path, PLAIN_LETTER);
    ok(run_tool_w(&run, arguments) && run.exit_code == EXIT_SUCCESS_, "open: exit %lu, %s\n", run.exit_code, run.err);
    snprintf(expected, sizeof expected, "drive 3 opened on %s\n", utf8);
    ok(!strcmp(run.out, expected), "open: %s\n", run.out);
    ok(tolvarvx_read_journal(PLAIN_DRIVE, &journal, sizeof journal) == 0 && journal.LastOpenValid &&
           !memcmp(journal.LastOpenRequest + 528, path, sizeof path),
       "the driver got other units\n");

    ok(tool("query %u", PLAIN_DRIVE) == EXIT_SUCCESS_, "query: exit %lu, %s\n", run.exit_code, run.err);
    snprintf(expected, sizeof expected, "  data file:       %s\n", utf8);
    ok(strstr(run.out, expected) != NULL, "query: %s\n", run.out);
    ok(tool("query %u --json", PLAIN_DRIVE) == EXIT_SUCCESS_, "query --json: exit %lu, %s\n", run.exit_code, run.err);
    ok(strstr(run.out, json) != NULL, "query --json: %s\n", run.out);
    ok(strstr(run.out, "\"backupBeforeWrite\":false,") != NULL, "query --json: %s\n", run.out);

    /* Wine: 66 after the dismount reached the driver; Windows returns 0. */
    tool("close %u --force", PLAIN_DRIVE);
    check_failure("close 3 --force", "TolvarClose", TOLVARVX_WINE_CLOSE_RESULT, wine_close_note);
    ok(tool("letter remove %c", PLAIN_LETTER) == EXIT_SUCCESS_, "letter remove: %s\n", run.err);
}

static void test_plain_drive(void)
{
    ok(tolvarvx_reset(PLAIN_DRIVE) == 0, "reset failed\n");
    forget_letter(PLAIN_LETTER);
    ok(tool("letter add %c %u", PLAIN_LETTER, PLAIN_DRIVE) == EXIT_SUCCESS_, "letter add: %s\n", run.err);
    ok(tool("open %u --data %s --letter %c:", PLAIN_DRIVE, plain_data_path, PLAIN_LETTER) == EXIT_SUCCESS_,
       "open: exit %lu, %s\n", run.exit_code, run.err);
    ok(!strcmp(run.out, "drive 3 opened on C:\\tolvar-tool\\data3.img\n"), "open: %s\n", run.out);
    ok(tool("query %u", PLAIN_DRIVE) == EXIT_SUCCESS_ && strstr(run.out, "  mode:            normal (0)\n") &&
           strstr(run.out, "  backup file:     \n"),
       "query: %s\n", run.out);
    /* Wine: the letter names the stand-in's device, which Wine's mount
     * manager does not know, so the volume-name lookup fails with 1173
     * (ERROR_NO_VOLUME_ID) and nothing is dismounted or reloaded. Windows
     * gives 87 for a letter that names no mount-manager volume, and goes on
     * to the reload when the driver's volume is a mounted one. */
    tool("reload %u", PLAIN_DRIVE);
    check_failure("reload 3", "TolvarReload", TOLVARVX_WINE_RELOAD_RESULT, wine_reload_note);
    /* Wine: 66 after the dismount reached the driver; Windows returns 0. */
    tool("close %u --force", PLAIN_DRIVE);
    check_failure("close 3 --force", "TolvarClose", TOLVARVX_WINE_CLOSE_RESULT, wine_close_note);
    ok(tolvarvx_read_journal(PLAIN_DRIVE, &journal, sizeof journal) == 0 && journal.Count >= 2 &&
           journal.Entries[journal.Count - 2].Code == IOCTL_TOLVAR_CLOSE,
       "close --force sent a lock or no close first\n");
    ok(tool("letter remove %c", PLAIN_LETTER) == EXIT_SUCCESS_, "letter remove: %s\n", run.err);
}

static void test_failures(void)
{
    /* A missing device: the tool finds that the name is not there. */
    tool("flush 99");
    check_failure("flush 99", "TolvarFlush", ERROR_FILE_NOT_FOUND,
                  "there is no device \\\\.\\TOLVARVX99: the driver is not loaded, or has no drive 99");
    tool("query 99 --json");
    check_failure("query 99", "TolvarQueryW", ERROR_FILE_NOT_FOUND,
                  "there is no device \\\\.\\TOLVARVX99: the driver is not loaded, or has no drive 99");

    /* A driver error: the status reaches the tool as its Win32 code. */
    ok(tolvarvx_reset(DRIVE) == 0, "reset failed\n");
    ok(tolvarvx_script(DRIVE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, STATUS_IO_DEVICE_ERROR, 0, 0, 0) == 0,
       "script failed\n");
    tool("query %u", DRIVE);
    check_failure("query 2", "TolvarQueryW", ERROR_IO_DEVICE, NULL);
    /* A customer status passes through unchanged and has no system text. */
    ok(tolvarvx_script(DRIVE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, CUSTOMER_STATUS, 0, 0, 0) == 0,
       "script failed\n");
    tool("challenge %u", DRIVE);
    check_failure("challenge 2", "TolvarGetChallenge", CUSTOMER_STATUS, NULL);
    ok(strstr(run.err, "error 3758101044: no system message for this code\n") != NULL, "%s\n", run.err);
    /* A short challenge: the library's own 122, with its meaning. */
    ok(tolvarvx_script(DRIVE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 15, 0, 0x3C) == 0, "script failed\n");
    tool("challenge %u", DRIVE);
    check_failure("challenge 2", "TolvarGetChallenge", ERROR_INSUFFICIENT_BUFFER,
                  "TolvarGetChallenge returns 122 when the driver returns fewer than 16 bytes");
    ok(tolvarvx_script(DRIVE, TOLVARVX_KIND_FLUSH, 0, STATUS_IO_DEVICE_ERROR, 0, 0, 0) == 0, "script failed\n");
    tool("flush %u", DRIVE);
    check_failure("flush 2", "TolvarFlush", ERROR_IO_DEVICE, NULL);
    /* The driver's own "not found" for a device that is there: no note. */
    ok(tolvarvx_script(DRIVE, TOLVARVX_KIND_FLUSH, 0, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0, 0) == 0, "script failed\n");
    tool("flush %u", DRIVE);
    check_failure("flush 2", "TolvarFlush", ERROR_FILE_NOT_FOUND, NULL);

    /* An open before its letter names anything: the open's flush of the
     * letter's volume fails with "not found", and nothing reaches the
     * drive. */
    forget_letter(LETTER);
    tool("open %u --data C:\\tolvar-tool\\x.img --letter %c", DRIVE, LETTER);
    check_failure("open 2", "TolvarOpenW", ERROR_FILE_NOT_FOUND,
                  "letter K is not defined, and the open flushes its volume first: "
                  "'tolvarctl letter add K 2' makes it name drive 2");

    /* The library refuses a path shorter than 4 characters: the tool passes
     * it on, as it is the caller's, and reports 87. */
    ok(tool("letter add %c %u", LETTER, DRIVE) == EXIT_SUCCESS_, "letter add: %s\n", run.err);
    tool("open %u --data abc --letter %c", DRIVE, LETTER);
    check_failure("open 2", "TolvarOpenW", ERROR_INVALID_PARAMETER, "TolvarOpenW returns 87 when it refuses an argument");
    /* A letter in use. */
    tool("letter add %c %u", LETTER, PLAIN_DRIVE);
    check_failure("letter add K 3", "TolvarAddDriveLetter", ERROR_BUSY,
                  "TolvarAddDriveLetter returns 170 when the letter already names a volume that opens");
    ok(!strcmp(letter_target(LETTER), "\\Device\\TolvarVault\\TOLVARVX2"), "K: names %s\n", letter_target(LETTER));
    ok(tool("letter remove %c", LETTER) == EXIT_SUCCESS_, "letter remove: %s\n", run.err);
    ok(journal_count(DRIVE) == 5, "%lu requests reached the drive\n", journal.Recorded);
}

static const char service_key[] = "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX";

static BOOL service_key_complete(void)
{
    HKEY key;
    BOOL complete = TRUE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, KEY_QUERY_VALUE, &key)) return FALSE;
    static const char *const names[] = {"ErrorControl", "Start", "Type"};
    for (int i = 0; i < 3; ++i) {
        DWORD type = 0, value = 0, size = sizeof value;
        if (RegQueryValueExA(key, names[i], NULL, &type, (BYTE *)&value, &size) || type != REG_DWORD || value != 1)
            complete = FALSE;
    }
    RegCloseKey(key);
    return complete;
}

/* The session loaded the stand-in from this key already; the test leaves
 * the key as it found it, written by `service install`. */
static void test_service(void)
{
    HKEY key;
    ok(tool("service remove") == EXIT_SUCCESS_, "service remove: exit %lu, %s\n", run.exit_code, run.err);
    ok(!strcmp(run.out, "service key HKLM\\SYSTEM\\CurrentControlSet\\Services\\TOLVARVX deleted\n"),
       "service remove: %s\n", run.out);
    ok(RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, KEY_QUERY_VALUE, &key) == ERROR_FILE_NOT_FOUND,
       "the key is still there\n");
    tool("service remove");
    check_failure("service remove", "UnregService", ERROR_FILE_NOT_FOUND, NULL);

    /* A stray value goes with the key RegService writes anew. */
    ok(tool("service install") == EXIT_SUCCESS_, "service install: exit %lu, %s\n", run.exit_code, run.err);
    ok(!strcmp(run.out, "service key HKLM\\SYSTEM\\CurrentControlSet\\Services\\TOLVARVX written: "
                        "ErrorControl=1 Start=1 Type=1\n"),
       "service install: %s\n", run.out);
    ok(service_key_complete(), "the key lacks a value\n");
    if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, KEY_SET_VALUE, &key)) {
        DWORD stray = 7;
        RegSetValueExA(key, "Stray", 0, REG_DWORD, (const BYTE *)&stray, sizeof stray);
        RegCloseKey(key);
    }
    ok(tool("service install") == EXIT_SUCCESS_, "service install again: exit %lu, %s\n", run.exit_code, run.err);
    ok(service_key_complete(), "the key lacks a value\n");
    ok(RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, KEY_QUERY_VALUE, &key) == 0 &&
           RegQueryValueExA(key, "Stray", NULL, NULL, NULL, NULL) == ERROR_FILE_NOT_FOUND,
       "the stray value survived\n");
    RegCloseKey(key);
}

START_TEST(tool)
{
    test_help();
    test_unknown_and_missing_commands();
    test_usage_errors_call_nothing();
    test_drive_life();
    test_plain_drive();
    test_unicode_path();
    test_failures();
    test_service();
}
