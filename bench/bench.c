/* The cost of a call: each export against the same system calls written
 * by hand here, against the driver stand-in under Wine.
 *
 * For each comparison the two sides alternate call by call (A B, B A, ...)
 * for `calls` calls each, and that for `rounds` rounds, so that a change of
 * machine load meets both sides alike. Every call is timed on its own with
 * QueryPerformanceCounter; work a call needs beforehand (a fresh challenge
 * for an answer, a closed drive for an open) is done outside the timing,
 * the same for both sides. A round's time per call for a side is the median
 * of its calls (robust against a call that lost the processor); the table
 * shows calls per second (median, min-max over the rounds) and the ratio
 * A/B of the times (median and interquartile range over the rounds).
 *
 * Every result is checked; an unexpected one makes the program fail.
 * Also checked: no call of the benchmark goes through the DLL's imports of
 * the C run-time's heap functions (their import slots are replaced by
 * counters).
 *
 * usage: bench.exe [rounds] [calls per side and round]   (default 15 400) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <shlobj.h>

#include "stand_in_client.h"
#include "tolvarsdk.h"

#define DEVICE 0u      /* short paths */
#define LONG_DEVICE 1u /* 259-character paths */
#define LETTER 'K'     /* names DEVICE */
#define LONG_LETTER 'L'
#define MISSING_DEVICE 77u
#define BENCH_ROOT "C:\\tolvar-bench"
#define SHORT_DATA BENCH_ROOT "\\d.img"
#define SHORT_BACKUP BENCH_ROOT "\\b.img"
#define MAX_ROUNDS 101u
#define MAX_CALLS 5000u

static unsigned rounds = 15, calls = 400;
static unsigned unexpected;
static char long_data[260], long_backup[260];
static TolvarDriveInfo short_record, long_record;
static HANDLE control_handles[2]; /* held open for the untimed preparations */
static BYTE response[16];
static LARGE_INTEGER frequency;

/* ---- Heap calls through the DLL's imports ------------------------------ */

static volatile LONG heap_calls;
static void*(__cdecl* real_malloc)(size_t);
static void*(__cdecl* real_calloc)(size_t, size_t);
static void*(__cdecl* real_realloc)(void*, size_t);
static void(__cdecl* real_free)(void*);
static void* __cdecl counted_malloc(size_t size) { InterlockedIncrement(&heap_calls); return real_malloc(size); }
static void* __cdecl counted_calloc(size_t count, size_t size) { InterlockedIncrement(&heap_calls); return real_calloc(count, size); }
static void* __cdecl counted_realloc(void* block, size_t size) { InterlockedIncrement(&heap_calls); return real_realloc(block, size); }
static void __cdecl counted_free(void* block) { InterlockedIncrement(&heap_calls); real_free(block); }

/* Replaces the DLL's import slots of the heap functions by counters;
 * returns how many slots were replaced. */
static unsigned count_heap_calls(HMODULE module)
{
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    unsigned replaced = 0;
    for (IMAGE_IMPORT_DESCRIPTOR* imports = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory.VirtualAddress);
         imports->Name; ++imports) {
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + imports->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + imports->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            void* counter = NULL;
            void** real = NULL;
            if (!strcmp(name, "malloc")) counter = (void*)counted_malloc, real = (void**)&real_malloc;
            else if (!strcmp(name, "calloc")) counter = (void*)counted_calloc, real = (void**)&real_calloc;
            else if (!strcmp(name, "realloc")) counter = (void*)counted_realloc, real = (void**)&real_realloc;
            else if (!strcmp(name, "free")) counter = (void*)counted_free, real = (void**)&real_free;
            else if (strstr(name, "Alloc") || strstr(name, "Heap"))
                printf("note: the DLL imports %s, which is not counted\n", name);
            if (!counter)
                continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            *real = (void*)slots->u1.Function;
            slots->u1.Function = (DWORD_PTR)counter;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            ++replaced;
        }
    }
    return replaced;
}

/* ---- One call of each side ------------------------------------------------ */

static void check(const char* what, DWORD got, DWORD expected)
{
    if (got != expected && unexpected++ < 10)
        printf("unexpected: %s returned %lu, expected %lu\n", what, got, expected);
}

/* The device name, formatted as the library formats it. */
static void device_name(char* name, unsigned index) { wsprintfA(name, "\\\\.\\TOLVARVX%u", index); }

static HANDLE open_device(unsigned index, DWORD access, DWORD flags)
{
    char name[32];
    device_name(name, index);
    return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, flags, NULL);
}

/* One request on a handle of its own, as the library sends it. */
static DWORD hand_request(unsigned index, DWORD access, DWORD code, void* in, DWORD inSize, void* out,
                          DWORD outSize, DWORD* returned)
{
    HANDLE device = open_device(index, access, FILE_FLAG_NO_BUFFERING);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    *returned = 0;
    DWORD error = DeviceIoControl(device, code, in, inSize, out, outSize, returned, NULL) ? 0 : GetLastError();
    CloseHandle(device);
    return error;
}

static DWORD hand_flush_path(const char* path)
{
    HANDLE target = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (target == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD error = FlushFileBuffers(target) ? 0 : GetLastError();
    CloseHandle(target);
    return error;
}

static void export_flush(void) { check("TolvarFlush", TolvarFlush(DEVICE), 0); }
static void hand_flush(void)
{
    char name[32];
    device_name(name, DEVICE);
    check("hand-written flush", hand_flush_path(name), 0);
}

static void export_query(void)
{
    TolvarDriveInfo info;
    check("TolvarQuery", TolvarQuery(&info, DEVICE), 0);
}
static void export_query_long(void)
{
    TolvarDriveInfo info;
    check("TolvarQuery, long paths", TolvarQuery(&info, LONG_DEVICE), 0);
}
static void hand_query(void)
{
    TolvarQueryReply reply;
    DWORD returned;
    check("hand-written query", hand_request(DEVICE, GENERIC_READ, IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned), 0);
    check("hand-written query's size", returned, sizeof reply);
}

static void export_challenge(void)
{
    BYTE challenge[16];
    check("TolvarGetChallenge", TolvarGetChallenge(challenge, DEVICE), 0);
}
static void hand_challenge(void)
{
    BYTE challenge[16];
    DWORD returned;
    check("hand-written challenge", hand_request(DEVICE, GENERIC_READ, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge, sizeof challenge, &returned), 0);
    check("hand-written challenge's size", returned, sizeof challenge);
}

/* Untimed: a fresh challenge on the held handle and its answer. */
static void prepare_answer(void)
{
    BYTE challenge[16], secret[64];
    DWORD returned = 0;
    DWORD length = stand_in_default_secret(DEVICE, secret, sizeof secret);
    check("challenge for the answer", stand_in_control(control_handles[0], IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge, sizeof challenge, &returned), 0);
    tolvarvx_compute_response(secret, length, challenge, response);
}
static void export_authen(void) { check("TolvarAuthen", TolvarAuthen(response, DEVICE), 0); }
static void hand_authen(void)
{
    DWORD returned;
    check("hand-written authen", hand_request(DEVICE, GENERIC_READ | GENERIC_WRITE, IOCTL_TOLVAR_AUTHEN, response, sizeof response, NULL, 0, &returned), 0);
}

/* Untimed: the drive closed by a raw request on the held handle. */
static void prepare_closed(void)
{
    DWORD returned = 0;
    check("raw close", stand_in_control(control_handles[0], IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned), 0);
}
static void prepare_closed_long(void)
{
    DWORD returned = 0;
    check("raw close, long", stand_in_control(control_handles[1], IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned), 0);
}
static void export_open(void) { check("TolvarOpen", TolvarOpen(&short_record, DEVICE), 0); }
static void export_open_long(void) { check("TolvarOpen, long paths", TolvarOpen(&long_record, LONG_DEVICE), 0); }

/* The folder of a path with its trailing backslash, as the library cuts it. */
static void parent_of(char* folder, const char* path)
{
    lstrcpynA(folder, path, 260);
    for (int i = lstrlenA(folder) - 1; i > 0; --i)
        if (folder[i] == '\\') {
            folder[i + 1] = 0;
            return;
        }
}
static DWORD open_by_hand(const TolvarDriveInfo* info, unsigned index)
{
    char folder[260], volume[8];
    TolvarOpenRequest request;
    DWORD returned;
    parent_of(folder, info->BackupFile);
    SHCreateDirectoryExA(NULL, folder, NULL);
    parent_of(folder, info->DataFile);
    SHCreateDirectoryExA(NULL, folder, NULL);
    wsprintfA(volume, "\\\\.\\%c:", info->DriveLetter);
    DWORD error = hand_flush_path(volume);
    if (!error) {
        memset(&request, 0, sizeof request);
        request.DriveLetter = (uint16_t)(int16_t)info->DriveLetter;
        request.BackupBeforeWrite = info->BackupBeforeWrite;
        if (info->BackupBeforeWrite)
            wsprintfW((LPWSTR)request.BackupFile, L"%S", info->BackupFile);
        wsprintfW((LPWSTR)request.DataFile, L"%S", info->DataFile);
        error = hand_request(index, GENERIC_READ | GENERIC_WRITE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    }
    return error;
}
static void hand_open(void) { check("hand-written open", open_by_hand(&short_record, DEVICE), 0); }
static void hand_open_long(void) { check("hand-written open, long paths", open_by_hand(&long_record, LONG_DEVICE), 0); }
static void hand_query_long(void)
{
    TolvarQueryReply reply;
    DWORD returned;
    check("hand-written query, long paths", hand_request(LONG_DEVICE, GENERIC_READ, IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned), 0);
}

/* ---- Timing ---------------------------------------------------------------- */

typedef struct {
    const char* name;
    void (*prepare)(void);
    void (*call)(void);
} side;

typedef struct {
    const char* label;
    side a, b;
} comparison;

static int by_value(const void* left, const void* right)
{
    double a = *(const double*)left, b = *(const double*)right;
    return (a > b) - (a < b);
}

/* The q-quantile of n sorted values, interpolated. */
static double quantile(const double* sorted, unsigned n, double q)
{
    double at = q * (n - 1);
    unsigned below = (unsigned)at;
    if (below + 1 >= n)
        return sorted[n - 1];
    return sorted[below] + (at - below) * (sorted[below + 1] - sorted[below]);
}

static double median(double* values, unsigned n)
{
    qsort(values, n, sizeof values[0], by_value);
    return quantile(values, n, 0.5);
}

/* Seconds taken by one call of a side, its preparation untimed. */
static double time_call(const side* s)
{
    LARGE_INTEGER start, end;
    if (s->prepare)
        s->prepare();
    QueryPerformanceCounter(&start);
    s->call();
    QueryPerformanceCounter(&end);
    return (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

/* One round: `calls` calls of each side, alternating call by call (A B,
 * B A, A B, ...). Gives each side's typical time per call: the median of
 * its calls, which a call that lost the processor to another process does
 * not move. */
static void run_round(const comparison* c, double* a, double* b)
{
    static double timesA[MAX_CALLS], timesB[MAX_CALLS];
    for (unsigned i = 0; i < calls; ++i) {
        if (i % 2 == 0) {
            timesA[i] = time_call(&c->a);
            timesB[i] = time_call(&c->b);
        } else {
            timesB[i] = time_call(&c->b);
            timesA[i] = time_call(&c->a);
        }
    }
    *a = median(timesA, calls);
    *b = median(timesB, calls);
}

/* Numbers are written by integer formatting alone: a double passed to a
 * variadic function travels in other registers on ARM64 Windows than on the
 * Linux AArch64 ABI that Wine's msvcrt.dll may be built for. */
static const char* thousandths(double value)
{
    static char text[3][24];
    static unsigned next;
    char* out = text[next++ % 3];
    unsigned long scaled = (unsigned long)(value * 1000 + 0.5);
    wsprintfA(out, "%lu.%03lu", scaled / 1000, scaled % 1000);
    return out;
}

/* "median (min-max)" calls per second of a side's round times, sorted: the
 * fastest round has the smallest time. */
static void write_rates(char* out, const double* sorted)
{
    wsprintfA(out, "%lu (%lu-%lu)", (unsigned long)(1 / quantile(sorted, rounds, 0.5) + 0.5),
              (unsigned long)(1 / sorted[rounds - 1] + 0.5), (unsigned long)(1 / sorted[0] + 0.5));
}

static void run_comparison(const comparison* c)
{
    double a[MAX_ROUNDS], b[MAX_ROUNDS], ratio[MAX_ROUNDS];
    unsigned wanted = calls;
    calls = wanted < 20 ? wanted : 20; /* a short untimed round: first-use costs */
    run_round(c, &a[0], &b[0]);
    calls = wanted;
    for (unsigned r = 0; r < rounds; ++r) {
        run_round(c, &a[r], &b[r]);
        ratio[r] = a[r] / b[r];
    }
    qsort(a, rounds, sizeof a[0], by_value);
    qsort(b, rounds, sizeof b[0], by_value);
    qsort(ratio, rounds, sizeof ratio[0], by_value);
    char aRates[48], bRates[48], ratios[48];
    write_rates(aRates, a);
    write_rates(bRates, b);
    wsprintfA(ratios, "%s (%s-%s)", thousandths(quantile(ratio, rounds, 0.5)),
              thousandths(quantile(ratio, rounds, 0.25)), thousandths(quantile(ratio, rounds, 0.75)));
    printf("| %s | %s | %s | %s | %s | %s |\n", c->label, c->a.name, aRates, c->b.name, bRates, ratios);
}

/* ---- Set-up ------------------------------------------------------------------ */

static void make_long_paths(void)
{
    /* C:\tolvar-bench\long\<120 x 'a'>\<'b'...>\data.img, 259 characters. */
    strcpy(long_data, BENCH_ROOT "\\long\\");
    memset(long_data + strlen(long_data), 'a', 120);
    strcat(long_data, "\\");
    size_t at = strlen(long_data);
    memset(long_data + at, 'b', 259 - strlen("\\data.img") - at);
    strcpy(long_data + 259 - strlen("\\data.img"), "\\data.img");
    strcpy(long_backup, long_data);
    strcpy(long_backup + 259 - strlen("\\back.img"), "\\back.img");
}

static void make_record(TolvarDriveInfo* info, char letter, const char* backup, const char* data)
{
    memset(info, 0, sizeof *info);
    info->DriveLetter = letter;
    info->BackupBeforeWrite = TRUE;
    strcpy(info->BackupFile, backup);
    strcpy(info->DataFile, data);
}

static int define_letter(char letter, unsigned index)
{
    char name[3] = {letter, ':', 0}, target[64], existing[512];
    if (QueryDosDeviceA(name, existing, sizeof existing)) {
        printf("%s is defined in this prefix; the benchmark defines it itself\n", name);
        return 0;
    }
    wsprintfA(target, "\\Device\\TolvarVault\\TOLVARVX%u", index);
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target);
}

static void remove_letter(char letter)
{
    char name[3] = {letter, ':', 0};
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL);
}

static int set_up(void)
{
    make_long_paths();
    make_record(&short_record, LETTER, SHORT_BACKUP, SHORT_DATA);
    make_record(&long_record, LONG_LETTER, long_backup, long_data);
    if (!define_letter(LETTER, DEVICE) || !define_letter(LONG_LETTER, LONG_DEVICE))
        return 0;
    for (unsigned i = 0; i < 2; ++i) {
        if (tolvarvx_reset(i) != 0) {
            printf("the stand-in's device %u does not answer\n", i);
            return 0;
        }
        control_handles[i] = stand_in_open(i, GENERIC_READ | GENERIC_WRITE);
    }
    /* Both drives open, in BackupBeforeWrite mode: a query carries both
     * paths back. */
    check("first open", TolvarOpen(&short_record, DEVICE), 0);
    check("first long open", TolvarOpen(&long_record, LONG_DEVICE), 0);
    return unexpected == 0;
}

/* Every export once, success or failure, for the heap count. */
static void every_export_once(void)
{
    TolvarDriveInfo info;
    TolvarDriveInfoW wide_info;
    BYTE block[16] = {0};
    TolvarFlush(DEVICE);
    TolvarQuery(&info, DEVICE);
    TolvarQueryW(&wide_info, DEVICE);
    TolvarOpenW(&wide_info, DEVICE);
    TolvarGetChallenge(block, DEVICE);
    TolvarAuthen(block, DEVICE);
    TolvarDeauthen(DEVICE);
    TolvarOpen(&short_record, DEVICE);
    TolvarClose(TRUE, MISSING_DEVICE);
    TolvarReload(DEVICE); /* fails under Wine at the volume-name lookup, and logs */
    TolvarAddDriveLetter('M', DEVICE);
    TolvarRemoveDriveLetter('M');
    UnregService(0, 0, 0, 0);
    RegService(0, 0, 0, 0); /* the key as the session installed it */
}

int main(int argc, char** argv)
{
    if (argc > 1)
        rounds = (unsigned)atoi(argv[1]);
    if (argc > 2)
        calls = (unsigned)atoi(argv[2]);
    if (rounds < 1 || rounds > MAX_ROUNDS || calls < 1 || calls > MAX_CALLS) {
        printf("usage: bench.exe [rounds 1-%u] [calls per side and round 1-%u]\n", MAX_ROUNDS, MAX_CALLS);
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    unsigned slots = count_heap_calls(GetModuleHandleA("tolvarsdk.dll"));
    if (!set_up()) {
        printf("set-up failed\n");
        return 1;
    }

    static const comparison table[] = {
        {"TolvarFlush", {"export", NULL, export_flush}, {"by hand", NULL, hand_flush}},
        {"TolvarQuery", {"export", NULL, export_query}, {"by hand", NULL, hand_query}},
        {"TolvarGetChallenge", {"export", NULL, export_challenge}, {"by hand", NULL, hand_challenge}},
        {"TolvarAuthen", {"export", prepare_answer, export_authen}, {"by hand", prepare_answer, hand_authen}},
        {"TolvarOpen", {"export", prepare_closed, export_open}, {"by hand", prepare_closed, hand_open}},
    };
    static const comparison paths[] = {
        {"TolvarQuery", {"259-char paths", NULL, export_query_long}, {"short paths", NULL, export_query}},
        {"query by hand", {"259-char paths", NULL, hand_query_long}, {"short paths", NULL, hand_query}},
        {"TolvarOpen", {"259-char paths", prepare_closed_long, export_open_long}, {"short paths", prepare_closed, export_open}},
        {"open by hand", {"259-char paths", prepare_closed_long, hand_open_long}, {"short paths", prepare_closed, hand_open}},
    };

    printf("%u rounds of %u calls per side, the sides alternating call by call (AB BA AB ...), each call timed on "
           "its own. A round's time per call is the median of its calls; calls/s = 1 / that time, as the median "
           "(min-max) over the rounds; ratio = A's time per call / B's in the same round, median (interquartile "
           "range) over the rounds.\n\n", rounds, calls);
    printf("| Call | A | A calls/s | B | B calls/s | ratio A/B |\n|---|---|---|---|---|---|\n");
    for (unsigned i = 0; i < sizeof table / sizeof table[0]; ++i)
        run_comparison(&table[i]);
    printf("\nPath length: the same call with 259-character data and backup paths (A) and with short ones (B); "
           "the rows by hand make the same system calls as the export above them.\n\n");
    printf("| Call | A | A calls/s | B | B calls/s | ratio A/B |\n|---|---|---|---|---|---|\n");
    for (unsigned i = 0; i < sizeof paths / sizeof paths[0]; ++i)
        run_comparison(&paths[i]);

    every_export_once();
    printf("\nHeap calls through the DLL's %u counted import slots (malloc, calloc, realloc, free) "
           "during all the calls above and one call of each of the fourteen exports: %ld\n", slots, heap_calls);

    for (unsigned i = 0; i < 2; ++i) {
        CloseHandle(control_handles[i]);
        tolvarvx_reset(i);
    }
    remove_letter(LETTER);
    remove_letter(LONG_LETTER);
    if (unexpected)
        printf("%u unexpected results\n", unexpected);
    return unexpected || heap_calls ? 1 : 0;
}
