//go:build windows

// Package tolvarsdk controls the Drive driver's virtual drives through
// tolvarsdk.dll, with no cgo: open a drive onto its data (and backup) file,
// query, flush, reload and close it, pass the access handshake, and give it
// a drive letter.
//
// A Drive is a drive index n, naming the driver's device \\.\TOLVARVX<n>;
// each method calls one export of the library. Paths cross as UTF-16,
// exactly (through TolvarOpenW and TolvarQueryW), so any path Windows can
// name fits, up to MaxPathUnits units.
//
//	d := tolvarsdk.Drive(1)
//	if err := d.AddDriveLetter('V'); err != nil { ... }
//	err := d.Open(tolvarsdk.DriveInfo{Letter: 'V', DataFile: `C:\vaults\Ωmega.vault`})
//	if errors.Is(err, tolvarsdk.ErrBusy) { ... }
//	info, err := d.Query()
//	err = d.Close(false)
//
// Every error is an *Error naming the export and the drive; it wraps the
// library's Win32 error code as a syscall.Errno.
//
// The library is loaded at the first call, as tolvarsdk.dll of the
// program's own architecture (x86 for GOARCH=386, x64 for amd64, ARM64 for
// arm64), from the program's own folder, System32 or a folder the program
// added with AddDllDirectory; never from the current folder or PATH, where
// a planted DLL could wait. A program that keeps the DLL elsewhere names
// its folder with LoadFrom. The SDK's rundll32 entry points RegService and
// UnregService are not bound: an installer runs
// "rundll32 tolvarsdk.dll,RegService".
package tolvarsdk

import (
	"fmt"
	"syscall"
	"unsafe"
)

// Drive is a drive index n: the driver's device \\.\TOLVARVX<n>. An index
// for which no device exists fails when the device is opened.
type Drive uint32

// The exports called.
const (
	opOpen         = "TolvarOpenW"
	opQuery        = "TolvarQueryW"
	opClose        = "TolvarClose"
	opFlush        = "TolvarFlush"
	opReload       = "TolvarReload"
	opGetChallenge = "TolvarGetChallenge"
	opAuthen       = "TolvarAuthen"
	opDeauthen     = "TolvarDeauthen"
	opAddLetter    = "TolvarAddDriveLetter"
	opRemoveLetter = "TolvarRemoveDriveLetter"
)

// Open opens the drive onto info.DataFile (and info.BackupFile in
// BackupBeforeWrite mode). The library creates both paths' folders first
// and flushes the volume of info.Letter, so the letter must name a volume:
// the drive's own, given by AddDriveLetter. A path with a NUL, bytes that
// are not UTF-8, or over MaxPathUnits UTF-16 units is refused before the
// call; the library refuses a path shorter than 4 units.
func (d Drive) Open(info DriveInfo) error {
	e := &Error{Op: opOpen, Drive: d}
	var r driveInfoW
	if e.Err = r.set(&info); e.Err != nil {
		return e
	}
	p, err := find(e)
	if err != nil {
		return err
	}
	code, _, _ := p.Call(uintptr(unsafe.Pointer(&r)), uintptr(d))
	return result(e, code)
}

// Query reads the drive's description, paths exactly as the driver holds
// them. A reply shorter than the record gives ErrInsufficientBuffer.
func (d Drive) Query() (DriveInfo, error) {
	var r driveInfoW
	if err := d.queryW(&r); err != nil {
		return DriveInfo{}, err
	}
	return r.info(), nil
}

// queryW calls TolvarQueryW on r, which the library leaves untouched on
// any failure.
func (d Drive) queryW(r *driveInfoW) error {
	e := &Error{Op: opQuery, Drive: d}
	p, err := find(e)
	if err != nil {
		return err
	}
	code, _, _ := p.Call(uintptr(unsafe.Pointer(r)), uintptr(d))
	return result(e, code)
}

// Close closes the drive and dismounts its file system. Without force the
// volume is locked first (a volume in use then fails the call and the
// drive stays open) and unlocked after.
func (d Drive) Close(force bool) error {
	var f uintptr
	if force {
		f = 1
	}
	return call(&Error{Op: opClose, Drive: d}, f, uintptr(d))
}

// Flush flushes the drive device.
func (d Drive) Flush() error { return call(&Error{Op: opFlush, Drive: d}, uintptr(d)) }

// Reload dismounts the volume of the drive's letter and has the driver
// reload the drive. A drive in BackupBeforeWrite mode is refused with
// ErrSharingViolation. Failures are also written to the Windows event log.
func (d Drive) Reload() error { return call(&Error{Op: opReload, Drive: d}, uintptr(d)) }

// GetChallenge asks the driver for a new access challenge. A reply shorter
// than 16 bytes gives ErrInsufficientBuffer.
func (d Drive) GetChallenge() ([16]byte, error) {
	e := &Error{Op: opGetChallenge, Drive: d}
	var challenge [16]byte
	p, err := find(e)
	if err != nil {
		return [16]byte{}, err
	}
	code, _, _ := p.Call(uintptr(unsafe.Pointer(&challenge[0])), uintptr(d))
	if err := result(e, code); err != nil {
		return [16]byte{}, err
	}
	return challenge, nil
}

// Authen answers the latest challenge; the driver's refusal comes back as
// its error.
func (d Drive) Authen(response [16]byte) error {
	e := &Error{Op: opAuthen, Drive: d}
	p, err := find(e)
	if err != nil {
		return err
	}
	code, _, _ := p.Call(uintptr(unsafe.Pointer(&response[0])), uintptr(d))
	return result(e, code)
}

// Deauthen gives up the access Authen gained.
func (d Drive) Deauthen() error { return call(&Error{Op: opDeauthen, Drive: d}, uintptr(d)) }

// AddDriveLetter makes letter ('A'-'Z' or 'a'-'z', case kept) name the
// drive. ErrBusy: the letter's volume opens, so the letter is taken. The
// library counts any failure to open it as free (on Windows, a process
// that is not elevated sees every letter so): check the letter first.
func (d Drive) AddDriveLetter(letter rune) error {
	e := &Error{Op: opAddLetter, Drive: d, Letter: letter}
	if e.Err = checkLetter(letter); e.Err != nil {
		return e
	}
	return call(e, uintptr(letter), uintptr(d))
}

// RemoveDriveLetter removes the latest definition of letter, whatever drive
// it names.
func RemoveDriveLetter(letter rune) error {
	e := &Error{Op: opRemoveLetter, Letter: letter}
	if e.Err = checkLetter(letter); e.Err != nil {
		return e
	}
	return call(e, uintptr(letter))
}

// checkLetter refuses what the library would: the export takes one byte,
// and a rune beyond it would be cut to another letter.
func checkLetter(letter rune) error {
	if ('A' <= letter && letter <= 'Z') || ('a' <= letter && letter <= 'z') {
		return nil
	}
	return badArgument(fmt.Sprintf("letter %q is not A-Z or a-z", letter))
}

// find finds the export e.Op; on failure it returns e with the cause.
func find(e *Error) (*syscall.Proc, error) {
	p, err := export(e.Op)
	if err != nil {
		e.Err = err
		return nil, e
	}
	return p, nil
}

// call calls e.Op with args, which hold no pointer.
func call(e *Error, args ...uintptr) error {
	p, err := find(e)
	if err != nil {
		return err
	}
	code, _, _ := p.Call(args...)
	return result(e, code)
}

// result reads an export's DWORD result: nil, or e with the code.
func result(e *Error, code uintptr) error {
	if uint32(code) == 0 {
		return nil
	}
	e.Err = syscall.Errno(uint32(code))
	return e
}
