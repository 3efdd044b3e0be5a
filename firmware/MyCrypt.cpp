#include "firmware/MyCrypt.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace
{

constexpr std::size_t AesBlock = 16;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const EVP_CIPHER* CipherFor(uint8_t CipherKind)
{
    switch (CipherKind) {
    case 1:
        return EVP_aes_192_cbc();
    case 2:
        return EVP_aes_256_cbc();
    default:
        return EVP_aes_128_cbc();
    }
}

bool Digest(const EVP_MD* Md, const unsigned char* Data, std::size_t Size, std::string& Out)
{
    unsigned char Buf[EVP_MAX_MD_SIZE];
    unsigned int Len = 0;
    if (EVP_Digest(Data, Size, Buf, &Len, Md, nullptr) != 1)
        return false;
    Out.assign(reinterpret_cast<const char*>(Buf), Len);
    return true;
}

const EVP_MD* HashFor(uint8_t HashKind, bool& Sha2)
{
    Sha2 = true;
    switch (HashKind % 128) {
    case 2:
        Sha2 = false;
        return EVP_sha1();
    case 3:
        return EVP_sha256();
    case 4:
        return EVP_sha384();
    case 5:
        return EVP_sha512();
    default:
        Sha2 = false;
        return EVP_md5();
    }
}

bool Decipher(const EVP_CIPHER* Cipher, const std::string& Key, const std::string& IV,
              const std::string& Data, std::string& Out)
{
    if (Data.size() % AesBlock != 0)
        return false;
    unsigned char Iv[AesBlock] = {};
    if (!IV.empty()) {
        if (IV.size() < AesBlock)
            return false;
        std::copy_n(IV.data(), AesBlock, reinterpret_cast<char*>(Iv));
    }
    CipherCtx Ctx(EVP_CIPHER_CTX_new());
    if (!Ctx)
        return false;
    if (EVP_DecryptInit_ex(Ctx.get(), Cipher, nullptr, reinterpret_cast<const unsigned char*>(Key.data()),
                           Iv) != 1)
        return false;
    // The caller removes padding its own way.
    if (EVP_CIPHER_CTX_set_padding(Ctx.get(), 0) != 1)
        return false;
    Out.assign(Data.size() + AesBlock, '\0');
    auto* Dst = reinterpret_cast<unsigned char*>(Out.data());
    const auto* Src = reinterpret_cast<const unsigned char*>(Data.data());
    std::size_t Done = 0;
    std::size_t Written = 0;
    // EVP lengths are int: feed large inputs in slices.
    constexpr std::size_t Slice = std::size_t{1} << 24;
    while (Done < Data.size()) {
        const std::size_t n = std::min(Slice, Data.size() - Done);
        int Len = 0;
        if (EVP_DecryptUpdate(Ctx.get(), Dst + Written, &Len, Src + Done, static_cast<int>(n)) != 1)
            return false;
        Done += n;
        Written += static_cast<std::size_t>(Len);
    }
    int Len = 0;
    if (EVP_DecryptFinal_ex(Ctx.get(), Dst + Written, &Len) != 1)
        return false;
    Written += static_cast<std::size_t>(Len);
    Out.resize(Written);
    return true;
}

} // namespace

bool DeriveKey(const std::string& Text, uint8_t HashKind, std::size_t KeyLen, std::string& Key)
{
    Key.clear();
    bool Sha2 = true;
    const EVP_MD* Md = HashFor(HashKind, Sha2);
    std::string Hash;
    if (Md == nullptr || !Digest(Md, reinterpret_cast<const unsigned char*>(Text.data()), Text.size(), Hash))
        return false;
    std::string Material;
    if (Sha2) {
        Material = Hash;
    } else {
        // CryptoAPI stretches MD5 and SHA-1 digests for AES keys even when they are long enough.
        unsigned char Inner[64];
        unsigned char Outer[64];
        std::fill(std::begin(Inner), std::end(Inner), 0x36);
        std::fill(std::begin(Outer), std::end(Outer), 0x5C);
        for (std::size_t i = 0; i < Hash.size(); ++i) {
            Inner[i] ^= static_cast<unsigned char>(Hash[i]);
            Outer[i] ^= static_cast<unsigned char>(Hash[i]);
        }
        std::string A, B;
        if (!Digest(Md, Inner, sizeof Inner, A) || !Digest(Md, Outer, sizeof Outer, B))
            return false;
        Material = A + B;
    }
    if (KeyLen > Material.size())
        return false;
    Key = Material.substr(0, KeyLen);
    return true;
}

std::string Unpad(const std::string& Text, uint8_t Mode, std::size_t BlockLen)
{
    const std::size_t N = Text.size();
    switch (Mode) {
    case 1: {
        if (N < BlockLen)
            return {};
        std::size_t End = N;
        while (End > N - BlockLen && Text[End - 1] == '\0')
            --End;
        return Text.substr(0, End);
    }
    case 2: {
        if (N < 2)
            return {};
        const std::size_t n = static_cast<uint8_t>(Text[N - 1]);
        if (n > BlockLen || n > N)
            return {};
        return Text.substr(0, N - n);
    }
    default:
        return Text;
    }
}

bool AesDecrypt(const std::string& Key, uint8_t HashKind, const std::string& Data, uint8_t CipherKind,
                const std::string& IV, uint8_t Padding, std::string& Plain) noexcept
{
    Plain.clear();
    try {
        const EVP_CIPHER* Cipher = CipherFor(CipherKind);
        const auto KeyLen = static_cast<std::size_t>(EVP_CIPHER_get_key_length(Cipher));
        std::string RawKey;
        if (HashKind == 0) {
            // A raw key must have the cipher's exact length, as a key blob import demands.
            if (Key.size() != KeyLen)
                return false;
            RawKey = Key;
        } else {
            // The key is asked for with the hash's length; only an AES variant of exactly that
            // length accepts it.
            bool Sha2 = true;
            const EVP_MD* Md = HashFor(HashKind, Sha2);
            if (Md == nullptr || static_cast<std::size_t>(EVP_MD_get_size(Md)) != KeyLen)
                return false;
            if (!DeriveKey(Key, HashKind, KeyLen, RawKey))
                return false;
        }
        std::string Deciphered;
        if (!Decipher(Cipher, RawKey, IV, Data, Deciphered))
            return false;
        Plain = Unpad(Deciphered, Padding, static_cast<std::size_t>(EVP_CIPHER_get_block_size(Cipher)));
    } catch (...) {
        // Only allocation can throw here; report it as a failure like every other.
        Plain.clear();
    }
    return !Plain.empty();
}

std::string AesDecrypt(const std::string& Key, uint8_t HashKind, const std::string& Data, uint8_t CipherKind,
                       const std::string& IV, uint8_t Padding)
{
    std::string Plain;
    AesDecrypt(Key, HashKind, Data, CipherKind, IV, Padding, Plain);
    return Plain;
}

TFirmwareImage SplitFirmwareImage(const std::string& Image, const std::string& Key)
{
    const std::string IV = Image.substr(0, std::min<std::size_t>(AesBlock, Image.size()));
    const std::string Cipher = Image.size() > AesBlock ? Image.substr(AesBlock) : std::string();
    const std::string Plain = AesDecrypt(Key, 0, Cipher, 0, IV, 2);
    TFirmwareImage Result;
    const std::size_t Bar = Plain.find('|');
    if (Bar == std::string::npos) {
        Result.Archive = Plain;
    } else {
        Result.Label = Plain.substr(0, Bar);
        Result.Archive = Plain.substr(Bar + 1);
    }
    return Result;
}

std::string Sha256Hex(const std::string& Bytes)
{
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    if (EVP_Digest(Bytes.data(), Bytes.size(), Digest, &Length, EVP_sha256(), nullptr) != 1)
        return {};
    static const char Digits[] = "0123456789abcdef";
    std::string Out;
    for (unsigned int I = 0; I < Length; ++I) {
        Out += Digits[Digest[I] >> 4];
        Out += Digits[Digest[I] & 15];
    }
    return Out;
}
