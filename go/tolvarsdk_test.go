//go:build windows

package tolvarsdk

import (
	"bufio"
	"bytes"
	"encoding/binary"
	"errors"
	"os"
	"os/exec"
	"path/filepath"
	"reflect"
	"strconv"
	"strings"
	"syscall"
	"testing"
	"unsafe"
)

// The stand-in's device and a letter these tests define for it.
const (
	testDrive  Drive = 2
	testLetter       = 'G'
	testRoot         = `C:\tolvar-tests\go`
)

// useLibrary puts lib (nil: none loaded yet) in the package's hands for
// the length of a test.
func useLibrary(t *testing.T, lib *library) {
	mu.Lock()
	saved := current
	current = lib
	mu.Unlock()
	t.Cleanup(func() {
		mu.Lock()
		current = saved
		mu.Unlock()
	})
}

func refused(t *testing.T, err error, what string) {
	t.Helper()
	if !errors.Is(err, ErrInvalidParameter) || !strings.Contains(err.Error(), what) {
		t.Errorf("got %v, want error 87 naming %q", err, what)
	}
}

func TestPathsAsUTF16(t *testing.T) {
	// Greek capital omega, Cyrillic de, and U+1F5C4 as the pair D83D DDC4.
	var r driveInfoW
	info := DriveInfo{Letter: 'g', DataFile: `C:\Ωд🗄`}
	if err := r.set(&info); err != nil {
		t.Fatal(err)
	}
	want := [pathUnits]uint16{'C', ':', '\\', 0x03A9, 0x0434, 0xD83D, 0xDDC4}
	if r.DataFile != want || r.BackupFile != [pathUnits]uint16{} || r.DriveLetter != 'g' {
		t.Errorf("record: letter %#x, data %x, backup %x", r.DriveLetter, r.DataFile[:8], r.BackupFile[:8])
	}
	if back := r.info(); back.DataFile != info.DataFile {
		t.Errorf("read back as %q", back.DataFile)
	}
	if got := getPath([]uint16{0xD800, 'a', 0, 'b'}); got != "\uFFFDa" {
		t.Errorf("lone surrogate read as %q", got)
	}

	// 259 units fit, the pair counting two; one more does not.
	fits := strings.Repeat("a", MaxPathUnits-2) + "🗄"
	if err := r.set(&DriveInfo{DataFile: fits}); err != nil || r.DataFile[258] != 0xDDC4 || r.DataFile[259] != 0 {
		t.Errorf("259 units: %v, last units %x", err, r.DataFile[257:])
	}
	refused(t, r.set(&DriveInfo{BackupFile: "a" + fits}), "backup file is 260 UTF-16 units")
	refused(t, r.set(&DriveInfo{DataFile: "C:\\a\x00b"}), "NUL at byte 4")
	refused(t, r.set(&DriveInfo{DataFile: "C:\\\xffb"}), "byte 3 is not UTF-8")
	refused(t, r.set(&DriveInfo{Letter: 0x1F5C4}), "letter U+1F5C4")
}

func TestMissingLibraryOrExport(t *testing.T) {
	useLibrary(t, nil)
	err := LoadFrom(t.TempDir())
	if !errors.Is(err, syscall.ERROR_MOD_NOT_FOUND) || !strings.Contains(err.Error(), dllName) {
		t.Errorf("LoadFrom an empty folder: %v", err)
	}

	// A DLL without the exports in the library's place.
	other, err := load(filepath.Join(os.Getenv("SystemRoot"), "system32", "version.dll"), searchBeside)
	if err != nil {
		t.Fatal(err)
	}
	useLibrary(t, other)
	err = Drive(3).Flush()
	var e *Error
	if !errors.As(err, &e) || e.Op != "TolvarFlush" || e.Drive != 3 ||
		!errors.Is(err, syscall.ERROR_PROC_NOT_FOUND) || !strings.Contains(err.Error(), "TolvarFlush") {
		t.Errorf("flush through a DLL without the export: %v", err)
	}

	// Refused before any call: a call would fail to find its export.
	refused(t, Drive(3).Open(DriveInfo{Letter: 'G', DataFile: "C:\\d\x00"}), "TolvarOpenW, drive 3: data file")
	refused(t, Drive(3).AddDriveLetter('1'), "TolvarAddDriveLetter, letter '1' for drive 3")
	// U+0141 would reach the one-byte argument as 'A'.
	refused(t, RemoveDriveLetter('Ł'), "letter 'Ł' is not A-Z")
}

// A DLL named without a folder is not looked for in the current folder,
// where anyone who can write there could plant one: the default search
// (syscall.LoadDLL's) finds it there, the package's does not. The same file
// named by its path loads.
func TestNoDLLFromCurrentFolder(t *testing.T) {
	self, err := os.Executable()
	if err != nil {
		t.Fatal(err)
	}
	image, err := os.ReadFile(filepath.Join(filepath.Dir(self), dllName))
	if err != nil {
		t.Fatal(err)
	}
	const planted = "tolvarsdk_planted.dll"
	dir := t.TempDir()
	if err := os.WriteFile(filepath.Join(dir, planted), image, 0o644); err != nil {
		t.Fatal(err)
	}
	wd, err := os.Getwd()
	if err != nil {
		t.Fatal(err)
	}
	if err := os.Chdir(dir); err != nil {
		t.Fatal(err)
	}
	t.Cleanup(func() { os.Chdir(wd) })

	dll, err := syscall.LoadDLL(planted)
	if err != nil {
		t.Fatalf("the default search does not find the planted DLL in the current folder either: %v", err)
	}
	dll.Release()
	lib, err := load(planted, searchByName)
	if err == nil {
		lib.dll.Release()
	}
	if !errors.Is(err, syscall.ERROR_MOD_NOT_FOUND) || !strings.Contains(err.Error(), planted) {
		t.Errorf("by name from the current folder: %v", err)
	}
	if lib, err = load(filepath.Join(dir, planted), searchBeside); err != nil {
		t.Fatalf("by path: %v", err)
	}
	lib.dll.Release()
}

// TestLayout compares the Go declarations with the C headers as this
// architecture's compiler sees them, through a program built beside this
// one from testdata/layout.c.
func TestLayout(t *testing.T) {
	self, err := os.Executable()
	if err != nil {
		t.Fatal(err)
	}
	out, err := exec.Command(filepath.Join(filepath.Dir(self), "tolvarsdk_go_layout.exe")).Output()
	if err != nil {
		t.Fatalf("the C layout program (testdata/layout.c, built beside the tests): %v", err)
	}
	var w driveInfoW
	var j journal
	ours := map[string]uintptr{
		"TolvarDriveInfoW":                      unsafe.Sizeof(w),
		"TolvarDriveInfoW.DriveLetter":          unsafe.Offsetof(w.DriveLetter),
		"TolvarDriveInfoW.Reserved":             unsafe.Offsetof(w.Reserved),
		"TolvarDriveInfoW.BackupBeforeWrite":    unsafe.Offsetof(w.BackupBeforeWrite),
		"TolvarDriveInfoW.BackupFile":           unsafe.Offsetof(w.BackupFile),
		"TolvarDriveInfoW.DataFile":             unsafe.Offsetof(w.DataFile),
		"TolvarDriveInfoW.DeviceDetails":        unsafe.Offsetof(w.DeviceDetails),
		"TolvarvxScript":                        unsafe.Sizeof(script{}),
		"TolvarvxJournalEntry":                  unsafe.Sizeof(journalEntry{}),
		"TolvarvxJournal":                       unsafe.Sizeof(j),
		"TolvarvxJournal.Entries":               unsafe.Offsetof(j.Entries),
		"TolvarvxJournal.LastOpenRequest":       unsafe.Offsetof(j.LastOpenRequest),
		"TOLVARVX_TEST_INTERFACE_VERSION":       testInterfaceVersion,
		"IOCTL_TOLVARVX_TEST_RESET":             ctlTestReset,
		"IOCTL_TOLVARVX_TEST_SCRIPT":            ctlTestScript,
		"IOCTL_TOLVARVX_TEST_JOURNAL":           ctlTestJournal,
		"IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED": ctlTestAuthRequired,
		"IOCTL_TOLVARVX_TEST_VERSION":           ctlTestVersion,
		"IOCTL_TOLVAR_OPEN":                     ioctlOpen,
		"IOCTL_TOLVAR_QUERY":                    ioctlQuery,
		"TOLVARVX_KIND_CONTROL":                 kindControl,
		"TOLVARVX_STATUS_DEVICE_BUSY":           statusDeviceBusy,
	}
	lines := bufio.NewScanner(bytes.NewReader(out))
	for lines.Scan() {
		name, text, _ := strings.Cut(lines.Text(), " ")
		c, err := strconv.ParseUint(strings.TrimSpace(text), 10, 64)
		if err != nil {
			t.Fatalf("layout program: %q", lines.Text())
		}
		if g, ok := ours[name]; !ok {
			t.Errorf("%s: %d in C, not declared in Go", name, c)
		} else if uint64(g) != c {
			t.Errorf("%s: %d in C, %d in Go", name, c, g)
		}
		delete(ours, name)
	}
	for name := range ours {
		t.Errorf("%s: declared in Go, not shown by the layout program", name)
	}
}

// openDrive makes testLetter name testDrive on a reset stand-in, and
// leaves nothing behind.
func openDrive(t *testing.T) {
	resetStandIn(t, testDrive)
	RemoveDriveLetter(testLetter) // a definition left by a failed run
	if err := testDrive.AddDriveLetter(testLetter); err != nil {
		t.Fatal(err)
	}
	t.Cleanup(func() {
		if err := RemoveDriveLetter(testLetter); err != nil {
			t.Error(err)
		}
		resetStandIn(t, testDrive)
		os.RemoveAll(testRoot)
	})
}

func units(s string) []uint16 {
	var u []uint16
	for i := 0; i < len(s); i++ {
		u = append(u, uint16(s[i]))
	}
	return u
}

func TestNonASCIIRoundTrip(t *testing.T) {
	openDrive(t)
	info := DriveInfo{
		Letter:            testLetter,
		BackupBeforeWrite: true,
		BackupFile:        testRoot + `\Ωmega\копия-🗄.bak`,
		DataFile:          testRoot + `\Ωmega\данные-🗄.dat`,
	}
	if err := testDrive.Open(info); err != nil {
		t.Fatal(err)
	}
	// What the driver received, unit for unit.
	want := append(units(testRoot+`\`), 0x03A9)
	want = append(want, units(`mega\`)...)
	want = append(want, 0x0434, 0x0430, 0x043D, 0x043D, 0x044B, 0x0435, '-', 0xD83D, 0xDDC4)
	want = append(want, units(".dat")...)
	want = append(want, 0)
	j := readJournal(t, testDrive)
	got := make([]uint16, len(want))
	binary.Read(bytes.NewReader(j.LastOpenRequest[528:]), binary.LittleEndian, got)
	if j.LastOpenValid != 1 || !reflect.DeepEqual(got, want) {
		t.Errorf("the driver received %x\nwant %x", got, want)
	}

	back, err := testDrive.Query()
	if err != nil {
		t.Fatal(err)
	}
	if back.DataFile != info.DataFile || back.BackupFile != info.BackupFile ||
		back.Letter != testLetter || !back.BackupBeforeWrite {
		t.Errorf("read back %q %q %q %v", back.Letter, back.DataFile, back.BackupFile, back.BackupBeforeWrite)
	}
	if magic := binary.LittleEndian.Uint32(back.DeviceDetails[:]); magic != 0x44585654 {
		t.Errorf("device details begin %#x, not the stand-in's magic", magic)
	}
	// Windows: nil. Wine: error 66 (ERROR_BAD_DEV_TYPE), after the driver
	// closed the drive and accepted the dismount: Wine then looks for a Unix
	// device behind the handle to unmount, finds none and fails the call.
	// The stand-in answers a query of a closed drive with error 21.
	if err := testDrive.Close(true); !errors.Is(err, syscall.Errno(66)) {
		t.Errorf("close: %v", err)
	}
	if _, err := testDrive.Query(); !errors.Is(err, syscall.Errno(21)) {
		t.Errorf("query after close: %v", err)
	}
}

func TestDriverErrors(t *testing.T) {
	openDrive(t)
	info := DriveInfo{Letter: testLetter, DataFile: testRoot + `\d.dat`}

	scriptNext(t, testDrive, script{Kind: kindControl, Code: ioctlOpen, Status: statusDeviceBusy})
	err := testDrive.Open(info)
	var e *Error
	var errno syscall.Errno
	if !errors.Is(err, ErrBusy) || !errors.As(err, &e) || e.Op != "TolvarOpenW" || e.Drive != testDrive ||
		!errors.As(err, &errno) || errno != 170 || !strings.Contains(err.Error(), "TolvarOpenW, drive 2: error 170") {
		t.Errorf("busy open: %v", err)
	}

	// A reply one byte short: 122, and the record as it was.
	if err := testDrive.Open(info); err != nil {
		t.Fatal(err)
	}
	scriptNext(t, testDrive, script{Kind: kindControl, Code: ioctlQuery, Information: 1351, FillByte: 0xAB})
	var r driveInfoW
	raw := bytesOf(&r)
	for i := range raw {
		raw[i] = 0x5A
	}
	err = testDrive.queryW(&r)
	if !errors.Is(err, ErrInsufficientBuffer) || !bytes.Equal(raw, bytes.Repeat([]byte{0x5A}, len(raw))) {
		t.Errorf("short query: %v; record changed: %v", err, !bytes.Equal(raw, bytes.Repeat([]byte{0x5A}, len(raw))))
	}
}

func TestHandshake(t *testing.T) {
	openDrive(t)
	info := DriveInfo{Letter: testLetter, DataFile: testRoot + `\h.dat`}
	requireAuth(t, testDrive, true)
	if err := testDrive.Open(info); !errors.Is(err, syscall.ERROR_ACCESS_DENIED) {
		t.Errorf("open before the handshake: %v", err)
	}
	// Another device's secret: the stand-in refuses the response.
	challenge, err := testDrive.GetChallenge()
	if err != nil {
		t.Fatal(err)
	}
	err = testDrive.Authen(response(defaultSecretPrefix+"3", challenge))
	if !errors.Is(err, syscall.ERROR_ACCESS_DENIED) {
		t.Errorf("wrong response: %v", err)
	}

	next, err := testDrive.GetChallenge()
	if err != nil || next == challenge {
		t.Fatalf("second challenge %x (first %x): %v", next, challenge, err)
	}
	if err := testDrive.Authen(response(defaultSecretPrefix+"2", next)); err != nil {
		t.Fatal(err)
	}
	if err := testDrive.Open(info); err != nil {
		t.Fatalf("open after the handshake: %v", err)
	}
	if _, err := testDrive.Query(); err != nil {
		t.Errorf("query after the handshake: %v", err)
	}
	if err := testDrive.Deauthen(); err != nil {
		t.Fatal(err)
	}
	if _, err := testDrive.Query(); !errors.Is(err, syscall.ERROR_ACCESS_DENIED) {
		t.Errorf("query after Deauthen: %v", err)
	}
}
