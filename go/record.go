//go:build windows

package tolvarsdk

import (
	"fmt"
	"unicode/utf16"
	"unicode/utf8"
	"unsafe"
)

const (
	// MaxPathUnits is the longest path a drive record holds, in UTF-16
	// code units: a character beyond U+FFFF counts two.
	MaxPathUnits = 259
	// DeviceDetailsSize is the size of the driver's own description.
	DeviceDetailsSize = 304

	pathUnits = MaxPathUnits + 1
)

// DriveInfo describes a drive. Open reads Letter, BackupBeforeWrite and the
// two paths; Query fills every field.
type DriveInfo struct {
	// Letter names the drive's volume ('A'-'Z' or 'a'-'z'), which Open
	// flushes first: AddDriveLetter gives the drive its letter.
	Letter rune
	// BackupBeforeWrite: the drive backs up before it writes. BackupFile
	// reaches the driver only then.
	BackupBeforeWrite bool
	BackupFile        string
	DataFile          string
	// DeviceDetails is the driver's own description; Open ignores it.
	DeviceDetails [DeviceDetailsSize]byte
}

// driveInfoW is the library's TolvarDriveInfoW, byte for byte, the same on
// every architecture.
type driveInfoW struct {
	DriveLetter       uint16
	Reserved          uint16 // never read or written by the library
	BackupBeforeWrite int32
	BackupFile        [pathUnits]uint16
	DataFile          [pathUnits]uint16
	DeviceDetails     [DeviceDetailsSize]byte
}

const driveInfoWSize = 1352

// A compile-time check that holds for GOARCHes no test runs on.
var (
	_ [unsafe.Sizeof(driveInfoW{}) - driveInfoWSize]struct{}
	_ [driveInfoWSize - unsafe.Sizeof(driveInfoW{})]struct{}
)

// set fills r for TolvarOpenW: letter, flag and both paths, zeros elsewhere.
func (r *driveInfoW) set(info *DriveInfo) error {
	*r = driveInfoW{}
	if info.Letter < 0 || info.Letter > 0xFFFF {
		return badArgument(fmt.Sprintf("letter %U is beyond 16 bits", info.Letter))
	}
	r.DriveLetter = uint16(info.Letter)
	if info.BackupBeforeWrite {
		r.BackupBeforeWrite = 1
	}
	if err := putPath(&r.BackupFile, "backup file", info.BackupFile); err != nil {
		return err
	}
	return putPath(&r.DataFile, "data file", info.DataFile)
}

// info reads a record that TolvarQueryW filled.
func (r *driveInfoW) info() DriveInfo {
	return DriveInfo{
		Letter:            rune(r.DriveLetter),
		BackupBeforeWrite: r.BackupBeforeWrite != 0,
		BackupFile:        getPath(r.BackupFile[:]),
		DataFile:          getPath(r.DataFile[:]),
		DeviceDetails:     r.DeviceDetails,
	}
}

// putPath writes s to dst as UTF-16 with a terminator. It refuses what
// UTF-16 cannot carry exactly, or the driver not at all: bytes that are not
// UTF-8, a NUL, more than MaxPathUnits units.
func putPath(dst *[pathUnits]uint16, field, s string) error {
	units := 0
	for i := 0; i < len(s); {
		r, size := utf8.DecodeRuneInString(s[i:])
		switch {
		case r == utf8.RuneError && size == 1:
			return badArgument(fmt.Sprintf("%s %q: byte %d is not UTF-8", field, s, i))
		case r == 0:
			return badArgument(fmt.Sprintf("%s %q: NUL at byte %d", field, s, i))
		case r >= 0x10000:
			units += 2
		default:
			units++
		}
		i += size
	}
	if units > MaxPathUnits {
		return badArgument(fmt.Sprintf("%s is %d UTF-16 units long, more than %d", field, units,
			MaxPathUnits))
	}
	n := 0
	for _, r := range s {
		if r >= 0x10000 {
			hi, lo := utf16.EncodeRune(r)
			dst[n], dst[n+1] = uint16(hi), uint16(lo)
			n += 2
		} else {
			dst[n] = uint16(r)
			n++
		}
	}
	return nil
}

// getPath reads a path up to its terminator (TolvarQueryW always writes
// one). A lone surrogate, which no Go string holds, becomes U+FFFD.
func getPath(units []uint16) string {
	for i, u := range units {
		if u == 0 {
			units = units[:i]
			break
		}
	}
	return string(utf16.Decode(units))
}
