//go:build windows

package tolvarsdk_test

import (
	"crypto/hmac"
	"crypto/sha256"
	"errors"
	"fmt"
	"log"
	"syscall"

	"tolvarsdk"
)

// A drive's life: a letter for its volume, the open, a query and the close.
func Example() {
	d := tolvarsdk.Drive(1)
	// The open flushes the volume of the drive's letter before it reaches
	// the driver, so the letter comes first.
	if err := d.AddDriveLetter('V'); err != nil {
		log.Fatal(err)
	}
	defer tolvarsdk.RemoveDriveLetter('V')
	err := d.Open(tolvarsdk.DriveInfo{Letter: 'V', DataFile: `C:\vaults\Ωmega.vault`})
	if err != nil {
		log.Fatal(err)
	}
	info, err := d.Query()
	if err != nil {
		log.Fatal(err)
	}
	fmt.Printf("%c: %s, backup before write: %v\n", info.Letter, info.DataFile, info.BackupBeforeWrite)

	// Windows returns nil. Under Wine, where the SDK's test kit runs, the
	// close returns 66 (ERROR_BAD_DEV_TYPE) after the driver has closed the
	// drive: Wine fails the dismount that the driver accepted
	// (TOLVARVX_WINE_CLOSE_RESULT in tolvarvx_testing.h).
	if err := d.Close(false); err != nil {
		log.Print(err)
	}
	// Output:
	// V: C:\vaults\Ωmega.vault, backup before write: false
}

// The access handshake: the driver hands out a challenge, and grants access
// for the right response to it.
func ExampleDrive_Authen() {
	d := tolvarsdk.Drive(1)
	challenge, err := d.GetChallenge()
	if err != nil {
		log.Fatal(err)
	}
	// A response the driver refuses comes back as the driver's error.
	err = d.Authen([16]byte{})
	fmt.Println("refused:", errors.Is(err, syscall.ERROR_ACCESS_DENIED))

	// The response is the driver's rule, not the library's. The SDK's
	// driver stand-in takes the first 16 bytes of HMAC-SHA256 of the
	// challenge under the drive's secret, for its drive 1
	// "tolvar-stand-in-secret-1".
	if challenge, err = d.GetChallenge(); err != nil {
		log.Fatal(err)
	}
	mac := hmac.New(sha256.New, []byte("tolvar-stand-in-secret-1"))
	mac.Write(challenge[:])
	var response [16]byte
	copy(response[:], mac.Sum(nil))
	fmt.Println("accepted:", d.Authen(response) == nil)
	fmt.Println("given up:", d.Deauthen() == nil)
	// Output:
	// refused: true
	// accepted: true
	// given up: true
}

// Every error is an *Error that names the export and the drive; errors.Is
// tells the library's own codes (ErrBusy, ErrInvalidParameter, ...) and the
// system's apart.
func ExampleError() {
	d := tolvarsdk.Drive(1)
	// W names nothing yet, so the open's flush of its volume fails, with
	// the system's "file not found", before the driver is asked.
	err := d.Open(tolvarsdk.DriveInfo{Letter: 'W', DataFile: `C:\vaults\w.vault`})
	var e *tolvarsdk.Error
	if errors.As(err, &e) {
		fmt.Println(e.Op, e.Drive, errors.Is(err, syscall.ERROR_FILE_NOT_FOUND))
	}

	if err := d.AddDriveLetter('W'); err != nil {
		log.Fatal(err)
	}
	defer tolvarsdk.RemoveDriveLetter('W')
	// The letter's volume opens now: the letter is taken.
	fmt.Println("busy:", errors.Is(d.AddDriveLetter('W'), tolvarsdk.ErrBusy))
	// The library refuses a path shorter than 4 characters.
	err = d.Open(tolvarsdk.DriveInfo{Letter: 'W', DataFile: "abc"})
	fmt.Println("refused:", errors.Is(err, tolvarsdk.ErrInvalidParameter))
	// Output:
	// TolvarOpenW 1 true
	// busy: true
	// refused: true
}

// A program that keeps tolvarsdk.dll beside its executable needs nothing;
// one that keeps it in another folder names that folder before the first
// operation.
func ExampleLoadFrom() {
	if err := tolvarsdk.LoadFrom(`C:\Program Files\Vault\sdk`); err != nil {
		log.Fatal(err)
	}
	if err := tolvarsdk.Drive(1).Flush(); err != nil {
		log.Fatal(err)
	}
}
