//go:build windows

package tolvarsdk

// The driver stand-in's test interface (tolvarvx_test.h), only what these
// tests use. TestLayout compares its codes and layouts with the header's.

import (
	"crypto/hmac"
	"crypto/sha256"
	"fmt"
	"syscall"
	"testing"
	"unsafe"
)

const (
	testInterfaceVersion = 2

	ctlTestReset        = 0x80002400
	ctlTestScript       = 0x80002404
	ctlTestJournal      = 0x80002408
	ctlTestAuthRequired = 0x8000240C
	ctlTestVersion      = 0x80002418

	ioctlOpen  = 0x8000E000
	ioctlQuery = 0x80006018

	kindControl      = 1
	statusDeviceBusy = 0x80000011

	defaultSecretPrefix = "tolvar-stand-in-secret-"
)

// script completes the next request of a kind and code with Status and
// Information, filling the output's first Information bytes with FillByte.
type script struct {
	Kind, Code, Status, Information, Flags, FillByte uint32
}

type journalEntry struct {
	Sequence, Kind, Code, InputLength, OutputLength, Status, Information, Flags uint32
}

type journal struct {
	Recorded, Count, LastOpenValid, Reserved uint32
	Entries                                  [64]journalEntry
	LastOpenRequest                          [1048]byte
}

// standIn sends one test control to device d on a handle of its own.
func standIn(d Drive, code uint32, in, out []byte) (uint32, error) {
	name, err := syscall.UTF16PtrFromString(fmt.Sprintf(`\\.\TOLVARVX%d`, d))
	if err != nil {
		return 0, err
	}
	h, err := syscall.CreateFile(name, syscall.GENERIC_READ|syscall.GENERIC_WRITE,
		syscall.FILE_SHARE_READ|syscall.FILE_SHARE_WRITE, nil, syscall.OPEN_EXISTING,
		syscall.FILE_ATTRIBUTE_NORMAL, 0)
	if err != nil {
		return 0, fmt.Errorf("opening the stand-in's device %d: %w", d, err)
	}
	defer syscall.CloseHandle(h)
	var inp, outp *byte
	if len(in) > 0 {
		inp = &in[0]
	}
	if len(out) > 0 {
		outp = &out[0]
	}
	var returned uint32
	err = syscall.DeviceIoControl(h, code, inp, uint32(len(in)), outp, uint32(len(out)),
		&returned, nil)
	if err != nil {
		return 0, fmt.Errorf("test control %#x on device %d: %w", code, d, err)
	}
	return returned, nil
}

func bytesOf[T any](v *T) []byte {
	return unsafe.Slice((*byte)(unsafe.Pointer(v)), unsafe.Sizeof(*v))
}

// resetStandIn refuses a stand-in of another test interface, then puts
// device d back to its start: drive closed, no scripts, empty journal,
// no handshake required, its default secret.
func resetStandIn(t *testing.T, d Drive) {
	t.Helper()
	var version uint32
	if _, err := standIn(d, ctlTestVersion, nil, bytesOf(&version)); err != nil {
		t.Fatalf("no driver stand-in: %v", err)
	}
	if version != testInterfaceVersion {
		t.Fatalf("the stand-in's test interface is version %d, these tests know version %d",
			version, testInterfaceVersion)
	}
	if _, err := standIn(d, ctlTestReset, nil, nil); err != nil {
		t.Fatal(err)
	}
}

func scriptNext(t *testing.T, d Drive, s script) {
	t.Helper()
	if _, err := standIn(d, ctlTestScript, bytesOf(&s), nil); err != nil {
		t.Fatal(err)
	}
}

func readJournal(t *testing.T, d Drive) *journal {
	t.Helper()
	var j journal
	if n, err := standIn(d, ctlTestJournal, nil, bytesOf(&j)); err != nil || n != uint32(unsafe.Sizeof(j)) {
		t.Fatalf("journal: %d bytes, %v", n, err)
	}
	return &j
}

func requireAuth(t *testing.T, d Drive, on bool) {
	t.Helper()
	var v uint32
	if on {
		v = 1
	}
	if _, err := standIn(d, ctlTestAuthRequired, bytesOf(&v), nil); err != nil {
		t.Fatal(err)
	}
}

// response is the stand-in's answer to challenge under secret: the first
// 16 bytes of HMAC-SHA256(key secret, message challenge).
func response(secret string, challenge [16]byte) (r [16]byte) {
	mac := hmac.New(sha256.New, []byte(secret))
	mac.Write(challenge[:])
	copy(r[:], mac.Sum(nil))
	return r
}
