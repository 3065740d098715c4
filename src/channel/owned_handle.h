// Ownership of a handle for the length of one call: whatever path leaves
// the scope closes it. Callers read GetLastError before the owner goes out
// of scope, so the close never overwrites the error they return.
#pragma once

#include "platform.h"

namespace tolvar {

// Kind says what the handle's type is, which value means none and what
// ends one: each kind of handle the library holds has its own closer
// (CloseHandle ends kernel handles only) and its own failure value.
template <typename Kind>
class Owned {
public:
    using Handle = typename Kind::Handle;

    explicit Owned(Handle handle = Kind::None()) : handle_(handle) {}
    ~Owned() { Close(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    bool IsValid() const { return handle_ != Kind::None(); }
    Handle Get() const { return handle_; }
    // For an out-parameter that fills the handle in.
    Handle* Receive() {
        Close();
        return &handle_;
    }
    void Close() {
        if (IsValid()) Kind::Close(handle_);
        handle_ = Kind::None();
    }

private:
    Handle handle_;
};

// A file, volume or device opened with CreateFile, which fails with
// INVALID_HANDLE_VALUE, not NULL.
struct FileHandle {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { CloseHandle(handle); }
};
using OwnedHandle = Owned<FileHandle>;

}  // namespace tolvar
