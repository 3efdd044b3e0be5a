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
// failing, so everything it reads before its own checks is checked here.
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
    bool HasDynamic = false;
    for (unsigned I = 0; I < Header.e_phnum; ++I) {
        ElfW(Phdr) Segment;
        std::memcpy(&Segment, Image.data() + Header.e_phoff + I * sizeof(Segment), sizeof(Segment));
        if (Segment.p_type == PT_DYNAMIC)
            HasDynamic = true;
        if (Segment.p_type != PT_NULL &&
            (Segment.p_offset > Image.size() || Image.size() - Segment.p_offset < Segment.p_filesz))
            return "MemLoadLibrary: elf image is truncated";
    }
    if (!HasDynamic)
        return "MemLoadLibrary: elf image has no dynamic section";
    return nullptr;
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
