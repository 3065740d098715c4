//go:build windows

package tolvarsdk

import (
	"fmt"
	"path/filepath"
	"sync"
	"syscall"
	"unsafe"
)

const dllName = "tolvarsdk.dll"

// The folders LoadLibraryExW looks in. searchByName is for the DLL named
// without a folder: the program's own folder, System32 and the folders
// added with AddDllDirectory, but never the current folder or PATH, where
// anyone who can write there could plant a tolvarsdk.dll of their own.
// searchBeside is for a DLL named by its full path: its dependencies come
// from its own folder and the same folders.
const (
	loadLibrarySearchDllLoadDir  = 0x00000100 // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
	loadLibrarySearchDefaultDirs = 0x00001000 // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS

	searchByName = loadLibrarySearchDefaultDirs
	searchBeside = loadLibrarySearchDllLoadDir | loadLibrarySearchDefaultDirs
)

// kernel32.dll is one of the DLLs the syscall package loads from System32
// only, so this lookup plants nothing either.
var loadLibraryExW = syscall.NewLazyDLL("kernel32.dll").NewProc("LoadLibraryExW")

// library is a loaded tolvarsdk.dll and the exports found in it so far.
type library struct {
	dll   *syscall.DLL
	procs map[string]*syscall.Proc
}

var (
	mu      sync.Mutex
	current *library // nil until LoadFrom or the first operation loads it
)

// LoadFrom makes the package use the tolvarsdk.dll in dir, for a program
// that keeps the DLL in a folder of its own choosing. Call it before the
// first operation. Without it, the first operation loads tolvarsdk.dll from
// the program's own folder, System32 or a folder the program added with
// AddDllDirectory, never from the current folder or PATH. It fails, and
// nothing changes, when the DLL in dir cannot be loaded or when another
// tolvarsdk.dll is in use already.
func LoadFrom(dir string) error {
	abs, err := filepath.Abs(dir)
	if err != nil {
		return err
	}
	path := filepath.Join(abs, dllName)
	mu.Lock()
	defer mu.Unlock()
	if current != nil {
		if current.dll.Name == path {
			return nil
		}
		return fmt.Errorf("tolvarsdk: LoadFrom(%q): %s is in use already", dir, current.dll.Name)
	}
	lib, err := load(path, searchBeside)
	if err != nil {
		return err
	}
	current = lib
	return nil
}

// load loads name with LoadLibraryExW and the search flags given. The
// syscall package's LoadDLL searches as LoadLibraryW does, the current
// folder and PATH included.
//
// The flags need Windows 8 or later, or Windows 7 with KB2533623; without
// them the load fails with ERROR_INVALID_PARAMETER rather than search more
// widely.
func load(name string, flags uintptr) (*library, error) {
	namep, err := syscall.UTF16PtrFromString(name)
	if err != nil {
		return nil, err
	}
	h, _, callErr := loadLibraryExW.Call(uintptr(unsafe.Pointer(namep)), 0, flags)
	if h == 0 {
		errno, _ := callErr.(syscall.Errno)
		if errno == 0 {
			errno = syscall.EINVAL
		}
		// The error syscall.LoadDLL gives: the name and the system's error.
		return nil, &syscall.DLLError{Err: errno, ObjName: name,
			Msg: "Failed to load " + name + ": " + errno.Error()}
	}
	dll := &syscall.DLL{Name: name, Handle: syscall.Handle(h)}
	return &library{dll: dll, procs: make(map[string]*syscall.Proc)}, nil
}

// export finds the export name in the library in use, loading the library
// by its name alone when none is.
func export(name string) (*syscall.Proc, error) {
	mu.Lock()
	defer mu.Unlock()
	if current == nil {
		lib, err := load(dllName, searchByName)
		if err != nil {
			return nil, err
		}
		current = lib
	}
	if p := current.procs[name]; p != nil {
		return p, nil
	}
	p, err := current.dll.FindProc(name)
	if err != nil {
		return nil, err
	}
	current.procs[name] = p
	return p, nil
}
