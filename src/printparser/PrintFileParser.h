#pragma once

#include "printparser/FileFormatInfo.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Reads the page count and the first page's paper size of a print file: PDF, PostScript, PCL 5,
// PCL XL (each possibly inside a PJL job) and XPS, told apart by content alone.
//
// Use: SetFilePath, optionally SetProgressCallback, then GetFileInfo once. One object per parse;
// it is used by one thread at a time. Hostile files cost bounded memory and time per byte, but a
// caller that must bound the total runs the parse in a child process with resource limits
// (kParserMemoryBytes, kParserCpuSecondsPerFile).
class CPrintFileParser {
  public:
    using ProgressCallback = std::function<void(const FILEFORMATINFO&)>;

    CPrintFileParser();
    virtual ~CPrintFileParser();
    CPrintFileParser(const CPrintFileParser&) = delete;
    CPrintFileParser& operator=(const CPrintFileParser&) = delete;

    // The full path of the file that GetFileInfo reads.
    void SetFilePath(const std::string& strPath) { m_strPath = strPath; }
    // Called on the parsing thread with the record each time a value changes (format found, size
    // found, page count grown), so that values found so far survive an abandoned parse.
    void SetProgressCallback(ProgressCallback onProgress) { m_onProgress = std::move(onProgress); }

    // Clears info and fills it from the file. 1 when the file could be read (an unknown format
    // leaves zeros and still gives 1), 0 when it could not be opened or the parse failed; info
    // then holds what was found before the failure. nFlags is accepted for callers that pass -1
    // and has no meaning yet. Never throws.
    int GetFileInfo(FILEFORMATINFO& info, int nFlags);

    // Releases the path and the callback; the object may be given a new path afterwards.
    void Cleanup();

  private:
    std::string m_strPath;
    ProgressCallback m_onProgress;
};

// The same parse over a buffer of nSize bytes (tests and fuzzing). Never throws.
int ParsePrintBuffer(const uint8_t* pData, size_t nSize, FILEFORMATINFO& info);
