#include "firmware/MemModule.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

struct TMemoryModule {
    void* Handle = nullptr;
    link_map* Map = nullptr;
    int Fd = -1;
};

namespace
{

#if defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr uint16_t kMachine = EM_386;
#elif defined(__arm__)
constexpr uint16_t kMachine = EM_ARM;
#elif defined(__riscv)
constexpr uint16_t kMachine = EM_RISCV;
#else
#error "MemModule: unknown machine"
#endif

constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kByteOrder = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

std::mutex ErrorLock;
std::string ErrorText;

void SetLoaderError(std::string Text)
{
    std::lock_guard<std::mutex> Lock(ErrorLock);
    ErrorText = std::move(Text);
}

std::string ErrnoText(const char* What)
{
    return std::string("MemLoadLibrary: ") + What + " failed: " + std::strerror(errno);
}

// The platform loader trusts the file it maps: a header that points past the end
// of the image would make it touch pages that do not exist (SIGBUS) instead of
// failing, so everything it reads before its own checks is checked here. That
// includes what it reads from the mapped segments before relocating: the
// dynamic section, the notes, and the tables the dynamic section points to;
// their contents (symbols, hash chains, relocations) stay trusted.
struct TLoadSegment {
    uint64_t VAddr, FileSize, MemSize, Offset;
};

// Whether [Addr, Addr + Size) lies inside one load segment: inside the part that
// comes from the image when FromFile, else anywhere in its memory. Offset gets the
// image offset of Addr.
bool Mapped(const std::vector<TLoadSegment>& Loads, uint64_t Addr, uint64_t Size, bool FromFile,
            uint64_t* Offset = nullptr)
{
    for (const TLoadSegment& L : Loads) {
        const uint64_t Limit = FromFile ? L.FileSize : L.MemSize;
        if (Addr >= L.VAddr && Addr - L.VAddr <= Limit && Size <= Limit - (Addr - L.VAddr)) {
            if (Offset)
                *Offset = L.Offset + (Addr - L.VAddr);
            return true;
        }
    }
    return false;
}

const char* CheckDynamic(std::string_view Image, const std::vector<TLoadSegment>& Loads, uint64_t Offset,
                         uint64_t Size)
{
    constexpr const char* Bad = "MemLoadLibrary: elf dynamic section is not valid";
    // Address tags and the tags giving the size of what they point to.
    struct TTable {
        int64_t Tag, SizeTag;
        uint64_t MinSize;
    };
    static constexpr TTable Tables[] = {
        {DT_STRTAB, DT_STRSZ, 1},
        {DT_SYMTAB, DT_NULL, sizeof(ElfW(Sym))},
        {DT_HASH, DT_NULL, 8},
        {DT_GNU_HASH, DT_NULL, 16},
        {DT_RELA, DT_RELASZ, 0},
        {DT_REL, DT_RELSZ, 0},
        {DT_JMPREL, DT_PLTRELSZ, 0},
        {DT_INIT_ARRAY, DT_INIT_ARRAYSZ, 0},
        {DT_FINI_ARRAY, DT_FINI_ARRAYSZ, 0},
        {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ, 0},
        {DT_INIT, DT_NULL, 1},
        {DT_FINI, DT_NULL, 1},
        {DT_PLTGOT, DT_NULL, 1},
        {DT_VERSYM, DT_NULL, 2},
        {DT_VERDEF, DT_NULL, sizeof(ElfW(Verdef))},
        {DT_VERNEED, DT_NULL, sizeof(ElfW(Verneed))},
    };
    const auto Count = Size / sizeof(ElfW(Dyn));
    std::vector<ElfW(Dyn)> Entries;
    bool Terminated = false;
    for (uint64_t I = 0; I < Count; ++I) {
        ElfW(Dyn) D;
        std::memcpy(&D, Image.data() + Offset + I * sizeof D, sizeof D);
        if (D.d_tag == DT_NULL) {
            Terminated = true;
            break;
        }
        Entries.push_back(D);
    }
    if (!Terminated)
        return Bad;
    auto Value = [&](int64_t Tag, uint64_t& Out) {
        for (const ElfW(Dyn) & D : Entries)
            if (D.d_tag == Tag) {
                Out = D.d_un.d_val;
                return true;
            }
        return false;
    };
    uint64_t Address = 0, StringsSize = 0;
    if (!Value(DT_STRTAB, Address) || !Value(DT_STRSZ, StringsSize) || !Value(DT_SYMTAB, Address))
        return Bad;
    for (const TTable& T : Tables) {
        if (!Value(T.Tag, Address))
            continue;
        uint64_t TableSize = T.MinSize;
        if (T.SizeTag != DT_NULL && !Value(T.SizeTag, TableSize))
            return Bad;
        if (!Mapped(Loads, Address, TableSize, false))
            return Bad;
    }
    for (const ElfW(Dyn) & D : Entries)
        if ((D.d_tag == DT_NEEDED || D.d_tag == DT_SONAME || D.d_tag == DT_RPATH || D.d_tag == DT_RUNPATH) &&
            D.d_un.d_val >= StringsSize)
            return Bad;
    return nullptr;
}

const char* CheckImage(std::string_view Image)
{
    ElfW(Ehdr) Header;
    if (Image.size() < sizeof(Header) || std::memcmp(Image.data(), ELFMAG, SELFMAG) != 0)
        return "MemLoadLibrary: elf header is not valid";
    std::memcpy(&Header, Image.data(), sizeof(Header));
    if (Header.e_ident[EI_CLASS] != kClass)
        return "MemLoadLibrary: elf class is not valid";
    if (Header.e_ident[EI_DATA] != kByteOrder)
        return "MemLoadLibrary: elf byte order is not valid";
    if (Header.e_ident[EI_VERSION] != EV_CURRENT || Header.e_version != EV_CURRENT)
        return "MemLoadLibrary: elf header is not valid";
    if (Header.e_type != ET_DYN)
        return "MemLoadLibrary: elf image is not a shared object";
    if (Header.e_machine != kMachine)
        return "MemLoadLibrary: elf machine is not valid";
    if (Header.e_phentsize != sizeof(ElfW(Phdr)) || Header.e_phnum == 0 || Header.e_phoff > Image.size() ||
        (Image.size() - Header.e_phoff) / sizeof(ElfW(Phdr)) < Header.e_phnum)
        return "MemLoadLibrary: elf program headers are not valid";
    std::vector<ElfW(Phdr)> Segments(Header.e_phnum);
    std::vector<TLoadSegment> Loads;
    for (unsigned I = 0; I < Header.e_phnum; ++I) {
        ElfW(Phdr)& Segment = Segments[I];
        std::memcpy(&Segment, Image.data() + Header.e_phoff + I * sizeof(Segment), sizeof(Segment));
        if (Segment.p_type != PT_NULL &&
            (Segment.p_offset > Image.size() || Image.size() - Segment.p_offset < Segment.p_filesz))
            return "MemLoadLibrary: elf image is truncated";
        if (Segment.p_type == PT_LOAD) {
            if (Segment.p_filesz > Segment.p_memsz)
                return "MemLoadLibrary: elf program headers are not valid";
            Loads.push_back({Segment.p_vaddr, Segment.p_filesz, Segment.p_memsz, Segment.p_offset});
        }
    }
    const ElfW(Phdr)* Dynamic = nullptr;
    for (const ElfW(Phdr) & Segment : Segments) {
        if (Segment.p_type == PT_DYNAMIC)
            Dynamic = &Segment;
        // Read from the mapped segments, so they must lie inside one.
        if ((Segment.p_type == PT_DYNAMIC || Segment.p_type == PT_NOTE ||
             Segment.p_type == PT_GNU_PROPERTY) &&
            !Mapped(Loads, Segment.p_vaddr, Segment.p_filesz, true))
            return "MemLoadLibrary: elf program headers are not valid";
    }
    if (!Dynamic)
        return "MemLoadLibrary: elf image has no dynamic section";
    uint64_t Offset = 0;
    Mapped(Loads, Dynamic->p_vaddr, Dynamic->p_filesz, true, &Offset);
    return CheckDynamic(Image, Loads, Offset, Dynamic->p_filesz);
}

bool WriteAll(int Fd, std::string_view Data)
{
    while (!Data.empty()) {
        ssize_t Done = write(Fd, Data.data(), Data.size());
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done <= 0)
            return false;
        Data.remove_prefix(static_cast<size_t>(Done));
    }
    return true;
}

int CreateMemoryFile()
{
    // Kernels with vm.memfd_noexec want MFD_EXEC for a file that will be mapped
    // executable; kernels before 6.3 do not know the flag and refuse it.
    int Fd = memfd_create("MemModule", MFD_CLOEXEC | MFD_EXEC);
    if (Fd < 0 && errno == EINVAL)
        Fd = memfd_create("MemModule", MFD_CLOEXEC);
    return Fd;
}

} // namespace

PMemoryModule MemLoadLibrary(std::string_view Image)
{
    if (const char* Problem = CheckImage(Image)) {
        SetLoaderError(Problem);
        return nullptr;
    }
    auto* Module = new (std::nothrow) TMemoryModule;
    if (!Module) {
        SetLoaderError("MemLoadLibrary: out of memory");
        return nullptr;
    }
    int Fd = CreateMemoryFile();
    if (Fd < 0) {
        SetLoaderError(ErrnoText("memfd_create"));
        delete Module;
        return nullptr;
    }
    if (!WriteAll(Fd, Image)) {
        SetLoaderError(ErrnoText("write"));
        close(Fd);
        delete Module;
        return nullptr;
    }
    // The loader hands back an already loaded object whose name matches before it
    // looks at the file, and a closed descriptor's number comes back with the
    // next memory file: the descriptor stays open while the module lives, so no
    // two live modules share a path and each load is a copy of its own.
    // RTLD_LOCAL keeps this copy's symbols out of the global scope: 7z.so exports
    // all its internals and binds them through its GOT, so a global copy would
    // capture every later one.
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    Module->Handle = dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!Module->Handle) {
        const char* Why = dlerror();
        SetLoaderError(std::string("MemLoadLibrary: dlopen failed: ") + (Why ? Why : "unknown error"));
        close(Fd);
        delete Module;
        return nullptr;
    }
    Module->Fd = Fd;
    if (dlinfo(Module->Handle, RTLD_DI_LINKMAP, &Module->Map) != 0 || !Module->Map) {
        SetLoaderError("MemLoadLibrary: dlinfo failed");
        ReleaseMemoryLibrary(Module);
        return nullptr;
    }
    return Module;
}

void* MemGetProcAddress(PMemoryModule Module, const char* Name)
{
    if (!Module || !Name) {
        SetLoaderError("MemGetProcAddress: no module");
        return nullptr;
    }
    dlerror();
    void* Address = dlsym(Module->Handle, Name);
    if (!Address) {
        SetLoaderError("MemGetProcAddress: exported symbol not found");
        return nullptr;
    }
    // dlsym also searches the library's dependencies (libc, libstdc++); only a
    // definition inside the library itself is one of its exports.
    Dl_info Info;
    link_map* Owner = nullptr;
    if (dladdr1(Address, &Info, reinterpret_cast<void**>(&Owner), RTLD_DL_LINKMAP) == 0 ||
        Owner != Module->Map) {
        SetLoaderError("MemGetProcAddress: exported symbol not found");
        return nullptr;
    }
    return Address;
}

void ReleaseMemoryLibrary(PMemoryModule Module)
{
    if (!Module)
        return;
    dlclose(Module->Handle);
    close(Module->Fd);
    delete Module;
}

std::string LastLoaderError()
{
    std::lock_guard<std::mutex> Lock(ErrorLock);
    return ErrorText;
}
