// "QVD_CFW_v01" containers: an enciphered 7z archive of packages. The first
// input byte chooses the form: the raw bytes as a container, or the rest taken
// as the deciphered archive and enciphered here with the build's container
// key (count-byte padding), so that the archive reader behind the decryption
// gets structured input.
#include "FuzzSupport.h"
#include "firmware/Keys.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    std::string In(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    std::string Container;
    if (Data[0] & 1) {
        Container = In;
    } else {
        const std::string IV(16, static_cast<char>(Data[0]));
        const size_t Pad = 16 - In.size() % 16;
        In.append(Pad, static_cast<char>(Pad));
        Container = "QVD_CFW_v01" + IV + FuzzAesEncrypt(CfwKey(), IV, In);
    }
    TSoftwareVersionCollection C;
    FuzzCheckCollection(C, C.LoadFromCfw(Container));
    return 0;
}
