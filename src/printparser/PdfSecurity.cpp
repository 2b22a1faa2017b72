#include "printparser/PdfSecurity.h"

#include "printparser/PdfCrypto.h"

#include <algorithm>

namespace {

const std::string kPasswordPadding("\x28\xbf\x4e\x5e\x4e\x75\x8a\x41\x64\x00\x4e\x56\xff\xfa\x01\x08"
                                   "\x2e\x2e\x00\xb6\xd0\x68\x3e\x80\x2f\x0c\xa9\xfe\x64\x53\x69\x7a",
                                   32);

std::string LittleEndian(uint32_t nValue, size_t nBytes) {
    std::string strOut;
    for (size_t i = 0; i < nBytes; ++i)
        strOut += static_cast<char>(nValue >> (8 * i));
    return strOut;
}

// The hash of revision 6 for the empty password: rounds of AES-128 and SHA-2 of varying width.
std::string Revision6Hash(const std::string& strSalt) {
    std::string strHash = Sha256(strSalt);
    std::string strCipher;
    for (int nRound = 0; nRound < 64 || static_cast<uint8_t>(strCipher.back()) > nRound - 32; ++nRound) {
        std::string strBlock;
        for (int i = 0; i < 64; ++i)
            strBlock += strHash;
        strCipher = AesEncryptCbc(strHash.substr(0, 16), strHash.substr(16, 16), strBlock);
        int nSum = 0;
        for (int i = 0; i < 16; ++i)
            nSum += static_cast<uint8_t>(strCipher[i]);
        strHash = nSum % 3 == 0 ? Sha256(strCipher) : (nSum % 3 == 1 ? Sha384(strCipher) : Sha512(strCipher));
    }
    return strHash.substr(0, 32);
}

// Short strings are completed with zero bytes, as libqpdf does; longer ones are left as they are.
std::string PaddedTo(const std::string& strValue, size_t nSize) {
    return strValue.size() < nSize ? strValue + std::string(nSize - strValue.size(), '\0') : strValue;
}

const CPdfObject& CryptFilter(const CPdfObject& encrypt) {
    return encrypt.Get("/CF").Get(encrypt.Get("/StmF").Text());
}

} // namespace

CPdfSecurity::CPdfSecurity(const CPdfObject& encrypt, const std::string& strFirstId) {
    const CPdfObject& version = encrypt.Get("/V");
    const CPdfObject& revision = encrypt.Get("/R");
    // What libqpdf asks of every encryption dictionary before it looks further.
    if (!version.IsInteger() || !revision.IsInteger() || encrypt.Get("/O").Type() != EPdfType::String ||
        encrypt.Get("/U").Type() != EPdfType::String || !encrypt.Get("/P").IsInteger())
        throw CPdfError("damaged encryption dictionary");
    bool bOlder = version.Value() >= 1 && version.Value() <= 4 && version.Value() != 3 &&
                  revision.Value() >= 2 && revision.Value() <= 4;
    bool bNewer = version.Value() == 5 && (revision.Value() == 5 || revision.Value() == 6);
    if (!encrypt.Get("/Filter").IsName("/Standard") || !(bOlder || bNewer))
        throw CPdfNeedsPassword("not a security handler we have");
    m_nVersion = static_cast<int>(version.Value());
    m_nRevision = static_cast<int>(revision.Value());
    if (bOlder)
        OpenRevision2To4(encrypt, strFirstId);
    else
        OpenRevision5Or6(encrypt);
}

void CPdfSecurity::OpenRevision2To4(const CPdfObject& encrypt, const std::string& strFirstId) {
    std::string strOwner = PaddedTo(encrypt.Get("/O").Text(), 32);
    std::string strUser = PaddedTo(encrypt.Get("/U").Text(), 32);
    if (strOwner.size() != 32 || strUser.size() != 32)
        throw CPdfError("damaged encryption dictionary");
    // Key lengths that are not whole bytes from 40 to 128 bits are taken for 128.
    size_t nKeyBytes = 16;
    const CPdfObject& length = encrypt.Get("/Length");
    if (m_nVersion == 1)
        nKeyBytes = 5;
    else if (m_nVersion == 2 && length.IsInteger() && length.Value() >= 40 && length.Value() <= 128 &&
             static_cast<int>(length.Value()) % 8 == 0)
        nKeyBytes = static_cast<size_t>(length.Value()) / 8;
    m_eCipher = ECipher::Rc4;
    if (m_nVersion == 4) {
        const CPdfObject& filter = CryptFilter(encrypt);
        if (encrypt.Get("/StmF").IsNull() || encrypt.Get("/StmF").IsName("/Identity"))
            m_eCipher = ECipher::None;
        else if (filter.Get("/CFM").IsName("/AESV2"))
            m_eCipher = ECipher::Aes;
        else if (!filter.Get("/CFM").IsName("/V2"))
            throw CPdfNeedsPassword("unknown crypt filter");
    }
    const CPdfObject& permissions = encrypt.Get("/P");
    uint32_t nPermissions = static_cast<uint32_t>(static_cast<int64_t>(permissions.Value()));
    std::string strSeed =
        kPasswordPadding + strOwner.substr(0, 32) + LittleEndian(nPermissions, 4) + strFirstId;
    const CPdfObject& metadata = encrypt.Get("/EncryptMetadata");
    if (m_nVersion >= 4 && m_nRevision >= 4 && metadata.Type() == EPdfType::Boolean &&
        metadata.Value() == 0.0)
        strSeed += std::string(4, '\xff');
    std::string strKey = Md5(strSeed).substr(0, nKeyBytes);
    if (m_nRevision >= 3) {
        for (int i = 0; i < 50; ++i)
            strKey = Md5(strKey).substr(0, nKeyBytes);
    }
    bool bOpens;
    if (m_nRevision == 2) {
        bOpens = Rc4(strKey, kPasswordPadding) == strUser;
    } else {
        std::string strCheck = Rc4(strKey, Md5(kPasswordPadding + strFirstId));
        for (int i = 1; i <= 19; ++i) {
            std::string strRoundKey = strKey;
            for (char& c : strRoundKey)
                c = static_cast<char>(c ^ i);
            strCheck = Rc4(strRoundKey, strCheck);
        }
        bOpens = strCheck == strUser.substr(0, 16);
    }
    if (!bOpens)
        throw CPdfNeedsPassword("user password");
    m_strKey = strKey;
}

void CPdfSecurity::OpenRevision5Or6(const CPdfObject& encrypt) {
    for (const char* szKey : {"/OE", "/UE", "/Perms"}) {
        if (encrypt.Get(szKey).Type() != EPdfType::String)
            throw CPdfError("damaged encryption dictionary");
    }
    std::string strUser = PaddedTo(encrypt.Get("/U").Text(), 48);
    std::string strUserKey = PaddedTo(encrypt.Get("/UE").Text(), 32);
    std::string strValidationSalt = strUser.substr(32, 8);
    std::string strKeySalt = strUser.substr(40, 8);
    bool bOpens = m_nRevision == 5 ? Sha256(strValidationSalt) == strUser.substr(0, 32)
                                   : Revision6Hash(strValidationSalt) == strUser.substr(0, 32);
    if (!bOpens)
        throw CPdfNeedsPassword("user password");
    std::string strIntermediate = m_nRevision == 5 ? Sha256(strKeySalt) : Revision6Hash(strKeySalt);
    m_strKey = AesDecryptCbc(strIntermediate, std::string(16, '\0'), strUserKey.substr(0, 32));
    const CPdfObject& filter = CryptFilter(encrypt);
    if (encrypt.Get("/StmF").IsNull() || encrypt.Get("/StmF").IsName("/Identity"))
        m_eCipher = ECipher::None;
    else if (filter.Get("/CFM").IsName("/AESV3"))
        m_eCipher = ECipher::Aes;
    else
        throw CPdfNeedsPassword("unknown crypt filter");
}

std::string CPdfSecurity::DecryptStream(const std::string& strData, int nObject, int nGeneration) const {
    if (m_eCipher == ECipher::None)
        return strData;
    std::string strKey = m_strKey;
    if (m_nRevision <= 4) {
        std::string strSeed = m_strKey + LittleEndian(static_cast<uint32_t>(nObject), 3) +
                              LittleEndian(static_cast<uint32_t>(nGeneration), 2) +
                              (m_eCipher == ECipher::Aes ? "sAlT" : "");
        strKey = Md5(strSeed).substr(0, std::min<size_t>(m_strKey.size() + 5, 16));
    }
    if (m_eCipher == ECipher::Rc4)
        return Rc4(strKey, strData);
    // AES: the first block is the initial vector, and the last block's padding is dropped.
    if (strData.size() < 16 || strData.size() % 16 != 0)
        throw CPdfError("damaged AES data");
    if (strData.size() == 16)
        return std::string();
    std::string strPlain = AesDecryptCbc(strKey, strData.substr(0, 16), strData.substr(16));
    size_t nPadding = static_cast<uint8_t>(strPlain.back());
    if (nPadding >= 1 && nPadding <= 16)
        strPlain.resize(strPlain.size() - nPadding);
    return strPlain;
}
