#pragma once

#include <windows.h>

#include <string>

namespace Win32 {

// The file the parent sent along the line a child works on (CParentInput), known by the path it
// was handed on under. A stream opened on that path reads that very file through its handle, never
// what the name names by then: the parent's hold lets others rename the file away and put another
// in its place.
void SetReceivedFile(const std::string& strPath, HANDLE hFile);
void ForgetReceivedFile();

// True when strPath is the received file's path, with hFile a new handle on that open file, or
// INVALID_HANDLE_VALUE with the error set when none could be had; false for any other path.
bool ReopenReceivedFile(const std::string& strPath, HANDLE& hFile);

} // namespace Win32
