#pragma once

#include <functional>
#include <string>
#include <vector>

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

    // A section as the file holds it: its name and the names of the keys in it, in file order.
    struct SSection {
        std::string strName;
        std::vector<std::string> keys;
    };
    // Every section and key of the file, read with the rules above, so that a settings check sees
    // what the reader sees (a repeated section is listed again although the reader ignores it).
    // Lines before the first section are left out; the reader never looks at them.
    std::vector<SSection> ListSections() const;

    // The integer rule of GetPrivateProfileIntA: leading blanks, optional sign, decimal digits or
    // "0x" and hexadecimal digits, stopping at the first other character.
    static int ParseProfileInt(const std::string& strValue);
    // False when that rule wraps the number around (it does not fit 32 bits), so that the value read
    // is not the one written.
    static bool IsProfileIntExact(const std::string& strValue);
    // True when the file can be read as settings: a regular file, not too large.
    bool CanBeRead() const;

  private:
    // Calls onLine with every line that is neither blank nor a comment, trimmed, until it returns
    // false. False when the file cannot be opened.
    bool ForEachLine(const std::function<bool(const std::string&)>& onLine) const;
    // True and the value when the key is present in the section with a "=".
    bool FindValue(const std::string& strSection, const std::string& strKey, std::string& strValue) const;

    std::string m_strPath;
    bool m_bFromContent = false;
    std::string m_strContent;
};
