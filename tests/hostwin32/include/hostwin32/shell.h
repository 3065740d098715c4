// Test control of the stand-in's folders (SHCreateDirectoryExA and W).
// Folder names are UTF-8 here: what the A call names in the ANSI code page
// and the W call in UTF-16 is one folder.
#pragma once

#include <string>
#include <vector>

namespace hostwin32 {

// Folders that exist, without a trailing separator and with '/' written as
// '\', in the order they came to exist ("C:\Drives"). Drive roots always
// exist and are not listed.
std::vector<std::string> Folders();
bool FolderExists(const std::string& path);
// A folder (and its parents) that exists before the test's calls.
void AddFolder(const std::string& path);

}  // namespace hostwin32
