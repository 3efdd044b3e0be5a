// The in-memory library loader's image checks. The platform loader trusts the
// file it maps, so every image whose headers point outside it must be refused
// before it gets there. Fuzz data is never handed to the platform loader on
// purpose: an image the checks below find sound is only loaded when it is the
// real library, byte for byte.
//
// Input: first byte 0 -> the rest is the image; otherwise the rest is a list
// of (offset, byte) patches applied to the headers and the dynamic section of
// the real library.
#include "FuzzSupport.h"
#include "firmware/MemModule.h"
#include "firmware/Resources.h"

#include <elf.h>
#include <link.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string_view Library;

// Whether the platform loader could read past the image, or be handed
// something that is no shared object of this machine.
bool Unsound(std::string_view Image)
{
    ElfW(Ehdr) H;
    if (Image.size() < sizeof H)
        return true;
    std::memcpy(&H, Image.data(), sizeof H);
    if (std::memcmp(H.e_ident, ELFMAG, SELFMAG) != 0 || H.e_ident[EI_CLASS] != ELFCLASS64 ||
        H.e_ident[EI_DATA] != ELFDATA2LSB || H.e_ident[EI_VERSION] != EV_CURRENT ||
        H.e_version != EV_CURRENT || H.e_type != ET_DYN || H.e_machine != EM_X86_64 ||
        H.e_phentsize != sizeof(ElfW(Phdr)) || H.e_phnum == 0)
        return true;
    if (H.e_phoff > Image.size() || (Image.size() - H.e_phoff) / sizeof(ElfW(Phdr)) < H.e_phnum)
        return true;
    std::vector<ElfW(Phdr)> Loads, Inside;
    for (unsigned I = 0; I < H.e_phnum; ++I) {
        ElfW(Phdr) S;
        std::memcpy(&S, Image.data() + H.e_phoff + I * sizeof S, sizeof S);
        if (S.p_type != PT_NULL && (S.p_offset > Image.size() || Image.size() - S.p_offset < S.p_filesz))
            return true;
        if (S.p_type == PT_LOAD)
            Loads.push_back(S);
        // The platform loader reads these from the mapped segments, not from the file.
        if (S.p_type == PT_DYNAMIC || S.p_type == PT_NOTE || S.p_type == PT_GNU_PROPERTY)
            Inside.push_back(S);
    }
    auto InLoad = [&](uint64_t Addr, uint64_t Len, bool FileBacked) -> const ElfW(Phdr) * {
        for (const ElfW(Phdr) & L : Loads) {
            const uint64_t Span = FileBacked ? L.p_filesz : L.p_memsz;
            if (Addr >= L.p_vaddr && Addr - L.p_vaddr <= Span && Len <= Span - (Addr - L.p_vaddr))
                return &L;
        }
        return nullptr;
    };
    for (const ElfW(Phdr) & L : Loads)
        if (L.p_filesz > L.p_memsz)
            return true;
    const ElfW(Phdr)* Dyn = nullptr;
    for (const ElfW(Phdr) & S : Inside) {
        if (!InLoad(S.p_vaddr, S.p_filesz, true))
            return true;
        if (S.p_type == PT_DYNAMIC)
            Dyn = &S;
    }
    if (!Dyn)
        return true;
    // The dynamic section and every table it names, as the platform loader reads them.
    const ElfW(Phdr)* L = InLoad(Dyn->p_vaddr, Dyn->p_filesz, true);
    const uint64_t At = L->p_offset + (Dyn->p_vaddr - L->p_vaddr);
    std::vector<ElfW(Dyn)> Tags;
    for (uint64_t I = 0;; ++I) {
        if ((I + 1) * sizeof(ElfW(Dyn)) > Dyn->p_filesz)
            return true; // no terminating entry
        ElfW(Dyn) D;
        std::memcpy(&D, Image.data() + At + I * sizeof D, sizeof D);
        if (D.d_tag == DT_NULL)
            break;
        Tags.push_back(D);
    }
    auto Find = [&](int64_t Tag, uint64_t& V) {
        for (const ElfW(Dyn) & D : Tags)
            if (D.d_tag == Tag)
                return V = D.d_un.d_val, true;
        return false;
    };
    uint64_t V = 0, Strings = 0, Len = 0;
    if (!Find(DT_STRTAB, V) || !Find(DT_SYMTAB, V) || !Find(DT_STRSZ, Strings))
        return true;
    const int64_t Sized[][2] = {{DT_STRTAB, DT_STRSZ},
                                {DT_RELA, DT_RELASZ},
                                {DT_REL, DT_RELSZ},
                                {DT_JMPREL, DT_PLTRELSZ},
                                {DT_INIT_ARRAY, DT_INIT_ARRAYSZ},
                                {DT_FINI_ARRAY, DT_FINI_ARRAYSZ},
                                {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ}};
    for (const auto& T : Sized)
        if (Find(T[0], V) && (!Find(T[1], Len) || !InLoad(V, Len, false)))
            return true;
    for (int64_t Tag :
         {DT_SYMTAB, DT_HASH, DT_GNU_HASH, DT_INIT, DT_FINI, DT_PLTGOT, DT_VERSYM, DT_VERDEF, DT_VERNEED})
        if (Find(Tag, V) && !InLoad(V, 1, false))
            return true;
    for (const ElfW(Dyn) & D : Tags)
        if ((D.d_tag == DT_NEEDED || D.d_tag == DT_SONAME || D.d_tag == DT_RPATH || D.d_tag == DT_RUNPATH) &&
            D.d_un.d_val >= Strings)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const auto R = FindResource("7z_dll");
    FUZZ_CHECK(R.has_value() && !Unsound(*R));
    Library = *R;
    // The real library passes the checks and loads.
    PMemoryModule M = MemLoadLibrary(Library);
    FUZZ_CHECK(M != nullptr);
    ReleaseMemoryLibrary(M);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    if (Data[0] == 0) {
        const std::string_view Image(reinterpret_cast<const char*>(Data) + 1, Size - 1);
        if (Image != Library && Unsound(Image)) {
            FUZZ_CHECK(MemLoadLibrary(Image) == nullptr);
            FUZZ_CHECK(LastLoaderError().rfind("MemLoadLibrary: ", 0) == 0);
        }
        return 0;
    }
    // Patches land in the ELF header, the program headers and the dynamic
    // section, where the checks look. One working copy of the library is
    // patched and restored each time: copying 2.7 MB per input would cost more
    // than the checks.
    static std::string Work(Library);
    ElfW(Ehdr) H;
    std::memcpy(&H, Library.data(), sizeof H);
    const size_t Headers = H.e_phoff + static_cast<size_t>(H.e_phnum) * sizeof(ElfW(Phdr));
    size_t DynamicAt = 0, DynamicSize = 0;
    for (unsigned I = 0; I < H.e_phnum; ++I) {
        ElfW(Phdr) S;
        std::memcpy(&S, Library.data() + H.e_phoff + I * sizeof S, sizeof S);
        if (S.p_type == PT_DYNAMIC)
            DynamicAt = S.p_offset, DynamicSize = S.p_filesz;
    }
    std::vector<size_t> Touched;
    bool Changed = false;
    for (size_t i = 1; i + 2 < Size; i += 3) {
        size_t At = (static_cast<size_t>(Data[i]) << 8 | Data[i + 1]) % (Headers + DynamicSize);
        if (At >= Headers)
            At = DynamicAt + (At - Headers);
        Touched.push_back(At);
        Changed = Changed || Work[At] != static_cast<char>(Data[i + 2]);
        Work[At] = static_cast<char>(Data[i + 2]);
    }
    std::string_view Image(Work);
    // A cut image: the segments then point past its end.
    if (Size % 3 == 2) {
        Image = Image.substr(0, Image.size() / (2 + Data[Size - 1] % 8));
        Changed = true;
    }
    if (!Changed) {
        PMemoryModule M = MemLoadLibrary(Image);
        FUZZ_CHECK(M != nullptr);
        FUZZ_CHECK(MemGetProcAddress(M, "CreateObject") != nullptr);
        ReleaseMemoryLibrary(M);
    } else if (Unsound(Image)) {
        FUZZ_CHECK(MemLoadLibrary(Image) == nullptr);
        FUZZ_CHECK(LastLoaderError().rfind("MemLoadLibrary: ", 0) == 0);
    }
    for (size_t At : Touched)
        Work[At] = Library[At];
    return 0;
}
