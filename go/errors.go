//go:build windows

package tolvarsdk

import (
	"fmt"
	"syscall"
)

// The error codes the library gives itself; any other code comes from the
// system or the driver, unchanged. Each is a syscall.Errno, so
// errors.Is(err, ErrBusy) and errors.Is(err, windows.ERROR_BUSY) agree.
const (
	ErrSharingViolation   syscall.Errno = 32  // Reload refused a drive in BackupBeforeWrite mode
	ErrInvalidParameter   syscall.Errno = 87  // an argument was refused; nothing was opened
	ErrInsufficientBuffer syscall.Errno = 122 // the driver's reply was shorter than its fixed size
	ErrBusy               syscall.Errno = 170 // the drive letter is in use
)

// Error is a failed operation: the export called, the drive (or letter) it
// was called for, and the cause. Err is the library's syscall.Errno; a
// *syscall.DLLError when tolvarsdk.dll or the export is missing; or, for an
// argument refused before the call, an error that names it and is
// ErrInvalidParameter under errors.Is.
type Error struct {
	Op     string // the export, such as "TolvarOpenW"
	Drive  Drive  // the drive index; unset for TolvarRemoveDriveLetter
	Letter rune   // the letter, for TolvarAddDriveLetter and TolvarRemoveDriveLetter
	Err    error
}

func (e *Error) Error() string {
	where := fmt.Sprintf("drive %d", e.Drive)
	switch e.Op {
	case opAddLetter:
		where = fmt.Sprintf("letter %q for drive %d", e.Letter, e.Drive)
	case opRemoveLetter:
		where = fmt.Sprintf("letter %q", e.Letter)
	}
	if errno, ok := e.Err.(syscall.Errno); ok {
		return fmt.Sprintf("tolvarsdk: %s, %s: error %d: %v", e.Op, where, uint32(errno), errno)
	}
	return fmt.Sprintf("tolvarsdk: %s, %s: %v", e.Op, where, e.Err)
}

func (e *Error) Unwrap() error { return e.Err }

// badArgument is an argument refused before the library is called, as the
// library refuses its own: it unwraps to ErrInvalidParameter.
type badArgument string

func (e badArgument) Error() string { return string(e) }
func (e badArgument) Unwrap() error { return ErrInvalidParameter }
