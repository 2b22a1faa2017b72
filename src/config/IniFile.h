#pragma once

#include <string>

// Reads one value of an INI file, opening and reading the file afresh for every call, with the
// rules of the Windows profile functions so that a settings file written for the Windows agent
// reads the same here: names compared without regard to case and trimmed, values trimmed and freed
// of one pair of surrounding quotes, ";" comments, the first section of a name and the first
// occurrence of a key in it, values cut at 1023 characters.
class CIniFile {
  public:
    explicit CIniFile(std::string strPath);
    virtual ~CIniFile();

    // A reader of a content already read (a job ticket read from the file held open), with the same
    // rules; it never opens a file.
    static CIniFile FromContent(std::string strContent);

    std::string GetString(const std::string& strSection, const std::string& strKey,
                          const std::string& strDefault) const;
    int GetInt(const std::string& strSection, const std::string& strKey, int nDefault) const;

    // The integer rule of GetPrivateProfileIntA: leading blanks, optional sign, decimal digits or
    // "0x" and hexadecimal digits, stopping at the first other character.
    static int ParseProfileInt(const std::string& strValue);

  private:
    // True and the value when the key is present in the section with a "=".
    bool FindValue(const std::string& strSection, const std::string& strKey, std::string& strValue) const;

    std::string m_strPath;
    bool m_bFromContent = false;
    std::string m_strContent;
};
