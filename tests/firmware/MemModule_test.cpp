#include "firmware/MemModule.h"
#include "firmware/Resources.h"

#include <cstdint>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace
{

const std::string& LibraryImage()
{
    static const std::string Image(FindResource("7z_dll").value_or(""));
    return Image;
}

int OpenDescriptors()
{
    int Count = 0;
    for ([[maybe_unused]] auto& Entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++Count;
    return Count;
}

int MemoryFileMappings()
{
    std::ifstream Maps("/proc/self/maps");
    int Count = 0;
    for (std::string Line; std::getline(Maps, Line);)
        if (Line.find("/memfd:MemModule") != std::string::npos)
            ++Count;
    return Count;
}

std::string Patched(size_t Offset, const void* Bytes, size_t Size)
{
    std::string Image = LibraryImage();
    std::memcpy(Image.data() + Offset, Bytes, Size);
    return Image;
}

} // namespace

TEST(MemModule, LibraryImageIsPresent)
{
    ASSERT_GT(LibraryImage().size(), 1000000u);
}

TEST(MemModule, RefusesImagesThatAreNoSharedObjectForThisMachine)
{
    const uint8_t Class32 = ELFCLASS32;
    const uint16_t OtherMachine = EM_AARCH64 == EM_X86_64 ? EM_RISCV : EM_AARCH64;
    const uint16_t Executable = ET_EXEC;
    std::string PeHeader(64, '\0');
    PeHeader[0] = 'M';
    PeHeader[1] = 'Z';
    struct {
        const char* What;
        std::string Image;
        const char* Error;
    } Cases[] = {
        {"empty", "", "MemLoadLibrary: elf header is not valid"},
        {"PE image", PeHeader, "MemLoadLibrary: elf header is not valid"},
        {"magic only",
         "\x7f"
         "ELF",
         "MemLoadLibrary: elf header is not valid"},
        {"32-bit class", Patched(EI_CLASS, &Class32, 1), "MemLoadLibrary: elf class is not valid"},
        {"other machine", Patched(offsetof(Elf64_Ehdr, e_machine), &OtherMachine, 2),
         "MemLoadLibrary: elf machine is not valid"},
        {"executable", Patched(offsetof(Elf64_Ehdr, e_type), &Executable, 2),
         "MemLoadLibrary: elf image is not a shared object"},
        {"header only", LibraryImage().substr(0, sizeof(Elf64_Ehdr)),
         "MemLoadLibrary: elf program headers are not valid"},
        {"first half", LibraryImage().substr(0, LibraryImage().size() / 2),
         "MemLoadLibrary: elf image is truncated"},
    };
    const int Descriptors = OpenDescriptors();
    for (auto& Case : Cases) {
        SCOPED_TRACE(Case.What);
        EXPECT_EQ(MemLoadLibrary(Case.Image), nullptr);
        EXPECT_EQ(LastLoaderError(), Case.Error);
    }
    EXPECT_EQ(OpenDescriptors(), Descriptors);
    EXPECT_EQ(MemoryFileMappings(), 0);
}

TEST(MemModule, LooksUpOnlyTheLibrarysOwnExportsByExactName)
{
    PMemoryModule Module = MemLoadLibrary(LibraryImage());
    ASSERT_NE(Module, nullptr) << LastLoaderError();
    // The code runs from the memory file, not from the installed library.
    EXPECT_GT(MemoryFileMappings(), 0);

    EXPECT_NE(MemGetProcAddress(Module, "CreateObject"), nullptr);
    EXPECT_NE(MemGetProcAddress(Module, "GetHandlerProperty"), nullptr);

    // Found in libc, a dependency of the library, but not an export of it.
    for (const char* Name : {"createobject", "CREATEOBJECT", "CreateObjectX", "", "malloc"}) {
        SCOPED_TRACE(Name);
        EXPECT_EQ(MemGetProcAddress(Module, Name), nullptr);
        EXPECT_EQ(LastLoaderError(), "MemGetProcAddress: exported symbol not found");
    }
    EXPECT_EQ(MemGetProcAddress(nullptr, "CreateObject"), nullptr);
    ReleaseMemoryLibrary(Module);
}

TEST(MemModule, EveryLoadIsAnIndependentCopyThatOutlivesTheImage)
{
    using TSetCaseSensitive = int32_t (*)(int32_t);
    const int Descriptors = OpenDescriptors();
    PMemoryModule First, Second;
    {
        std::string Image = LibraryImage();
        First = MemLoadLibrary(Image);
        Second = MemLoadLibrary(Image);
        Image.assign(Image.size(), '\0');
    }
    ASSERT_NE(First, nullptr) << LastLoaderError();
    ASSERT_NE(Second, nullptr) << LastLoaderError();
    EXPECT_NE(First, Second);
    EXPECT_NE(MemGetProcAddress(First, "CreateObject"), MemGetProcAddress(Second, "CreateObject"));

    auto* FirstFlag = static_cast<bool*>(MemGetProcAddress(First, "g_CaseSensitive"));
    auto* SecondFlag = static_cast<bool*>(MemGetProcAddress(Second, "g_CaseSensitive"));
    auto SetFirst = reinterpret_cast<TSetCaseSensitive>(MemGetProcAddress(First, "SetCaseSensitive"));
    auto SetSecond = reinterpret_cast<TSetCaseSensitive>(MemGetProcAddress(Second, "SetCaseSensitive"));
    ASSERT_TRUE(FirstFlag && SecondFlag && SetFirst && SetSecond);
    ASSERT_NE(FirstFlag, SecondFlag);
    SetFirst(1);
    SetSecond(0);
    EXPECT_TRUE(*FirstFlag);
    EXPECT_FALSE(*SecondFlag);
    SetSecond(1);
    SetFirst(0);
    EXPECT_FALSE(*FirstFlag);
    EXPECT_TRUE(*SecondFlag);

    // One memory file per live module, each closed by its release.
    EXPECT_EQ(OpenDescriptors(), Descriptors + 2);
    ReleaseMemoryLibrary(First);
    EXPECT_EQ(OpenDescriptors(), Descriptors + 1);
    EXPECT_GT(MemoryFileMappings(), 0);
    EXPECT_TRUE(*SecondFlag);
    ReleaseMemoryLibrary(Second);
    EXPECT_EQ(MemoryFileMappings(), 0);
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

TEST(MemModule, ReleasingNoneDoesNothing)
{
    EXPECT_EQ(MemLoadLibrary("garbage"), nullptr);
    const int Descriptors = OpenDescriptors();
    ReleaseMemoryLibrary(nullptr);
    EXPECT_EQ(LastLoaderError(), "MemLoadLibrary: elf header is not valid");
    EXPECT_EQ(OpenDescriptors(), Descriptors);
}

namespace
{

Elf64_Phdr ProgramHeader(const std::string& Image, unsigned Index)
{
    Elf64_Ehdr Header;
    std::memcpy(&Header, Image.data(), sizeof Header);
    Elf64_Phdr Segment;
    std::memcpy(&Segment, Image.data() + Header.e_phoff + Index * sizeof Segment, sizeof Segment);
    return Segment;
}

size_t ProgramHeaderOffset(const std::string& Image, unsigned Index)
{
    Elf64_Ehdr Header;
    std::memcpy(&Header, Image.data(), sizeof Header);
    return Header.e_phoff + Index * sizeof(Elf64_Phdr);
}

int FindSegment(const std::string& Image, uint32_t Type)
{
    Elf64_Ehdr Header;
    std::memcpy(&Header, Image.data(), sizeof Header);
    for (unsigned I = 0; I < Header.e_phnum; ++I)
        if (ProgramHeader(Image, I).p_type == Type)
            return static_cast<int>(I);
    return -1;
}

// Image offset of the dynamic entry with Tag (the dynamic segment lies where
// its file offset says; the library is laid out so).
size_t DynamicEntryOffset(const std::string& Image, int64_t Tag)
{
    const Elf64_Phdr Dynamic = ProgramHeader(Image, static_cast<unsigned>(FindSegment(Image, PT_DYNAMIC)));
    for (size_t At = Dynamic.p_offset; At + sizeof(Elf64_Dyn) <= Dynamic.p_offset + Dynamic.p_filesz;
         At += sizeof(Elf64_Dyn)) {
        Elf64_Dyn Entry;
        std::memcpy(&Entry, Image.data() + At, sizeof Entry);
        if (Entry.d_tag == Tag)
            return At;
    }
    return 0;
}

} // namespace

// Images whose file is whole but whose headers send the platform loader to
// memory no segment maps: it would crash reading the dynamic section or the
// tables it names instead of failing.
TEST(MemModule, RefusesImagesWhoseTablesLieOutsideEverySegment)
{
    const std::string& Image = LibraryImage();
    const int FirstLoad = FindSegment(Image, PT_LOAD);
    const int Dynamic = FindSegment(Image, PT_DYNAMIC);
    ASSERT_GE(FirstLoad, 0);
    ASSERT_GE(Dynamic, 0);
    const size_t GnuHash = DynamicEntryOffset(Image, DT_GNU_HASH);
    const size_t Needed = DynamicEntryOffset(Image, DT_NEEDED);
    ASSERT_NE(GnuHash, 0u);
    ASSERT_NE(Needed, 0u);

    const uint32_t NotLoaded = 0x10;
    const uint64_t Far = 0x7000000000ull;
    const uint64_t FileSizeAboveMemory = ProgramHeader(Image, static_cast<unsigned>(FirstLoad)).p_memsz + 1;
    // The section is padded with several end entries: all of them become filler.
    std::string Unterminated = Image;
    const Elf64_Phdr DynamicSegment = ProgramHeader(Image, static_cast<unsigned>(Dynamic));
    for (size_t At = DynamicSegment.p_offset;
         At + sizeof(Elf64_Dyn) <= DynamicSegment.p_offset + DynamicSegment.p_filesz;
         At += sizeof(Elf64_Dyn)) {
        Elf64_Dyn Entry;
        std::memcpy(&Entry, Unterminated.data() + At, sizeof Entry);
        if (Entry.d_tag == DT_NULL) {
            Entry.d_tag = DT_DEBUG;
            std::memcpy(Unterminated.data() + At, &Entry, sizeof Entry);
        }
    }
    const uint64_t FarString = 0x7FFFFFFF;
    struct {
        const char* What;
        std::string Image;
        const char* Error;
    } Cases[] = {
        // Found by fuzzing: the segment holding the hash tables no longer loads.
        {"first load segment retyped",
         Patched(ProgramHeaderOffset(Image, static_cast<unsigned>(FirstLoad)), &NotLoaded, sizeof NotLoaded),
         "MemLoadLibrary: elf program headers are not valid"},
        {"dynamic section moved away",
         Patched(ProgramHeaderOffset(Image, static_cast<unsigned>(Dynamic)) + offsetof(Elf64_Phdr, p_vaddr),
                 &Far, sizeof Far),
         "MemLoadLibrary: elf program headers are not valid"},
        {"load segment larger in the file than in memory",
         Patched(ProgramHeaderOffset(Image, static_cast<unsigned>(FirstLoad)) +
                     offsetof(Elf64_Phdr, p_filesz),
                 &FileSizeAboveMemory, sizeof FileSizeAboveMemory),
         "MemLoadLibrary: elf program headers are not valid"},
        {"hash table outside every segment", Patched(GnuHash + offsetof(Elf64_Dyn, d_un), &Far, sizeof Far),
         "MemLoadLibrary: elf dynamic section is not valid"},
        {"dynamic section without its end", Unterminated, "MemLoadLibrary: elf dynamic section is not valid"},
        {"dependency name outside the string table",
         Patched(Needed + offsetof(Elf64_Dyn, d_un), &FarString, sizeof FarString),
         "MemLoadLibrary: elf dynamic section is not valid"},
    };
    const int Descriptors = OpenDescriptors();
    for (auto& Case : Cases) {
        SCOPED_TRACE(Case.What);
        EXPECT_EQ(MemLoadLibrary(Case.Image), nullptr);
        EXPECT_EQ(LastLoaderError(), Case.Error);
    }
    EXPECT_EQ(OpenDescriptors(), Descriptors);
    EXPECT_EQ(MemoryFileMappings(), 0);

    // The library as it is still loads.
    PMemoryModule Module = MemLoadLibrary(Image);
    ASSERT_NE(Module, nullptr) << LastLoaderError();
    ReleaseMemoryLibrary(Module);
}
