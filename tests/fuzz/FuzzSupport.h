#pragma once
// Helpers shared by the harnesses: enciphering (the tool itself only
// deciphers, so containers are made here from fuzz data) and the checks every
// loaded version must pass.
#include "firmware/SoftUpdate.h"

#include <openssl/evp.h>

#include <cstdio>
#include <set>
#include <string>

#define FUZZ_CHECK(Condition)                                                                                \
    do {                                                                                                     \
        if (!(Condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #Condition);               \
            __builtin_trap();                                                                                \
        }                                                                                                    \
    } while (0)

// AES-128-CBC without padding; Plain must be a whole number of blocks.
inline std::string FuzzAesEncrypt(const std::string& Key, const std::string& IV, const std::string& Plain)
{
    std::string Out(Plain.size() + 16, '\0');
    EVP_CIPHER_CTX* Ctx = EVP_CIPHER_CTX_new();
    int N = 0, M = 0;
    EVP_EncryptInit_ex(Ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(Key.data()),
                       reinterpret_cast<const unsigned char*>(IV.data()));
    EVP_CIPHER_CTX_set_padding(Ctx, 0);
    EVP_EncryptUpdate(Ctx, reinterpret_cast<unsigned char*>(Out.data()), &N,
                      reinterpret_cast<const unsigned char*>(Plain.data()), static_cast<int>(Plain.size()));
    EVP_EncryptFinal_ex(Ctx, reinterpret_cast<unsigned char*>(Out.data()) + N, &M);
    EVP_CIPHER_CTX_free(Ctx);
    Out.resize(static_cast<size_t>(N + M));
    return Out;
}

// What every loader promises about the versions it adds.
inline void FuzzCheckCollection(const TSoftwareVersionCollection& C, int32_t Added)
{
    FUZZ_CHECK(Added >= 0 && Added == C.Count());
    int32_t Seen = 0;
    for (const TSoftwareVersion* V = C.First(); V; V = V->Next, ++Seen) {
        FUZZ_CHECK(!V->Blocks.empty() && !V->BlockNumbers.empty());
        FUZZ_CHECK(V->BlockNumbers.size() == V->BlockData.size());
        std::set<std::string> Numbers(V->BlockNumbers.begin(), V->BlockNumbers.end());
        FUZZ_CHECK(Numbers.size() == V->BlockNumbers.size());
        for (const std::string& B : V->BlockData)
            FUZZ_CHECK(B.size() <= 256);
        FUZZ_CHECK(V->CRC == TSoftwareVersionCollection::CalcChecksum(*V));
        // A device fed this version gets what the collection holds.
        TSoftwareUpdate U;
        FUZZ_CHECK(U.SelectIndex(C, Seen));
        FUZZ_CHECK(U.Title == V->Info.Title && U.Wide == V->Wide);
    }
    FUZZ_CHECK(Seen == C.Count());
}
