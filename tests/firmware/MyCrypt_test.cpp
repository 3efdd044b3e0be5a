#include "firmware/MyCrypt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

namespace
{

const std::string Key128 = "0123456789ABCDEF";
const std::string Key192 = "0123456789ABCDEFGHIJKLMN";
const std::string Key256 = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
const std::string Iv = "fedcba9876543210";

std::string Bytes(std::initializer_list<int> List)
{
    std::string S;
    for (int b : List)
        S += static_cast<char>(b);
    return S;
}

// Enciphers Plain (a whole number of blocks) with OpenSSL, padding off.
std::string Encipher(const EVP_CIPHER* Cipher, const std::string& Key, const std::string& IV,
                     const std::string& Plain)
{
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> Ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    EXPECT_EQ(static_cast<std::size_t>(EVP_CIPHER_get_key_length(Cipher)), Key.size());
    EXPECT_EQ(Plain.size() % 16, 0u);
    const std::string ZeroIv(16, '\0');
    EXPECT_EQ(
        EVP_EncryptInit_ex(Ctx.get(), Cipher, nullptr, reinterpret_cast<const unsigned char*>(Key.data()),
                           reinterpret_cast<const unsigned char*>(IV.empty() ? ZeroIv.data() : IV.data())),
        1);
    EVP_CIPHER_CTX_set_padding(Ctx.get(), 0);
    std::string Out(Plain.size() + 16, '\0');
    int Len = 0, Fin = 0;
    EXPECT_EQ(EVP_EncryptUpdate(Ctx.get(), reinterpret_cast<unsigned char*>(Out.data()), &Len,
                                reinterpret_cast<const unsigned char*>(Plain.data()),
                                static_cast<int>(Plain.size())),
              1);
    EXPECT_EQ(EVP_EncryptFinal_ex(Ctx.get(), reinterpret_cast<unsigned char*>(Out.data()) + Len, &Fin), 1);
    Out.resize(static_cast<std::size_t>(Len + Fin));
    return Out;
}

std::string Enc128(const std::string& Plain, const std::string& IV = Iv)
{
    return Encipher(EVP_aes_128_cbc(), Key128, IV, Plain);
}

std::string Text(std::size_t n, char Seed = 'a')
{
    std::string S;
    for (std::size_t i = 0; i < n; ++i)
        S += static_cast<char>(Seed + static_cast<char>(i % 23));
    return S;
}

} // namespace

TEST(AesDecrypt, NoPaddingReturnsDecipheredBytes)
{
    std::string Plain = Text(48);
    Plain[20] = '\0';
    std::string Out;
    EXPECT_TRUE(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 0, Out));
    EXPECT_EQ(Out, Plain);
    // Modes other than 1 and 2 leave the text alone too.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 7), Plain);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 255), Plain);
}

TEST(AesDecrypt, CipherKinds)
{
    const std::string Plain = Text(64, 'A');
    EXPECT_EQ(AesDecrypt(Key192, 0, Encipher(EVP_aes_192_cbc(), Key192, Iv, Plain), 1, Iv, 0), Plain);
    EXPECT_EQ(AesDecrypt(Key256, 0, Encipher(EVP_aes_256_cbc(), Key256, Iv, Plain), 2, Iv, 0), Plain);
    // Any other kind is AES-128.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 3, Iv, 0), Plain);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 200, Iv, 0), Plain);
}

TEST(AesDecrypt, RawKeyMustMatchCipherLength)
{
    const std::string Data = Enc128(Text(32));
    std::string Out = "stale";
    EXPECT_FALSE(AesDecrypt(Key128.substr(0, 15), 0, Data, 0, Iv, 0, Out));
    EXPECT_EQ(Out, "");
    EXPECT_EQ(AesDecrypt(Key128 + "X", 0, Data, 0, Iv, 0), "");
    EXPECT_EQ(AesDecrypt(Key128, 0, Data, 1, Iv, 0), "");
    EXPECT_EQ(AesDecrypt(Key128, 0, Data, 2, Iv, 0), "");
    EXPECT_EQ(AesDecrypt(Key256, 0, Data, 0, Iv, 0), "");
    EXPECT_EQ(AesDecrypt("", 0, Data, 0, Iv, 0), "");
}

TEST(AesDecrypt, DataMustBeWholeBlocks)
{
    const std::string Data = Enc128(Text(48));
    std::string Out = "stale";
    for (std::size_t Cut : {1u, 15u, 17u, 47u}) {
        EXPECT_FALSE(AesDecrypt(Key128, 0, Data.substr(0, Cut), 0, Iv, 0, Out)) << Cut;
        EXPECT_EQ(Out, "") << Cut;
    }
    EXPECT_EQ(AesDecrypt(Key128, 0, Data + "x", 0, Iv, 2), "");
    EXPECT_FALSE(AesDecrypt(Key128, 0, "", 0, Iv, 0, Out));
    EXPECT_EQ(Out, "");
}

TEST(AesDecrypt, InitialisationVector)
{
    const std::string Plain = Text(48);
    // No IV: the default, all zero bytes.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain, ""), 0, "", 0), Plain);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain, std::string(16, '\0')), 0, "", 0), Plain);
    // A wrong IV spoils only the first block in CBC mode.
    const std::string Wrong = AesDecrypt(Key128, 0, Enc128(Plain), 0, std::string(16, 'x'), 0);
    ASSERT_EQ(Wrong.size(), Plain.size());
    EXPECT_NE(Wrong.substr(0, 16), Plain.substr(0, 16));
    EXPECT_EQ(Wrong.substr(16), Plain.substr(16));
    // Only one block of a longer IV counts; a shorter one cannot be used.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv + "trailing", 0), Plain);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv.substr(0, 15), 0), "");
}

TEST(AesDecrypt, CountBytePadding)
{
    // Last byte 5: five bytes go, whatever their values.
    const std::string Plain = Text(20) + Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE, 5});
    ASSERT_EQ(Plain.size(), 32u);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 2), Plain.substr(0, 27));
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Text(27) + Bytes({9, 9, 9, 9, 5})), 0, Iv, 2), Text(27));
    // 0x10 removes a whole block.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Text(32) + std::string(16, '\x10')), 0, Iv, 2), Text(32));
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(std::string(16, '\x10')), 0, Iv, 2), "");
    // Above the block length: nothing to read.
    std::string Out = "stale";
    EXPECT_FALSE(AesDecrypt(Key128, 0, Enc128(Text(31) + "\x11"), 0, Iv, 2, Out));
    EXPECT_EQ(Out, "");
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Text(31) + "\xFF"), 0, Iv, 2), "");
    // 0x00 removes nothing.
    const std::string Zero = Text(31) + std::string(1, '\0');
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Zero), 0, Iv, 2), Zero);
}

TEST(AesDecrypt, ZeroPadding)
{
    // 32 bytes ending in five zero bytes give 27.
    const std::string Plain = Text(27) + std::string(5, '\0');
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 1), Text(27));
    // Zero bytes in an earlier block stay, even when the last block is all zeros.
    const std::string FirstBlock = Text(3) + std::string(13, '\0');
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(FirstBlock + std::string(16, '\0')), 0, Iv, 1), FirstBlock);
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(std::string(16, '\0')), 0, Iv, 1), "");
    // Inner zeros of the last block stay.
    const std::string Inner = Text(16) + "ab" + std::string(3, '\0') + "cd" + std::string(9, '\0');
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Inner), 0, Iv, 1), Inner.substr(0, 23));
    // Nothing to remove.
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Text(32)), 0, Iv, 1), Text(32));
}

TEST(AesDecrypt, WrongKeyWithCountBytePaddingIsMostlyEmpty)
{
    const std::string Plain = Text(40) + std::string(8, '\x08');
    const std::string Data = Enc128(Plain);
    int Empty = 0;
    for (int i = 0; i < 64; ++i) {
        std::string Wrong = Key128;
        Wrong[static_cast<std::size_t>(i % 16)] =
            static_cast<char>(Wrong[static_cast<std::size_t>(i % 16)] ^ (1 + i));
        const std::string Out = AesDecrypt(Wrong, 0, Data, 0, Iv, 2);
        EXPECT_NE(Out, Plain.substr(0, 40));
        if (Out.empty())
            ++Empty;
    }
    // A random last byte is above 16 in 239 of 256 cases.
    EXPECT_GE(Empty, 48);
    EXPECT_EQ(AesDecrypt(Key128, 0, Data, 0, Iv, 2), Plain.substr(0, 40));
}

TEST(AesDecrypt, LargeDataInOnePass)
{
    std::string Plain(2 * 1024 * 1024 + 32, '\0');
    for (std::size_t i = 0; i < Plain.size(); ++i)
        Plain[i] = static_cast<char>((i * 131) >> 3);
    Plain.back() = '\x04';
    EXPECT_EQ(AesDecrypt(Key128, 0, Enc128(Plain), 0, Iv, 2), Plain.substr(0, Plain.size() - 4));
}

TEST(DeriveKey, MatchesCryptoApiKnownAnswers)
{
    std::string Key;
    // AES-128 key derived by CryptDeriveKey from the SHA-1 hash of "my_key": the 0x36/0x5C
    // expansion applies although a SHA-1 digest is long enough.
    ASSERT_TRUE(DeriveKey("my_key", 2, 16, Key));
    EXPECT_EQ(Key, Bytes({0x13, 0x60, 0x6b, 0x77, 0x2b, 0x52, 0xb5, 0xf8, 0x3b, 0xe4, 0xff, 0x04, 0x57, 0x2e,
                          0xb8, 0xac}));
    ASSERT_TRUE(DeriveKey("veltrac", 1, 16, Key));
    EXPECT_EQ(Key, Bytes({0x29, 0xec, 0x7f, 0xdf, 0x67, 0x04, 0xd2, 0x3c, 0x79, 0x31, 0xed, 0x23, 0xa0, 0x53,
                          0x2b, 0xcf}));
    // SHA-2: the digest itself.
    ASSERT_TRUE(DeriveKey("veltrac", 3, 32, Key));
    EXPECT_EQ(Key, Bytes({0x46, 0xdf, 0x63, 0x1b, 0xeb, 0xf1, 0x8d, 0x65, 0x85, 0xb1, 0x98,
                          0xf1, 0xea, 0xa8, 0x31, 0x47, 0x03, 0x61, 0x93, 0x34, 0x15, 0xb3,
                          0xe2, 0x64, 0xd0, 0x87, 0x0e, 0xdd, 0x48, 0x99, 0x7a, 0x38}));
    ASSERT_TRUE(DeriveKey("veltrac", 3, 16, Key));
    EXPECT_EQ(Key, Bytes({0x46, 0xdf, 0x63, 0x1b, 0xeb, 0xf1, 0x8d, 0x65, 0x85, 0xb1, 0x98, 0xf1, 0xea, 0xa8,
                          0x31, 0x47}));
}

TEST(DeriveKey, HashKindModulo128AndLimits)
{
    std::string A, B;
    ASSERT_TRUE(DeriveKey("veltrac", 3, 32, A));
    ASSERT_TRUE(DeriveKey("veltrac", 0x83, 32, B));
    EXPECT_EQ(A, B);
    // Unknown kinds are MD5.
    ASSERT_TRUE(DeriveKey("veltrac", 1, 16, A));
    for (uint8_t Kind : {6, 9, 127, 0x81}) {
        ASSERT_TRUE(DeriveKey("veltrac", Kind, 16, B));
        EXPECT_EQ(A, B) << int(Kind);
    }
    EXPECT_FALSE(DeriveKey("veltrac", 3, 33, A));
    EXPECT_EQ(A, "");
    EXPECT_TRUE(DeriveKey("veltrac", 1, 32, A));
    EXPECT_FALSE(DeriveKey("veltrac", 1, 33, A));
}

TEST(AesDecrypt, HashDerivedKeys)
{
    const std::string Plain = Text(47) + "\x01";
    std::string Md5Key, Sha256Key;
    ASSERT_TRUE(DeriveKey("pass phrase", 1, 16, Md5Key));
    ASSERT_TRUE(DeriveKey("pass phrase", 3, 32, Sha256Key));

    const std::string Md5Data = Encipher(EVP_aes_128_cbc(), Md5Key, Iv, Plain);
    EXPECT_EQ(AesDecrypt("pass phrase", 1, Md5Data, 0, Iv, 2), Plain.substr(0, 47));
    EXPECT_EQ(AesDecrypt("pass phrase", 0x80, Md5Data, 0, Iv, 2), Plain.substr(0, 47));
    const std::string ShaData = Encipher(EVP_aes_256_cbc(), Sha256Key, Iv, Plain);
    EXPECT_EQ(AesDecrypt("pass phrase", 3, ShaData, 2, Iv, 2), Plain.substr(0, 47));
    EXPECT_EQ(AesDecrypt("pass phrase", 0x83, ShaData, 2, Iv, 2), Plain.substr(0, 47));

    // The key length asked for is the hash length; a cipher of another length yields no key.
    EXPECT_EQ(AesDecrypt("pass phrase", 1, Md5Data, 2, Iv, 0), "");
    EXPECT_EQ(AesDecrypt("pass phrase", 1, Md5Data, 1, Iv, 0), "");
    EXPECT_EQ(AesDecrypt("pass phrase", 3, ShaData, 0, Iv, 0), "");
    for (uint8_t Kind : {2, 4, 5})
        for (uint8_t Cipher : {0, 1, 2})
            EXPECT_EQ(AesDecrypt("pass phrase", Kind, ShaData, Cipher, Iv, 0), "")
                << int(Kind) << int(Cipher);
}

TEST(Unpad, ShortTexts)
{
    EXPECT_EQ(Unpad("", 2, 16), "");
    EXPECT_EQ(Unpad("\x01", 2, 16), "");
    EXPECT_EQ(Unpad("ab\x02", 2, 16), "a");
    EXPECT_EQ(Unpad("a\x02", 2, 16), "");
    // A count beyond the text itself cannot be honoured.
    EXPECT_EQ(Unpad("ab\x05", 2, 16), "");
    EXPECT_EQ(Unpad(std::string(15, '\0'), 1, 16), "");
    EXPECT_EQ(Unpad("abc", 0, 16), "abc");
    EXPECT_EQ(Unpad("", 0, 16), "");
}

TEST(SplitFirmwareImage, LabelBeforeFirstBarArchiveAfter)
{
    const std::string Archive = std::string("7z\xBC\xAF\x27\x1C", 6) + "a|b" + std::string(3, '\0') + "|";
    std::string Plain = "GNSS pack 1.2|" + Archive;
    const std::size_t Pad = 16 - Plain.size() % 16;
    Plain += std::string(Pad, static_cast<char>(Pad));
    const std::string Image = Iv + Enc128(Plain);

    const TFirmwareImage Fw = SplitFirmwareImage(Image, Key128);
    EXPECT_EQ(Fw.Label, "GNSS pack 1.2");
    EXPECT_EQ(Fw.Archive, Archive);
}

TEST(SplitFirmwareImage, NoBarGivesEmptyLabel)
{
    const std::string Plain = Text(30) + std::string(2, '\x02');
    const TFirmwareImage Fw = SplitFirmwareImage(Iv + Enc128(Plain), Key128);
    EXPECT_EQ(Fw.Label, "");
    EXPECT_EQ(Fw.Archive, Text(30));
    const TFirmwareImage Bar = SplitFirmwareImage(Iv + Enc128("|" + Text(14) + "\x01"), Key128);
    EXPECT_EQ(Bar.Label, "");
    EXPECT_EQ(Bar.Archive, Text(14));
}

TEST(SplitFirmwareImage, DamagedImagesGiveNothing)
{
    const std::string Plain = "label|" + Text(25) + "\x01";
    const std::string Image = Iv + Enc128(Plain);
    for (const std::string& Bad :
         {std::string(), Image.substr(0, 10), Image.substr(0, 16), Image.substr(0, 40), Image + "x"}) {
        const TFirmwareImage Fw = SplitFirmwareImage(Bad, Key128);
        EXPECT_EQ(Fw.Label, "") << Bad.size();
        EXPECT_EQ(Fw.Archive, "") << Bad.size();
    }
    // Another key: whatever comes out is not the package.
    const TFirmwareImage Wrong = SplitFirmwareImage(Image, Key256.substr(16));
    EXPECT_NE(Wrong.Archive, Text(25));
    // The IV is part of the image: a changed IV spoils the label.
    std::string Tampered = Image;
    Tampered[0] = static_cast<char>(Tampered[0] ^ 0x01);
    const TFirmwareImage T = SplitFirmwareImage(Tampered, Key128);
    EXPECT_EQ(T.Label, "mabel");
    EXPECT_EQ(T.Archive, Text(25));
}

TEST(Sha256Hex, KnownDigests)
{
    // FIPS 180-2 examples.
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(std::string("\0\xff", 2)).size(), 64u);
}
