// "QVD_FW_v01" containers. The first input byte chooses the form: the raw
// bytes as a container, or the rest taken as the deciphered record stream,
// enciphered here with the build's container key, so that the record parser
// sees structured data rather than noise.
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
        // Map length byte (4 or 8 sixteen-byte units), title, IV, records.
        const char MapUnits = (Data[0] & 2) ? 8 : 4;
        const std::string IV(16, static_cast<char>(Data[0]));
        if (In.size() % 16)
            In.append(16 - In.size() % 16, '\0');
        Container = std::string("QVD_FW_v01") + MapUnits + '\0' + "fuzz" + '\0' + IV +
                    FuzzAesEncrypt(EfwKey(), IV, In);
    }
    TSoftwareVersionCollection C;
    const int32_t Added = C.LoadFromEfw(Container);
    FUZZ_CHECK(Added == 0 || Added == 1);
    FuzzCheckCollection(C, Added);
    if (Added == 1)
        FUZZ_CHECK(C.First()->Wide);
    return 0;
}
