#pragma once

#include <string>

// The ciphers and digests of the PDF standard security handler, in portable code. Keys, data and
// results are byte strings.

std::string Md5(const std::string& strData);
std::string Sha256(const std::string& strData);
std::string Sha384(const std::string& strData);
std::string Sha512(const std::string& strData);
std::string Rc4(const std::string& strKey, const std::string& strData);
// AES with a 16 or 32 byte key in CBC mode, without padding: strData is a whole number of blocks.
std::string AesEncryptCbc(const std::string& strKey, const std::string& strIv, const std::string& strData);
std::string AesDecryptCbc(const std::string& strKey, const std::string& strIv, const std::string& strData);
