#pragma once

#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class CTempFolder {
  public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_strPath; }
    // Path(), the path separator and strName.
    std::string operator/(const std::string& strName) const;

  private:
    std::string m_strPath;
};

// Test file helpers: the whole content of a file ("" when missing), and a file written whole.
std::string ReadWholeFile(const std::string& strPath);
void WriteWholeFile(const std::string& strPath, const std::string& strContent);

// strPath with every '/' as the separator of this system, for paths the agent writes itself.
std::string NativePath(std::string strPath);

// How often strWhat occurs in strText (overlaps counted).
size_t Occurrences(const std::string& strText, const std::string& strWhat);
