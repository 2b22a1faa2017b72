#include "printparser/PdfCrypto.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

uint32_t RotateLeft(uint32_t n, int nBits) {
    return (n << nBits) | (n >> (32 - nBits));
}
uint32_t RotateRight(uint32_t n, int nBits) {
    return (n >> nBits) | (n << (32 - nBits));
}
uint64_t RotateRight64(uint64_t n, int nBits) {
    return (n >> nBits) | (n << (64 - nBits));
}

// The message padded to whole blocks of nBlock bytes, its bit length in the last nLengthBytes.
std::string PadMessage(const std::string& strData, size_t nBlock, size_t nLengthBytes, bool bBigEndian) {
    std::string strPadded = strData + '\x80';
    while (strPadded.size() % nBlock != nBlock - nLengthBytes)
        strPadded += '\0';
    uint64_t nBits = static_cast<uint64_t>(strData.size()) * 8;
    std::string strLength(nLengthBytes, '\0');
    for (size_t i = 0; i < 8; ++i) {
        char c = static_cast<char>(nBits >> (8 * i));
        if (bBigEndian)
            strLength[nLengthBytes - 1 - i] = c;
        else
            strLength[i] = c;
    }
    return strPadded + strLength;
}

uint32_t BigEndian32(const std::string& s, size_t n) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[n])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[n + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[n + 2])) << 8) | static_cast<uint8_t>(s[n + 3]);
}

uint64_t BigEndian64(const std::string& s, size_t n) {
    return (static_cast<uint64_t>(BigEndian32(s, n)) << 32) | BigEndian32(s, n + 4);
}

template <typename T> std::string ToBigEndian(const T* pWords, size_t nWords) {
    std::string strOut;
    for (size_t i = 0; i < nWords; ++i) {
        for (int nShift = static_cast<int>(sizeof(T) * 8) - 8; nShift >= 0; nShift -= 8)
            strOut += static_cast<char>(pWords[i] >> nShift);
    }
    return strOut;
}

const uint32_t kSha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint64_t kSha512Rounds[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

std::string Sha512Family(const std::string& strData, const uint64_t (&start)[8], size_t nOutWords) {
    uint64_t h[8];
    std::memcpy(h, start, sizeof(h));
    std::string strPadded = PadMessage(strData, 128, 16, true);
    for (size_t nBlock = 0; nBlock < strPadded.size(); nBlock += 128) {
        uint64_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = BigEndian64(strPadded, nBlock + 8 * i);
        for (int i = 16; i < 80; ++i) {
            uint64_t s0 = RotateRight64(w[i - 15], 1) ^ RotateRight64(w[i - 15], 8) ^ (w[i - 15] >> 7);
            uint64_t s1 = RotateRight64(w[i - 2], 19) ^ RotateRight64(w[i - 2], 61) ^ (w[i - 2] >> 6);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint64_t v[8];
        std::memcpy(v, h, sizeof(v));
        for (int i = 0; i < 80; ++i) {
            uint64_t s1 = RotateRight64(v[4], 14) ^ RotateRight64(v[4], 18) ^ RotateRight64(v[4], 41);
            uint64_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            uint64_t t1 = v[7] + s1 + ch + kSha512Rounds[i] + w[i];
            uint64_t s0 = RotateRight64(v[0], 28) ^ RotateRight64(v[0], 34) ^ RotateRight64(v[0], 39);
            uint64_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            std::memmove(v + 1, v, 7 * sizeof(uint64_t));
            v[4] += t1;
            v[0] = t1 + s0 + maj;
        }
        for (int i = 0; i < 8; ++i)
            h[i] += v[i];
    }
    return ToBigEndian(h, nOutWords);
}

uint8_t Times(uint8_t a, uint8_t b) {
    uint8_t nResult = 0;
    while (b != 0) {
        if (b & 1)
            nResult ^= a;
        a = static_cast<uint8_t>((a << 1) ^ (a & 0x80 ? 0x1b : 0));
        b >>= 1;
    }
    return nResult;
}

// The factors of the column mixing and of its inverse.
const uint8_t kFactors[6] = {2, 3, 9, 11, 13, 14};

// AES tables, computed once: the S-box, its inverse, and products with the mixing factors.
struct SAesTables {
    uint8_t sbox[256];
    uint8_t inverse[256];
    uint8_t times[15][256];
    SAesTables() {
        for (uint8_t nFactor : kFactors) {
            for (int i = 0; i < 256; ++i)
                times[nFactor][i] = Times(static_cast<uint8_t>(i), nFactor);
        }
        for (int i = 0; i < 256; ++i)
            times[1][i] = static_cast<uint8_t>(i);
        uint8_t p = 1;
        uint8_t q = 1;
        do {
            p = static_cast<uint8_t>(p ^ (p << 1) ^ (p & 0x80 ? 0x1b : 0));
            q = static_cast<uint8_t>(q ^ (q << 1));
            q = static_cast<uint8_t>(q ^ (q << 2));
            q = static_cast<uint8_t>(q ^ (q << 4));
            if (q & 0x80)
                q ^= 0x09;
            uint8_t x = static_cast<uint8_t>(q ^ RotateByte(q, 1) ^ RotateByte(q, 2) ^ RotateByte(q, 3) ^
                                             RotateByte(q, 4));
            sbox[p] = static_cast<uint8_t>(x ^ 0x63);
        } while (p != 1);
        sbox[0] = 0x63;
        for (int i = 0; i < 256; ++i)
            inverse[sbox[i]] = static_cast<uint8_t>(i);
    }
    static uint8_t RotateByte(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }
};

const SAesTables& AesTables() {
    static const SAesTables tables;
    return tables;
}

class CAes {
  public:
    explicit CAes(const std::string& strKey) {
        const SAesTables& t = AesTables();
        size_t nKeyWords = strKey.size() / 4;
        m_nRounds = static_cast<int>(nKeyWords) + 6;
        m_roundKeys.assign(strKey.begin(), strKey.end());
        uint8_t nRcon = 1;
        for (size_t i = nKeyWords; i < 4 * (static_cast<size_t>(m_nRounds) + 1); ++i) {
            uint8_t w[4];
            std::memcpy(w, &m_roundKeys[4 * (i - 1)], 4);
            if (i % nKeyWords == 0) {
                uint8_t nFirst = w[0];
                w[0] = static_cast<uint8_t>(t.sbox[w[1]] ^ nRcon);
                w[1] = t.sbox[w[2]];
                w[2] = t.sbox[w[3]];
                w[3] = t.sbox[nFirst];
                nRcon = Times(nRcon, 2);
            } else if (nKeyWords > 6 && i % nKeyWords == 4) {
                for (uint8_t& b : w)
                    b = t.sbox[b];
            }
            for (int j = 0; j < 4; ++j)
                m_roundKeys.push_back(static_cast<uint8_t>(m_roundKeys[4 * (i - nKeyWords) + j] ^ w[j]));
        }
    }

    // The inner rounds do substitution, row shift and column mixing in one pass of table lookups:
    // the hash of revision 6 encrypts a few hundred kilobytes for every file it opens.
    void Encrypt(uint8_t* s) const {
        const SAesTables& t = AesTables();
        const uint8_t* pTwice = t.times[2];
        const uint8_t* pThrice = t.times[3];
        AddRoundKey(s, 0);
        for (int nRound = 1; nRound < m_nRounds; ++nRound) {
            uint8_t out[16];
            for (int c = 0; c < 4; ++c) {
                uint8_t a0 = t.sbox[s[4 * c]];
                uint8_t a1 = t.sbox[s[4 * ((c + 1) & 3) + 1]];
                uint8_t a2 = t.sbox[s[4 * ((c + 2) & 3) + 2]];
                uint8_t a3 = t.sbox[s[4 * ((c + 3) & 3) + 3]];
                out[4 * c] = static_cast<uint8_t>(pTwice[a0] ^ pThrice[a1] ^ a2 ^ a3);
                out[4 * c + 1] = static_cast<uint8_t>(a0 ^ pTwice[a1] ^ pThrice[a2] ^ a3);
                out[4 * c + 2] = static_cast<uint8_t>(a0 ^ a1 ^ pTwice[a2] ^ pThrice[a3]);
                out[4 * c + 3] = static_cast<uint8_t>(pThrice[a0] ^ a1 ^ a2 ^ pTwice[a3]);
            }
            std::memcpy(s, out, 16);
            AddRoundKey(s, nRound);
        }
        for (int i = 0; i < 16; ++i)
            s[i] = t.sbox[s[i]];
        ShiftRows(s, 1);
        AddRoundKey(s, m_nRounds);
    }

    void Decrypt(uint8_t* s) const {
        const SAesTables& t = AesTables();
        AddRoundKey(s, m_nRounds);
        for (int nRound = m_nRounds - 1; nRound >= 0; --nRound) {
            ShiftRows(s, 3);
            for (int i = 0; i < 16; ++i)
                s[i] = t.inverse[s[i]];
            AddRoundKey(s, nRound);
            if (nRound != 0)
                MixColumns(s, 14, 11, 13, 9);
        }
    }

  private:
    void AddRoundKey(uint8_t* s, int nRound) const {
        for (int i = 0; i < 16; ++i)
            s[i] ^= m_roundKeys[16 * nRound + i];
    }
    // Row r moves nDirection * r places left (1 to encrypt, 3 to undo).
    static void ShiftRows(uint8_t* s, int nDirection) {
        uint8_t copy[16];
        std::memcpy(copy, s, 16);
        for (int c = 0; c < 4; ++c) {
            for (int r = 0; r < 4; ++r)
                s[4 * c + r] = copy[4 * ((c + nDirection * r) % 4) + r];
        }
    }
    static void MixColumns(uint8_t* s, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        const SAesTables& t = AesTables();
        for (int nColumn = 0; nColumn < 4; ++nColumn) {
            uint8_t* x = s + 4 * nColumn;
            uint8_t y[4];
            for (int r = 0; r < 4; ++r)
                y[r] = static_cast<uint8_t>(t.times[a][x[r]] ^ t.times[b][x[(r + 1) % 4]] ^
                                            t.times[c][x[(r + 2) % 4]] ^ t.times[d][x[(r + 3) % 4]]);
            std::memcpy(x, y, 4);
        }
    }

    int m_nRounds = 0;
    std::vector<uint8_t> m_roundKeys;
};

// The integer parts of |sin(i + 1)| * 2^32.
struct SMd5Constants {
    uint32_t n[64];
    SMd5Constants() {
        for (int i = 0; i < 64; ++i)
            n[i] = static_cast<uint32_t>(std::fabs(std::sin(i + 1.0)) * 4294967296.0);
    }
};

} // namespace

std::string Md5(const std::string& strData) {
    static const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    static const SMd5Constants constants;
    const uint32_t* sines = constants.n;
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::string strPadded = PadMessage(strData, 64, 8, false);
    for (size_t nBlock = 0; nBlock < strPadded.size(); nBlock += 64) {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(strPadded.data()) + nBlock + 4 * i;
            m[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t nNext = d;
            d = c;
            c = b;
            b = b + RotateLeft(a + f + sines[i] + m[g], kShift[i]);
            a = nNext;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    std::string strOut;
    for (uint32_t nWord : h) {
        for (int i = 0; i < 4; ++i)
            strOut += static_cast<char>(nWord >> (8 * i));
    }
    return strOut;
}

std::string Sha256(const std::string& strData) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string strPadded = PadMessage(strData, 64, 8, true);
    for (size_t nBlock = 0; nBlock < strPadded.size(); nBlock += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = BigEndian32(strPadded, nBlock + 4 * i);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t v[8];
        std::memcpy(v, h, sizeof(v));
        for (int i = 0; i < 64; ++i) {
            uint32_t s1 = RotateRight(v[4], 6) ^ RotateRight(v[4], 11) ^ RotateRight(v[4], 25);
            uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            uint32_t t1 = v[7] + s1 + ch + kSha256Rounds[i] + w[i];
            uint32_t s0 = RotateRight(v[0], 2) ^ RotateRight(v[0], 13) ^ RotateRight(v[0], 22);
            uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            std::memmove(v + 1, v, 7 * sizeof(uint32_t));
            v[4] += t1;
            v[0] = t1 + s0 + maj;
        }
        for (int i = 0; i < 8; ++i)
            h[i] += v[i];
    }
    return ToBigEndian(h, 8);
}

std::string Sha384(const std::string& strData) {
    static const uint64_t kStart[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                       0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                       0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
    return Sha512Family(strData, kStart, 6);
}

std::string Sha512(const std::string& strData) {
    static const uint64_t kStart[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                       0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                       0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
    return Sha512Family(strData, kStart, 8);
}

std::string Rc4(const std::string& strKey, const std::string& strData) {
    uint8_t s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<uint8_t>(i);
    if (!strKey.empty()) {
        for (int i = 0, j = 0; i < 256; ++i) {
            j = (j + s[i] + static_cast<uint8_t>(strKey[i % strKey.size()])) & 0xff;
            std::swap(s[i], s[j]);
        }
    }
    std::string strOut(strData.size(), '\0');
    for (size_t n = 0, i = 0, j = 0; n < strData.size(); ++n) {
        i = (i + 1) & 0xff;
        j = (j + s[i]) & 0xff;
        std::swap(s[i], s[j]);
        strOut[n] = static_cast<char>(strData[n] ^ s[(s[i] + s[j]) & 0xff]);
    }
    return strOut;
}

std::string AesEncryptCbc(const std::string& strKey, const std::string& strIv, const std::string& strData) {
    CAes aes(strKey);
    std::string strOut = strData;
    std::string strChain = strIv;
    for (size_t n = 0; n + 16 <= strOut.size(); n += 16) {
        uint8_t* pBlock = reinterpret_cast<uint8_t*>(&strOut[n]);
        for (int i = 0; i < 16; ++i)
            pBlock[i] ^= static_cast<uint8_t>(strChain[i]);
        aes.Encrypt(pBlock);
        strChain.assign(reinterpret_cast<char*>(pBlock), 16);
    }
    return strOut;
}

std::string AesDecryptCbc(const std::string& strKey, const std::string& strIv, const std::string& strData) {
    CAes aes(strKey);
    std::string strOut = strData;
    std::string strChain = strIv;
    for (size_t n = 0; n + 16 <= strOut.size(); n += 16) {
        std::string strCipher = strOut.substr(n, 16);
        uint8_t* pBlock = reinterpret_cast<uint8_t*>(&strOut[n]);
        aes.Decrypt(pBlock);
        for (int i = 0; i < 16; ++i)
            pBlock[i] ^= static_cast<uint8_t>(strChain[i]);
        strChain = strCipher;
    }
    return strOut;
}
