// Shell folders: SHCreateDirectoryExA and SHCreateDirectoryExW over an
// in-memory set of folders.
//
// As on Windows, both widths name the same folders: the A call's path is
// read in the ANSI code page, and every folder is kept by its UTF-16 name
// (written as UTF-8 here, where '\' is never part of another character).
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
bool IsRelative(const std::u16string& path) {
    return path.empty() || !(path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
}

// What both widths do with the path in UTF-16 (null: none given).
DWORD CreateFolders(const std::u16string* path) {
    if (path == nullptr || IsRelative(*path)) return ERROR_BAD_PATHNAME;
    if (path->size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if ((*path)[0] == '\\' || path->size() < 3 || ((*path)[2] != '\\' && (*path)[2] != '/'))
        return ERROR_PATH_NOT_FOUND;  // the stand-in's disk has full drive paths only
    const std::string folder = Utf8(*path);
    DWORD result = CreateOne(folder);
    if (result == ERROR_PATH_NOT_FOUND) result = CreateEachLevel(folder);
    return result;
}

// Both widths of SHCreateDirectoryEx, journaled under `function`.
int CreateDirectoryCall(const char* function, const std::u16string* path, std::string quotedPath,
                        HWND window, const SECURITY_ATTRIBUTES* security) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    DWORD result = TakeFault(function) ? GetLastError() : CreateFolders(path);
    SetLastError(result);
    Record(function, {Pointer(window), std::move(quotedPath), Pointer(security)}, Dec(result));
    return static_cast<int>(result);
}

}  // namespace

namespace hostwin32 {

std::vector<std::string> Folders() { return TheFolders(); }

bool FolderExists(const std::string& path) { return Exists(Normalise(path)); }

void AddFolder(const std::string& path) { CreateEachLevel(Normalise(path)); }

}  // namespace hostwin32

extern "C" int WINAPI SHCreateDirectoryExA(HWND window, LPCSTR path,
                                           const SECURITY_ATTRIBUTES* security) {
    const std::u16string wide = AnsiToWide(path ? path : "");
    return CreateDirectoryCall("SHCreateDirectoryExA", path ? &wide : nullptr, Quote(path), window,
                               security);
}

extern "C" int WINAPI SHCreateDirectoryExW(HWND window, LPCWSTR path,
                                           const SECURITY_ATTRIBUTES* security) {
    const std::u16string wide = WideFromPointer(path);
    return CreateDirectoryCall("SHCreateDirectoryExW", path ? &wide : nullptr, QuoteWide(path),
                               window, security);
}
