// MS-DOS device names: DefineDosDeviceA and QueryDosDeviceA over the
// table that CreateFileA resolves \\.\NAME through (State::dosNames, name
// -> targets, most recent last). As on Windows, a definition is pushed over
// an existing one and a removal without a target takes the most recent
// definition away, uncovering the one before it.
#include "state.h"

#include <cstring>

using namespace hostwin32;

namespace {

constexpr DWORD kKnownFlags = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                              DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM |
                              0x10u /* DDD_LUID_BROADCAST_DRIVE */;

// A target that is not raw is an MS-DOS path, which Windows stores as its
// NT form.
std::string StoredTarget(DWORD flags, const char* target) {
    return (flags & DDD_RAW_TARGET_PATH) ? std::string(target) : "\\??\\" + std::string(target);
}

// Removes the definition of `name` that the flags and target select;
// returns 0 or the Win32 error.
DWORD RemoveDefinition(const std::string& name, DWORD flags, const char* target) {
    State& state = TheState();
    auto found = state.dosNames.find(Upper(name));
    if (found == state.dosNames.end() || found->second.empty()) return ERROR_FILE_NOT_FOUND;
    std::vector<std::string>& targets = found->second;
    if (target == nullptr) {
        targets.pop_back();
    } else {
        // The most recent definition that equals the target or, without
        // DDD_EXACT_MATCH_ON_REMOVE, begins with it.
        std::string wanted = Upper(StoredTarget(flags, target));
        bool exact = (flags & DDD_EXACT_MATCH_ON_REMOVE) != 0;
        size_t i = targets.size();
        while (i > 0) {
            std::string candidate = Upper(targets[i - 1]);
            if (candidate == wanted || (!exact && candidate.rfind(wanted, 0) == 0)) break;
            --i;
        }
        if (i == 0) return ERROR_FILE_NOT_FOUND;
        targets.erase(targets.begin() + static_cast<long>(i - 1));
    }
    if (targets.empty()) state.dosNames.erase(found);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DefineDosDeviceA(DWORD flags, LPCSTR deviceName, LPCSTR targetPath) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    DWORD error = ERROR_SUCCESS;
    if (TakeFault("DefineDosDeviceA")) {
        error = GetLastError();
    } else if (deviceName == nullptr || deviceName[0] == '\0' || (flags & ~kKnownFlags) != 0) {
        error = ERROR_INVALID_PARAMETER;
    } else if (flags & DDD_REMOVE_DEFINITION) {
        error = RemoveDefinition(deviceName, flags, targetPath);
    } else if (targetPath == nullptr) {
        error = ERROR_INVALID_PARAMETER;  // only a removal may leave the target out
    } else {
        // Windows does not look at the target: a link may name anything.
        state.dosNames[Upper(deviceName)].push_back(StoredTarget(flags, targetPath));
    }
    if (error != ERROR_SUCCESS) SetLastError(error);
    Record("DefineDosDeviceA", {Hex(flags), Quote(deviceName), Quote(targetPath)},
           error == ERROR_SUCCESS ? "TRUE" : "FALSE");
    return error == ERROR_SUCCESS;
}

extern "C" DWORD WINAPI QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD max) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    // The answer is a list of strings, each terminated, with one more
    // terminator after the last: the definitions of a name, most recent
    // first, or without a name every name defined.
    std::string list;
    DWORD error = ERROR_SUCCESS;
    if (TakeFault("QueryDosDeviceA")) {
        error = GetLastError();
    } else if (deviceName == nullptr) {
        for (const auto& [name, targets] : state.dosNames) list += name + '\0';
    } else {
        auto found = state.dosNames.find(Upper(deviceName));
        if (found == state.dosNames.end() || found->second.empty()) {
            error = ERROR_FILE_NOT_FOUND;
        } else {
            for (auto target = found->second.rbegin(); target != found->second.rend(); ++target)
                list += *target + '\0';
        }
    }
    DWORD stored = 0;
    if (error == ERROR_SUCCESS) {
        list += '\0';
        if (targetPath == nullptr || list.size() > max) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            std::memcpy(targetPath, list.data(), list.size());
            stored = static_cast<DWORD>(list.size());
        }
    }
    if (error != ERROR_SUCCESS) SetLastError(error);
    Record("QueryDosDeviceA", {Quote(deviceName), Pointer(targetPath), Dec(max)}, Dec(stored));
    return stored;
}
