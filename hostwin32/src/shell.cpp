// Shell folders: SHCreateDirectoryExA over an in-memory set of folders.
#include <hostwin32/shell.h>

#include "state.h"

#include <cstring>

using namespace hostwin32;

namespace {

std::vector<std::string>& TheFolders() {
    static std::vector<std::string> folders;
    return folders;
}

void ClearFolders() { TheFolders().clear(); }
ResetHook resetFolders(&ClearFolders);

// '/' and '\' both separate; a trailing separator names the same folder.
std::string Normalise(const std::string& path) {
    std::string text = path;
    for (char& c : text)
        if (c == '/') c = '\\';
    while (text.size() > 3 && text.back() == '\\') text.pop_back();
    return text;
}

bool IsDriveRoot(const std::string& normalised) {
    return normalised.size() == 3 && normalised[1] == ':' && normalised[2] == '\\';
}

bool Exists(const std::string& normalised) {
    if (IsDriveRoot(normalised)) return true;
    for (const std::string& folder : TheFolders())
        if (Upper(folder) == Upper(normalised)) return true;
    return false;
}

// Creates every missing folder of the path, outermost first.
void CreateAll(const std::string& normalised) {
    for (size_t at = 3; at <= normalised.size(); ++at) {
        if (at != normalised.size() && normalised[at] != '\\') continue;
        std::string prefix = normalised.substr(0, at);
        if (!Exists(prefix)) TheFolders().push_back(prefix);
    }
}

// Shell's PathIsRelative: absolute paths start with '\' or a drive and colon.
bool IsRelative(const char* path) {
    return path[0] == '\0' || !(path[0] == '\\' || path[1] == ':');
}

}  // namespace

namespace hostwin32 {

std::vector<std::string> Folders() { return TheFolders(); }

bool FolderExists(const std::string& path) { return Exists(Normalise(path)); }

void AddFolder(const std::string& path) { CreateAll(Normalise(path)); }

}  // namespace hostwin32

extern "C" int WINAPI SHCreateDirectoryExA(HWND window, LPCSTR path,
                                           const SECURITY_ATTRIBUTES* security) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    int result = ERROR_SUCCESS;
    if (TakeFault("SHCreateDirectoryExA")) {
        result = static_cast<int>(GetLastError());
    } else if (path == nullptr || IsRelative(path)) {
        result = ERROR_BAD_PATHNAME;
    } else if (std::strlen(path) >= MAX_PATH) {
        result = ERROR_FILENAME_EXCED_RANGE;
    } else if (path[0] == '\\') {
        result = ERROR_PATH_NOT_FOUND;  // the stand-in's disk has drive paths only
    } else if (Exists(Normalise(path))) {
        result = ERROR_ALREADY_EXISTS;
    } else {
        CreateAll(Normalise(path));
    }
    SetLastError(static_cast<DWORD>(result));
    Record("SHCreateDirectoryExA", {Pointer(window), Quote(path), Pointer(security)},
           Dec(static_cast<unsigned>(result)));
    return result;
}
