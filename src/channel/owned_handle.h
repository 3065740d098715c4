// Ownership of a handle for the length of one call: whatever path leaves
// the scope closes it. Callers read GetLastError before the owner goes out
// of scope, so the close never overwrites the error they return.
#pragma once

#include "platform.h"

namespace tolvar {

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~OwnedHandle() { Close(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    // For an out-parameter that fills the handle in.
    HANDLE* Receive() {
        Close();
        return &handle_;
    }
    void Close() {
        if (IsValid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

}  // namespace tolvar
