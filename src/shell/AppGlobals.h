#pragma once
#include <string>

// Directory of the executable, ending with exactly one separator. Set by InitAppPath.
extern std::wstring AppPath;

void InitAppPath();

// The directory part of a module's full path, keeping the separator that ends it,
// so "C:\dir\a.exe" gives "C:\dir\" and "C:\a.exe" gives "C:\".
std::wstring DirectoryOfModule(const std::wstring& modulePath);
