// A host drive device driven by the driver stand-in's own request logic
// (testing/standin/core), so that a host test meets the same driver behaviour as the
// Wine tests do: state, sizes, handshake, DeviceDetails.
#pragma once

#include <hostwin32/testing.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "tolvarvx_core.h"

class StandInDevice {
public:
    explicit StandInDevice(uint32_t index) : device_(std::make_unique<tolvarvx_device>()) {
        tolvarvx_device_init(device_.get(), index, &kPlatform);
        hostwin32::DeviceOptions options;
        tolvarvx_device* device = device_.get();
        options.control = [device](const hostwin32::DeviceRequest& request) {
            std::vector<uint8_t> buffer(request.input);
            buffer.resize(std::max<size_t>(request.input.size(), request.outputSize));
            uint32_t information = 0;
            tolvarvx_status status =
                tolvarvx_dispatch(device, request.code, buffer.data(),
                                  static_cast<uint32_t>(request.input.size()), buffer.data(),
                                  request.outputSize, &information);
            if (status != TOLVARVX_STATUS_SUCCESS)
                return hostwin32::DeviceReply::Failure(Win32Error(status));
            buffer.resize(information);
            return hostwin32::DeviceReply::Success(buffer);
        };
        options.flush = [device](const std::string&) -> DWORD {
            tolvarvx_status status = tolvarvx_flush(device);
            return status == TOLVARVX_STATUS_SUCCESS ? 0 : Win32Error(status);
        };
        hostwin32::AddDriveDevice(index, options);
    }

    tolvarvx_device& Core() { return *device_; }

    // The system's mapping of the statuses the stand-in completes with.
    static DWORD Win32Error(tolvarvx_status status) {
        switch (status) {
        case TOLVARVX_STATUS_DEVICE_BUSY: return ERROR_BUSY;
        case TOLVARVX_STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
        case TOLVARVX_STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
        case TOLVARVX_STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
        case TOLVARVX_STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
        case TOLVARVX_STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
        case TOLVARVX_STATUS_INSUFFICIENT_RESOURCES: return 1450;
        case TOLVARVX_STATUS_DEVICE_NOT_READY: return ERROR_NOT_READY;
        case TOLVARVX_STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
        default: return status;  // customer statuses pass through unchanged
        }
    }

private:
    // Not a secure source: host tests need only distinct challenges.
    static int RandomBytes(void*, uint8_t* out, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(std::rand());
        return 0;
    }
    static void NoLock(void*) {}
    static constexpr tolvarvx_platform kPlatform{&RandomBytes, &NoLock, &NoLock, nullptr};

    std::unique_ptr<tolvarvx_device> device_;
};
