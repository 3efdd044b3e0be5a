#include "firmware/ArchiveReader.h"
#include "firmware/Resources.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>

namespace fs = std::filesystem;

namespace
{

const char* const kAxnName = "AXN_3.8_3333_15043022,3424,MC-GG,1.0.bin";
const char* const kEmojiName = "dir/emoji_\xF0\x9F\x98\x80_\xC3\xBC.txt"; // U+1F600 needs a surrogate pair

std::string ReadFile(const fs::path& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& Path, const std::string& Bytes)
{
    fs::create_directories(Path.parent_path());
    std::ofstream(Path, std::ios::binary) << Bytes;
}

void RunShell(const std::string& Command)
{
    if (std::system((Command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + Command);
}

std::string Noise(size_t Size, uint32_t Seed)
{
    std::string Bytes(Size, '\0');
    for (char& Byte : Bytes) {
        Seed ^= Seed << 13;
        Seed ^= Seed >> 17;
        Seed ^= Seed << 5;
        Byte = static_cast<char>(Seed);
    }
    return Bytes;
}

int OpenDescriptors()
{
    int Count = 0;
    for ([[maybe_unused]] auto& Entry : fs::directory_iterator("/proc/self/fd"))
        ++Count;
    return Count;
}

int MemoryFileMappings()
{
    std::ifstream Maps("/proc/self/maps");
    int Count = 0;
    for (std::string Line; std::getline(Maps, Line);)
        Count += Line.find("/memfd:MemModule") != std::string::npos;
    return Count;
}

// Path -> index of every item.
std::map<std::string, uint32_t> Listing(IArchiveReader& Reader)
{
    std::map<std::string, uint32_t> Items;
    for (uint32_t I = 0; I < Reader.ItemCount(); ++I)
        Items[Reader.ItemPathOf(I)] = I;
    return Items;
}

std::string ExtractByPath(IArchiveReader& Reader, const std::string& Path)
{
    std::string Bytes;
    Reader.ExtractItemToStream(Listing(Reader).at(Path), Bytes, false);
    return Bytes;
}

template <class F> std::string ErrorOf(F&& Call)
{
    try {
        Call();
    } catch (const EArchiveError& E) {
        return E.what();
    }
    return "no EArchiveError";
}

} // namespace

class ArchiveReaderTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        Dir = fs::temp_directory_path() / ("veltrac-archive-" + std::to_string(getpid()));
        fs::remove_all(Dir);
        const fs::path Src = Dir / "src";
        Files = {{"dir/empty.txt", ""},
                 {"dir/big.bin", Noise(1 << 20, 12345)},
                 {kEmojiName, "smile"},
                 {kAxnName, Noise(1500, 777)},
                 {"fw.bin.txt", "not an image\n"}};
        for (auto& [Path, Bytes] : Files)
            WriteFile(Src / Path, Bytes);
        fs::create_directories(Src / "dir/sub");
        const std::string In = "cd '" + Src.string() + "' && 7z a -bd -t7z ";
        RunShell(In + "-m0=BCJ -m1=LZMA2 ../main.7z dir '" + kAxnName + "' fw.bin.txt");
        RunShell(In + "../inner.7z fw.bin.txt");
        RunShell(In + "-pSecret -mhe=on ../headers-encrypted.7z fw.bin.txt");
        RunShell(In + "-pSecret ../data-encrypted.7z fw.bin.txt");
        Main = ReadFile(Dir / "main.7z");
    }

    static void TearDownTestSuite() { fs::remove_all(Dir); }

    static inline fs::path Dir;
    static inline std::map<std::string, std::string> Files;
    static inline std::string Main;
};

TEST_F(ArchiveReaderTest, ListsFilesAndFoldersWithPathsAndSizes)
{
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Main);
    Reader->OpenArchiveStream(Stream);
    std::set<std::tuple<std::string, bool, uint64_t>> Items;
    for (uint32_t I = 0; I < Reader->ItemCount(); ++I)
        Items.emplace(Reader->ItemPathOf(I), Reader->ItemIsDirectory(I), Reader->ItemSizeOf(I));
    std::set<std::tuple<std::string, bool, uint64_t>> Expected = {{"dir", true, 0}, {"dir/sub", true, 0}};
    for (auto& [Path, Bytes] : Files)
        Expected.emplace(Path, false, Bytes.size());
    EXPECT_EQ(Items, Expected);
    EXPECT_EQ(Reader->ItemCount(), 7u);
    Reader->CloseArchive();
    EXPECT_EQ(Reader->ItemCount(), 0u);
}

TEST_F(ArchiveReaderTest, ExtractsEveryItemByteIdenticalAndAppends)
{
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Main);
    Reader->OpenArchiveStream(Stream);
    // Backwards, so that items of the solid block are decoded after later ones.
    for (uint32_t I = Reader->ItemCount(); I-- > 0;) {
        const std::string Path = Reader->ItemPathOf(I);
        SCOPED_TRACE(Path);
        std::string Out = "kept|";
        Reader->ExtractItemToStream(I, Out, false);
        EXPECT_EQ(Out, "kept|" + (Reader->ItemIsDirectory(I) ? std::string() : Files.at(Path)));
    }
}

TEST_F(ArchiveReaderTest, TestModeChecksButWritesNothing)
{
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Main);
    Reader->OpenArchiveStream(Stream);
    for (uint32_t I = 0; I < Reader->ItemCount(); ++I) {
        std::string Out = "untouched";
        Reader->ExtractItemToStream(I, Out, true);
        EXPECT_EQ(Out, "untouched") << Reader->ItemPathOf(I);
    }
}

TEST_F(ArchiveReaderTest, IndicesAtOrAboveTheCountAreNeverPassedOn)
{
    auto Reader = NewArchiveReader();
    EXPECT_EQ(Reader->ItemPathOf(0), "");
    TArchiveStream Stream(Main);
    Reader->OpenArchiveStream(Stream);
    const uint32_t Count = Reader->ItemCount();
    for (uint32_t Index : {Count, Count + 1, 0x7FFFFFF0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(Index);
        EXPECT_EQ(Reader->ItemPathOf(Index), "");
        EXPECT_FALSE(Reader->ItemIsDirectory(Index));
        EXPECT_EQ(Reader->ItemSizeOf(Index), 0u);
        std::string Out = "untouched";
        EXPECT_EQ(ErrorOf([&] { Reader->ExtractItemToStream(Index, Out, false); }),
                  "Extract failed: item " + std::to_string(Index) + " out of range (7 items)");
        EXPECT_EQ(Out, "untouched");
    }
    EXPECT_EQ(ExtractByPath(*Reader, "fw.bin.txt"), Files.at("fw.bin.txt"));
}

TEST_F(ArchiveReaderTest, StreamsThatHoldNoArchiveFailToOpen)
{
    std::string Prefixed = Noise(1000, 5) + Main;
    std::string FarPrefixed = Noise((1 << 20) + 4096, 6) + Main;
    struct {
        const char* What;
        std::string Bytes;
    } Cases[] = {
        {"empty", ""},
        {"garbage", Noise(64 << 10, 9)},
        {"signature only", Main.substr(0, 6)},
        {"truncated", Main.substr(0, Main.size() - 50)},
        {"first half", Main.substr(0, Main.size() / 2)},
        {"archive beyond the first MiB", FarPrefixed},
    };
    auto Reader = NewArchiveReader();
    for (auto& Case : Cases) {
        SCOPED_TRACE(Case.What);
        TArchiveStream Stream(Case.Bytes);
        EXPECT_EQ(ErrorOf([&] { Reader->OpenArchiveStream(Stream); }),
                  "OpenArchive failed: S_FALSE (0x00000001)");
        EXPECT_EQ(Reader->ItemCount(), 0u);
        EXPECT_EQ(Reader->ItemPathOf(0), "");
    }
    // Within the first MiB the archive is found.
    TArchiveStream Stream(Prefixed);
    Reader->OpenArchiveStream(Stream);
    EXPECT_EQ(ExtractByPath(*Reader, kAxnName), Files.at(kAxnName));
}

TEST_F(ArchiveReaderTest, DamagedDataFailsToExtractAndLeavesTheOutputAlone)
{
    std::string Damaged = Main;
    Damaged[Damaged.size() / 2] ^= 0x55; // inside the packed data of big.bin
    auto Reader = NewArchiveReader();
    TArchiveStream Stream(Damaged);
    Reader->OpenArchiveStream(Stream);
    const uint32_t Big = Listing(*Reader).at("dir/big.bin");
    for (bool Test : {false, true}) {
        std::string Out = "untouched";
        EXPECT_EQ(ErrorOf([&] { Reader->ExtractItemToStream(Big, Out, Test); }),
                  "Extract failed: item " + std::to_string(Big) + ": CRC error");
        EXPECT_EQ(Out, "untouched");
    }
    // The reader stays usable.
    TArchiveStream Good(Main);
    Reader->OpenArchiveStream(Good);
    EXPECT_EQ(ExtractByPath(*Reader, "dir/big.bin"), Files.at("dir/big.bin"));
}

TEST_F(ArchiveReaderTest, EncryptedArchivesAreReportedAsSuch)
{
    auto Reader = NewArchiveReader();
    std::string Headers = ReadFile(Dir / "headers-encrypted.7z");
    TArchiveStream HeadersStream(Headers);
    EXPECT_EQ(ErrorOf([&] { Reader->OpenArchiveStream(HeadersStream); }),
              "OpenArchive failed: encrypted, no password: E_ABORT (0x80004004)");

    std::string Data = ReadFile(Dir / "data-encrypted.7z");
    TArchiveStream DataStream(Data);
    Reader->OpenArchiveStream(DataStream);
    ASSERT_EQ(Reader->ItemCount(), 1u);
    std::string Out;
    EXPECT_EQ(ErrorOf([&] { Reader->ExtractItemToStream(0, Out, false); }),
              "Extract failed: item 0: encrypted, no password: E_ABORT (0x80004004)");
    EXPECT_EQ(Out, "");
}

TEST_F(ArchiveReaderTest, ReadersAliveAtOnceUseTheirOwnLibraryAndLeaveNothingBehind)
{
    const int Descriptors = OpenDescriptors();
    const int Mappings = MemoryFileMappings();
    {
        auto Outer = NewArchiveReader();
        TArchiveStream OuterStream(Main);
        Outer->OpenArchiveStream(OuterStream);
        std::string Inner = ReadFile(Dir / "inner.7z");
        {
            // An archive read while another one is open, as a firmware package
            // inside the firmware archive is.
            auto Nested = NewArchiveReader();
            EXPECT_EQ(OpenDescriptors(), Descriptors + 2);
            TArchiveStream InnerStream(Inner);
            Nested->OpenArchiveStream(InnerStream);
            EXPECT_EQ(ExtractByPath(*Outer, kAxnName), Files.at(kAxnName));
            EXPECT_EQ(ExtractByPath(*Nested, "fw.bin.txt"), Files.at("fw.bin.txt"));
            Outer->CloseArchive();
            EXPECT_EQ(ExtractByPath(*Nested, "fw.bin.txt"), Files.at("fw.bin.txt"));
        }
        EXPECT_EQ(OpenDescriptors(), Descriptors + 1);
        Outer->OpenArchiveStream(OuterStream);
        EXPECT_EQ(ExtractByPath(*Outer, "dir/big.bin"), Files.at("dir/big.bin"));
        // Destroyed with the archive still open.
    }
    EXPECT_EQ(OpenDescriptors(), Descriptors);
    EXPECT_EQ(MemoryFileMappings(), Mappings);
}

TEST_F(ArchiveReaderTest, AReaderWithoutItsLibraryReportsWhy)
{
    struct {
        std::string Image;
        std::string Error;
    } Cases[] = {
        {"", "7-Zip library not loaded: no library image (resource \"7z_dll\" not embedded)"},
        {"MZ not a library", "7-Zip library not loaded: MemLoadLibrary: elf header is not valid"},
    };
    for (auto& Case : Cases) {
        auto Reader = NewArchiveReader(Case.Image);
        TArchiveStream Stream(Main);
        EXPECT_EQ(ErrorOf([&] { Reader->OpenArchiveStream(Stream); }), Case.Error);
        EXPECT_EQ(ErrorOf([&] { Reader->ItemCount(); }), Case.Error);
        std::string Out;
        EXPECT_EQ(ErrorOf([&] { Reader->ExtractItemToStream(0, Out, false); }), Case.Error);
        EXPECT_EQ(Reader->ItemPathOf(0), "");
        EXPECT_FALSE(Reader->ItemIsDirectory(0));
    }
}

TEST_F(ArchiveReaderTest, RefusesLibrariesWithTheOtherInterfaceLayout)
{
    // Stand-ins for builds this platform does not ship: 7-Zip before 23 and
    // p7zip have no GetModuleProp; a build with virtual destructors reports
    // interface type 1. Calling their CreateObject would be fatal.
    const std::string Source = R"(#include <stdint.h>
#include <stdlib.h>
struct Variant { uint16_t vt, r1, r2, r3; uint64_t value; };
#ifdef INTERFACE_TYPE
int32_t GetModuleProp(uint32_t id, struct Variant* v) { v->vt = 19; v->value = id == 0 ? INTERFACE_TYPE : 0; return 0; }
#endif
int32_t CreateObject(const void* c, const void* i, void** o) { (void)c; (void)i; (void)o; abort(); }
)";
    WriteFile(Dir / "stand-in.c", Source);
    struct {
        const char* Flags;
        const char* Name;
        const char* Error;
    } Cases[] = {
        {"", "old.so",
         "7-Zip library not usable: GetModuleProp not exported (7-Zip before 23 or p7zip: other interface "
         "layout)"},
        {"-DINTERFACE_TYPE=1", "virtual.so",
         "7-Zip library not usable: interface type 1 (IUnknown with virtual destructor), this reader needs "
         "0"},
    };
    for (auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const fs::path Library = Dir / Case.Name;
        RunShell(std::string(VELTRAC_TEST_CC) + " -shared -fPIC " + Case.Flags + " -o '" + Library.string() +
                 "' '" + (Dir / "stand-in.c").string() + "'");
        auto Reader = NewArchiveReader(ReadFile(Library));
        TArchiveStream Stream(Main);
        EXPECT_EQ(ErrorOf([&] { Reader->OpenArchiveStream(Stream); }), Case.Error);
    }
}

TEST_F(ArchiveReaderTest, AnUnknownFormatClassIsAFailingCreateObject)
{
    auto Reader = NewArchiveReader();
    EXPECT_EQ(Reader->GetFormatClassId(), CLSID_CFormat7z);
    TGUID Unknown = CLSID_CFormat7z;
    Unknown.Data4[5] = 0xFD;
    Reader->SetFormatClassId(Unknown);
    TArchiveStream Stream(Main);
    EXPECT_EQ(ErrorOf([&] { Reader->OpenArchiveStream(Stream); }),
              "CreateObject failed: CLASS_E_CLASSNOTAVAILABLE (0x80040111)");
}

TEST(ArchiveStream, FollowsTheLibrarysSeekAndWriteRules)
{
    std::string Buffer = "abcdef";
    TArchiveStream Stream(Buffer);
    uint64_t Position = 99;
    EXPECT_FALSE(Stream.Seek(-1, 0, &Position));
    EXPECT_FALSE(Stream.Seek(0, 3, &Position));
    EXPECT_EQ(Position, 99u);
    ASSERT_TRUE(Stream.Seek(-2, 2, &Position));
    EXPECT_EQ(Position, 4u);
    EXPECT_FALSE(Stream.Seek(INT64_MAX, 1));
    EXPECT_EQ(Stream.Position(), 4u);

    char Data[8] = {};
    EXPECT_EQ(Stream.Read(Data, sizeof(Data)), 2u);
    EXPECT_EQ(std::string(Data, 2), "ef");
    EXPECT_EQ(Stream.Read(Data, sizeof(Data)), 0u);

    ASSERT_TRUE(Stream.Seek(2, 1));
    Stream.Write("XY", 2);
    EXPECT_EQ(Buffer, std::string("abcdef\0\0XY", 10));
    ASSERT_TRUE(Stream.Seek(1, 0));
    Stream.Write("Q", 1);
    Stream.SetSize(3);
    EXPECT_EQ(Buffer, "aQc");
    EXPECT_EQ(Stream.Size(), 3u);
}
