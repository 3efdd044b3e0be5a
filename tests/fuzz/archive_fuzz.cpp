// 7z archives of firmware packages, read through the real 7-Zip library that
// the harness carries as the tool does. Damaged archives, bombs, nested
// archives and odd item names must load nothing wrong and never crash.
//
// Every loader call takes its own copy of the library, which costs more than
// the parsing; so each input is first read with one long-lived reader, and
// only inputs it opens as archives also go through the collection's loader.
#include "FuzzSupport.h"
#include "firmware/ArchiveReader.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static std::unique_ptr<IArchiveReader> Reader = NewArchiveReader();
    std::string Archive(reinterpret_cast<const char*>(Data), Size);
    bool Opened = false;
    {
        std::string Buffer = Archive;
        TArchiveStream Stream(Buffer);
        try {
            Reader->OpenArchiveStream(Stream);
            Opened = true;
            const uint32_t Count = Reader->ItemCount();
            for (uint32_t I = 0; I <= Count; ++I) {
                const std::string Path = Reader->ItemPathOf(I);
                const uint64_t ItemSize = Reader->ItemSizeOf(I);
                if (I == Count) {
                    // One past the end: nothing, and extracting it fails.
                    FUZZ_CHECK(Path.empty() && ItemSize == 0 && !Reader->ItemIsDirectory(I));
                    std::string Out = "kept";
                    try {
                        Reader->ExtractItemToStream(I, Out, false);
                        FUZZ_CHECK(false);
                    } catch (const EArchiveError&) {
                        FUZZ_CHECK(Out == "kept");
                    }
                    break;
                }
                if (Reader->ItemIsDirectory(I) || ItemSize > (1u << 20))
                    continue;
                std::string Out = "x";
                try {
                    Reader->ExtractItemToStream(I, Out, false);
                    FUZZ_CHECK(Out.size() == ItemSize + 1);
                } catch (const EArchiveError&) {
                    // Damaged item: the stream is left as it was.
                    FUZZ_CHECK(Out == "x");
                }
            }
        } catch (const EArchiveError&) {
        }
        Reader->CloseArchive();
    }
    if (!Opened)
        return 0;
    TSoftwareVersionCollection C;
    C.OnProgress = [](TSoftwareVersionCollection*, int32_t Position, int32_t Count) {
        FUZZ_CHECK(Position >= 1 && Position <= Count);
    };
    FuzzCheckCollection(C, C.LoadFromArchive(Archive));
    return 0;
}
