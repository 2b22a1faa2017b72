#pragma once

#include "printparser/PdfDocument.h"

#include <string>

// The standard security handler opened with the empty user password: revisions 2 to 4 (RC4 of
// 40 to 128 bits, AES-128) and 5 and 6 (AES-256). Only stream data is decrypted: numbers and names,
// all that the page tree needs, are never encrypted.
class CPdfSecurity {
  public:
    // Throws CPdfNeedsPassword when the handler is another or the empty password does not open
    // the file.
    CPdfSecurity(const CPdfObject& encrypt, const std::string& strFirstId);

    // The data of the stream of object nObject, generation nGeneration, decrypted.
    std::string DecryptStream(const std::string& strData, int nObject, int nGeneration) const;

  private:
    enum class ECipher { None, Rc4, Aes };

    void OpenRevision2To4(const CPdfObject& encrypt, const std::string& strFirstId);
    void OpenRevision5Or6(const CPdfObject& encrypt);

    int m_nVersion = 0;
    int m_nRevision = 0;
    ECipher m_eCipher = ECipher::None;
    std::string m_strKey;
};
