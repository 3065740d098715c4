//go:build windows

package tolvarsdk

import (
	"fmt"
	"path/filepath"
	"sync"
	"syscall"
)

const dllName = "tolvarsdk.dll"

// library is a loaded tolvarsdk.dll and the exports found in it so far.
type library struct {
	dll   *syscall.DLL
	procs map[string]*syscall.Proc
}

var (
	mu      sync.Mutex
	current *library // nil until LoadFrom or the first operation loads it
)

// LoadFrom makes the package use the tolvarsdk.dll in dir. Call it before
// the first operation. Without it, the first operation loads tolvarsdk.dll
// the way Windows loads a DLL named without a folder: from the program's
// own folder first, then the system folders, the current folder and PATH.
// It fails, and nothing changes, when the DLL in dir cannot be loaded or
// when another tolvarsdk.dll is in use already.
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
	lib, err := load(path)
	if err != nil {
		return err
	}
	current = lib
	return nil
}

func load(path string) (*library, error) {
	dll, err := syscall.LoadDLL(path)
	if err != nil {
		return nil, err // *syscall.DLLError: the path and the system's error
	}
	return &library{dll: dll, procs: make(map[string]*syscall.Proc)}, nil
}

// export finds the export name in the library in use, loading the library
// by its name alone when none is.
func export(name string) (*syscall.Proc, error) {
	mu.Lock()
	defer mu.Unlock()
	if current == nil {
		lib, err := load(dllName)
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
