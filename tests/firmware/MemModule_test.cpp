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
