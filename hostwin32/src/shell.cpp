// Shell folders: SHCreateDirectoryExA over an in-memory set of folders.
//
// The shell first creates the folder as the file system would (where '/'
// and '\' both separate), and only when its parent is missing walks the
// path, creating each prefix that ends before a '\'. A '/' is not a point
// of that walk: measured under Wine, C:/a/b/ with C:\a missing makes
// nothing and returns ERROR_PATH_NOT_FOUND.
#include <hostwin32/shell.h>

#include "state.h"

#include <cstring>
#include <set>

using namespace hostwin32;

namespace {

// The folders in the order they were made, and their names in upper case
// for the case-insensitive lookups a deep path makes at every level.
std::vector<std::string>& TheFolders() {
    static std::vector<std::string> folders;
    return folders;
}

std::set<std::string>& TheFolderIndex() {
    static std::set<std::string> index;
    return index;
}

void ClearFolders() {
    TheFolders().clear();
    TheFolderIndex().clear();
}
ResetHook resetFolders(&ClearFolders);

// How the file system names a folder: '/' read as '\', no trailing separator.
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
    return IsDriveRoot(normalised) || TheFolderIndex().count(Upper(normalised)) != 0;
}

// CreateDirectoryA's outcome for one folder.
DWORD CreateOne(const std::string& path) {
    std::string folder = Normalise(path);
    if (Exists(folder)) return ERROR_ALREADY_EXISTS;
    size_t separator = folder.rfind('\\');
    if (separator == std::string::npos || !Exists(folder.substr(0, separator < 3 ? 3 : separator)))
        return ERROR_PATH_NOT_FOUND;
    TheFolders().push_back(folder);
    TheFolderIndex().insert(Upper(folder));
    return ERROR_SUCCESS;
}

// The shell's walk: each prefix that ends before a '\', the last result kept.
DWORD CreateEachLevel(const std::string& path) {
    std::string text = path;
    if (text.back() != '\\') text += '\\';
    DWORD result = ERROR_PATH_NOT_FOUND;
    for (size_t at = 3; at < text.size(); ++at)
        if (text[at] == '\\') result = CreateOne(text.substr(0, at));
    return result;
}

// Shell's PathIsRelative: absolute paths start with '\' or a drive and colon.
bool IsRelative(const char* path) {
    return path[0] == '\0' || !(path[0] == '\\' || path[1] == ':');
}

}  // namespace

namespace hostwin32 {

std::vector<std::string> Folders() { return TheFolders(); }

bool FolderExists(const std::string& path) { return Exists(Normalise(path)); }

void AddFolder(const std::string& path) { CreateEachLevel(Normalise(path)); }

}  // namespace hostwin32

extern "C" int WINAPI SHCreateDirectoryExA(HWND window, LPCSTR path,
                                           const SECURITY_ATTRIBUTES* security) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    DWORD result = ERROR_SUCCESS;
    if (TakeFault("SHCreateDirectoryExA")) {
        result = GetLastError();
    } else if (path == nullptr || IsRelative(path)) {
        result = ERROR_BAD_PATHNAME;
    } else if (std::strlen(path) >= MAX_PATH) {
        result = ERROR_FILENAME_EXCED_RANGE;
    } else if (path[0] == '\\' || (path[2] != '\\' && path[2] != '/')) {
        result = ERROR_PATH_NOT_FOUND;  // the stand-in's disk has full drive paths only
    } else {
        result = CreateOne(path);
        if (result == ERROR_PATH_NOT_FOUND) result = CreateEachLevel(path);
    }
    SetLastError(result);
    Record("SHCreateDirectoryExA", {Pointer(window), Quote(path), Pointer(security)},
           Dec(result));
    return static_cast<int>(result);
}
