#include "firmware/ArchiveReader.h"

#include "firmware/MemModule.h"
#include "firmware/Resources.h"
#include "firmware/SevenZipInterfaces.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

const TGUID CLSID_CFormat7z = {0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

using namespace SevenZip;

namespace
{

// Objects the library made have its own type information, which UBSan's vptr
// check cannot match with our declarations of them; every call on them goes
// through these.
#define FOREIGN_CALL __attribute__((no_sanitize("vptr")))

FOREIGN_CALL HRESULT ArchiveOpen(IInArchive* Archive, IInStream* Stream, const uint64_t* MaxStart,
                                 IArchiveOpenCallback* Callback)
{
    return Archive->Open(Stream, MaxStart, Callback);
}

FOREIGN_CALL void ArchiveClose(IInArchive* Archive)
{
    Archive->Close();
}

FOREIGN_CALL void ArchiveRelease(IInArchive* Archive)
{
    Archive->Release();
}

FOREIGN_CALL HRESULT ArchiveItemCount(IInArchive* Archive, uint32_t* Count)
{
    return Archive->GetNumberOfItems(Count);
}

FOREIGN_CALL HRESULT ArchiveProperty(IInArchive* Archive, uint32_t Index, PROPID PropId, PROPVARIANT* Value)
{
    return Archive->GetProperty(Index, PropId, Value);
}

FOREIGN_CALL HRESULT ArchiveExtract(IInArchive* Archive, const uint32_t* Indices, uint32_t Count,
                                    int32_t Test, IArchiveExtractCallback* Callback)
{
    return Archive->Extract(Indices, Count, Test, Callback);
}

// The library allocates a BSTR with malloc, 4 bytes of byte length before the
// characters (7-Zip's MyWindows layout on POSIX).
void FreeBstr(BSTR Text)
{
    if (Text)
        std::free(reinterpret_cast<char*>(Text) - sizeof(uint32_t));
}

size_t BstrLength(BSTR Text)
{
    uint32_t Bytes;
    std::memcpy(&Bytes, reinterpret_cast<const char*>(Text) - sizeof(Bytes), sizeof(Bytes));
    return Bytes / sizeof(wchar_t);
}

// A variant the library fills: it must arrive empty (the library clears what it
// gets, and would free a stray BSTR) and its string is freed exactly once.
struct TVariant : PROPVARIANT {
    TVariant() : PROPVARIANT{} {}
    ~TVariant() { Clear(); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
    void Clear()
    {
        if (vt == VT_BSTR)
            FreeBstr(bstrVal);
        vt = VT_EMPTY;
        uhVal = 0;
    }
};

void AppendUtf8(std::string& Out, uint32_t Code)
{
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0 | (Code >> 6));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0 | (Code >> 12));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (Code >> 18));
        Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
}

// Each wchar_t holds one UTF-16 code unit: a character beyond U+FFFF arrives as a
// surrogate pair. A surrogate without its partner becomes U+FFFD.
std::string BstrToUtf8(BSTR Text)
{
    std::string Out;
    if (!Text)
        return Out;
    const size_t Length = BstrLength(Text);
    Out.reserve(Length);
    for (size_t I = 0; I < Length; ++I) {
        uint32_t Code = static_cast<uint32_t>(Text[I]);
        if (Code >= 0xD800 && Code <= 0xDBFF && I + 1 < Length) {
            uint32_t Low = static_cast<uint32_t>(Text[I + 1]);
            if (Low >= 0xDC00 && Low <= 0xDFFF) {
                Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
                ++I;
            }
        }
        if ((Code >= 0xD800 && Code <= 0xDFFF) || Code > 0x10FFFF)
            Code = 0xFFFD;
        AppendUtf8(Out, Code);
    }
    return Out;
}

std::string ResultText(HRESULT Code)
{
    static const struct {
        HRESULT Code;
        const char* Name;
    } Names[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_ABORT, "E_ABORT"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
        {E_NEGATIVE_SEEK, "negative seek"},
        {E_INTERNAL_ERROR, "internal error"},
    };
    char Hex[16];
    std::snprintf(Hex, sizeof(Hex), "0x%08X", static_cast<unsigned>(Code));
    for (auto& Entry : Names)
        if (Entry.Code == Code)
            return std::string(Entry.Name) + " (" + Hex + ")";
    // The POSIX build reports errno values this way.
    if ((static_cast<uint32_t>(Code) & 0xFFFF0000u) == 0x88000000u)
        return std::string(std::strerror(static_cast<int>(Code & 0xFFFF))) + " (" + Hex + ")";
    return Hex;
}

std::string OperationResultText(int32_t Result)
{
    static const char* const Texts[] = {"OK",
                                        "unsupported method",
                                        "data error",
                                        "CRC error",
                                        "data unavailable",
                                        "unexpected end of data",
                                        "data after the end",
                                        "not an archive",
                                        "headers error",
                                        "wrong password"};
    if (Result >= 0 && Result < static_cast<int32_t>(std::size(Texts)))
        return Texts[Result];
    return "operation result " + std::to_string(Result);
}

[[noreturn]] void Raise(const char* Operation, const std::string& Detail)
{
    throw EArchiveError(std::string(Operation) + " failed: " + Detail);
}

// The library calls these objects from its own worker threads: counts are atomic.
class TReferenceCount
{
  protected:
    std::atomic<ULONG> FReferences{1};
};

#define VELTRAC_REFERENCE_COUNTING                                                                           \
    ULONG AddRef() noexcept override                                                                         \
    {                                                                                                        \
        return ++FReferences;                                                                                \
    }                                                                                                        \
    ULONG Release() noexcept override                                                                        \
    {                                                                                                        \
        ULONG Left = --FReferences;                                                                          \
        if (Left == 0)                                                                                       \
            delete this;                                                                                     \
        return Left;                                                                                         \
    }

// TArchiveStream towards the library. Keeper (when set) holds the owner of the
// stream's buffer for as long as the library holds the stream.
class TStreamAdapter final : TReferenceCount,
                             public IInStream,
                             public IStreamGetSize,
                             public IOutStream,
                             public IOutStreamFinish
{
  public:
    TStreamAdapter(const TArchiveStream& Stream, IUnknown* Keeper) : FStream(Stream), FKeeper(Keeper)
    {
        if (FKeeper)
            FKeeper->AddRef();
    }

    VELTRAC_REFERENCE_COUNTING

    HRESULT QueryInterface(const TGUID& Id, void** Object) noexcept override
    {
        if (!Object)
            return E_INVALIDARG;
        if (Id == IID_IUnknown || Id == IID_ISequentialInStream || Id == IID_IInStream)
            *Object = static_cast<IInStream*>(this);
        else if (Id == IID_IStreamGetSize)
            *Object = static_cast<IStreamGetSize*>(this);
        else if (Id == IID_ISequentialOutStream || Id == IID_IOutStream)
            *Object = static_cast<IOutStream*>(this);
        else if (Id == IID_IOutStreamFinish)
            *Object = static_cast<IOutStreamFinish*>(this);
        else {
            *Object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    HRESULT Read(void* Data, uint32_t Size, uint32_t* Processed) noexcept override
    {
        uint32_t Done = FStream.Read(Data, Size);
        if (Processed)
            *Processed = Done;
        return S_OK;
    }

    HRESULT Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition) noexcept override
    {
        if (Origin > 2)
            return STG_E_INVALIDFUNCTION;
        return FStream.Seek(Offset, Origin, NewPosition) ? S_OK : E_NEGATIVE_SEEK;
    }

    HRESULT GetSize(uint64_t* Size) noexcept override
    {
        if (!Size)
            return E_INVALIDARG;
        *Size = FStream.Size();
        return S_OK;
    }

    HRESULT Write(const void* Data, uint32_t Size, uint32_t* Processed) noexcept override
    {
        if (Processed)
            *Processed = 0;
        try {
            FStream.Write(Data, Size);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (Processed)
            *Processed = Size;
        return S_OK;
    }

    HRESULT SetSize(uint64_t NewSize) noexcept override
    {
        try {
            FStream.SetSize(NewSize);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT OutStreamFinish() noexcept override { return S_OK; }

  private:
    ~TStreamAdapter()
    {
        if (FKeeper)
            FKeeper->Release();
    }

    TArchiveStream FStream;
    IUnknown* FKeeper;
};

// There is no password to give. Answering (instead of not offering the
// interface) tells an encrypted archive apart from a damaged one: the library
// reports both the same way.
#define VELTRAC_NO_PASSWORD                                                                                  \
    HRESULT CryptoGetTextPassword(BSTR* Password) noexcept override                                          \
    {                                                                                                        \
        if (Password)                                                                                        \
            *Password = nullptr;                                                                             \
        FPasswordAsked = true;                                                                               \
        return E_ABORT;                                                                                      \
    }                                                                                                        \
    std::atomic<bool> FPasswordAsked{false};

class TOpenCallback final : TReferenceCount, public IArchiveOpenCallback, public ICryptoGetTextPassword
{
  public:
    VELTRAC_REFERENCE_COUNTING
    VELTRAC_NO_PASSWORD

    HRESULT QueryInterface(const TGUID& Id, void** Object) noexcept override
    {
        if (!Object)
            return E_INVALIDARG;
        if (Id == IID_IUnknown || Id == IID_IArchiveOpenCallback)
            *Object = static_cast<IArchiveOpenCallback*>(this);
        else if (Id == IID_ICryptoGetTextPassword)
            *Object = static_cast<ICryptoGetTextPassword*>(this);
        else {
            *Object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    HRESULT SetTotal(const uint64_t*, const uint64_t*) noexcept override { return S_OK; }
    HRESULT SetCompleted(const uint64_t*, const uint64_t*) noexcept override { return S_OK; }

  private:
    ~TOpenCallback() = default;
};

// Collects one item. The library hands out the items of a solid block before
// the one asked for (skip mode) and may do so from a worker thread; only the
// item asked for, in extract mode, gets a stream.
class TExtractCallback final : TReferenceCount, public IArchiveExtractCallback, public ICryptoGetTextPassword
{
  public:
    explicit TExtractCallback(uint32_t Index) : FIndex(Index) {}

    VELTRAC_REFERENCE_COUNTING
    VELTRAC_NO_PASSWORD

    HRESULT QueryInterface(const TGUID& Id, void** Object) noexcept override
    {
        if (!Object)
            return E_INVALIDARG;
        if (Id == IID_IUnknown || Id == IID_IProgress || Id == IID_IArchiveExtractCallback)
            *Object = static_cast<IArchiveExtractCallback*>(this);
        else if (Id == IID_ICryptoGetTextPassword)
            *Object = static_cast<ICryptoGetTextPassword*>(this);
        else {
            *Object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    HRESULT SetTotal(uint64_t) noexcept override { return S_OK; }
    HRESULT SetCompleted(const uint64_t*) noexcept override { return S_OK; }

    HRESULT GetStream(uint32_t Index, ISequentialOutStream** Stream, int32_t AskMode) noexcept override
    {
        if (!Stream)
            return E_INVALIDARG;
        *Stream = nullptr;
        FCurrent = Index;
        if (AskMode != kExtract || Index != FIndex)
            return S_OK;
        TStreamAdapter* Adapter = new (std::nothrow)
            TStreamAdapter(TArchiveStream(FData), static_cast<IArchiveExtractCallback*>(this));
        if (!Adapter)
            return E_OUTOFMEMORY;
        *Stream = static_cast<IOutStream*>(Adapter);
        return S_OK;
    }

    HRESULT PrepareOperation(int32_t) noexcept override { return S_OK; }

    HRESULT SetOperationResult(int32_t Result) noexcept override
    {
        if (FCurrent == FIndex) {
            FResult = Result;
            FHaveResult = true;
        }
        return S_OK;
    }

    std::string FData;
    std::atomic<bool> FHaveResult{false};
    std::atomic<int32_t> FResult{0};

  private:
    ~TExtractCallback() = default;

    const uint32_t FIndex;
    std::atomic<uint32_t> FCurrent{std::numeric_limits<uint32_t>::max()};
};

// Holds one reference to an object of ours and drops it on every way out.
template <class T> class TOwnRef
{
  public:
    explicit TOwnRef(T* Object) : FObject(Object) {}
    ~TOwnRef() { FObject->Release(); }
    TOwnRef(const TOwnRef&) = delete;
    TOwnRef& operator=(const TOwnRef&) = delete;
    T* operator->() const { return FObject; }
    T* Get() const { return FObject; }

  private:
    T* FObject;
};

} // namespace

// ---- TArchiveStream ------------------------------------------------------

uint32_t TArchiveStream::Read(void* Data, uint32_t Size)
{
    if (FPosition >= FBuffer->size())
        return 0;
    uint64_t Left = FBuffer->size() - FPosition;
    uint32_t Count = Left < Size ? static_cast<uint32_t>(Left) : Size;
    std::memcpy(Data, FBuffer->data() + FPosition, Count);
    FPosition += Count;
    return Count;
}

bool TArchiveStream::Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition)
{
    int64_t Base;
    switch (Origin) {
    case 0:
        Base = 0;
        break;
    case 1:
        Base = static_cast<int64_t>(FPosition);
        break;
    case 2:
        Base = static_cast<int64_t>(FBuffer->size());
        break;
    default:
        return false;
    }
    int64_t Target;
    if (__builtin_add_overflow(Base, Offset, &Target) || Target < 0)
        return false;
    FPosition = static_cast<uint64_t>(Target);
    if (NewPosition)
        *NewPosition = FPosition;
    return true;
}

void TArchiveStream::Write(const void* Data, uint32_t Size)
{
    if (FPosition > FBuffer->max_size() - Size)
        throw std::bad_alloc();
    const size_t End = static_cast<size_t>(FPosition) + Size;
    if (End > FBuffer->size())
        FBuffer->resize(End);
    if (Size)
        std::memcpy(FBuffer->data() + FPosition, Data, Size);
    FPosition = End;
}

void TArchiveStream::SetSize(uint64_t Size)
{
    if (Size > FBuffer->max_size())
        throw std::bad_alloc();
    FBuffer->resize(static_cast<size_t>(Size));
}

// ---- TArchiveLibrary, TArchiveFormat ---------------------------------------

TArchiveLibrary::TArchiveLibrary(std::string_view Image)
{
    if (Image.empty()) {
        FLoadError = "7-Zip library not loaded: no library image (resource \"7z_dll\" not embedded)";
        return;
    }
    FModule = MemLoadLibrary(Image);
    if (!FModule) {
        FLoadError = "7-Zip library not loaded: " + LastLoaderError();
        return;
    }
    // Builds before 7-Zip 23 (p7zip 16.02 among them) have no GetModuleProp and
    // give IUnknown a virtual destructor, which moves every later slot by two.
    std::string Refusal;
    using TGetModuleProp = HRESULT (*)(PROPID, PROPVARIANT*);
    auto GetModuleProp = reinterpret_cast<TGetModuleProp>(MemGetProcAddress(FModule, "GetModuleProp"));
    if (!GetModuleProp) {
        Refusal = "GetModuleProp not exported (7-Zip before 23 or p7zip: other interface layout)";
    } else {
        TVariant Type;
        HRESULT Result = GetModuleProp(kModulePropInterfaceType, &Type);
        if (Result != S_OK)
            Refusal = "GetModuleProp failed: " + ResultText(Result);
        else if (Type.vt != VT_UI4)
            Refusal = "interface type not reported";
        else if (Type.ulVal != 0)
            Refusal = "interface type " + std::to_string(Type.ulVal) +
                      " (IUnknown with virtual destructor), this reader needs 0";
    }
    if (Refusal.empty()) {
        FCreateObject = reinterpret_cast<TCreateObject>(MemGetProcAddress(FModule, "CreateObject"));
        if (!FCreateObject)
            Refusal = "CreateObject: " + LastLoaderError();
    }
    if (!Refusal.empty()) {
        FLoadError = "7-Zip library not usable: " + Refusal;
        ReleaseMemoryLibrary(FModule);
        FModule = nullptr;
    }
}

TArchiveLibrary::~TArchiveLibrary()
{
    ReleaseMemoryLibrary(FModule);
}

TArchiveFormat::TArchiveFormat(std::string_view Image) : TArchiveLibrary(Image)
{
    if (FModule)
        FGetHandlerProperty =
            reinterpret_cast<TGetHandlerProperty>(MemGetProcAddress(FModule, "GetHandlerProperty"));
}

// ---- TArchiveReader ----------------------------------------------------------

TArchiveReader::TArchiveReader(std::string_view Image) : TArchiveFormat(Image) {}

TArchiveReader::~TArchiveReader()
{
    // Every object of the library goes before the library itself.
    CloseArchive();
}

IInArchive* TArchiveReader::LibraryArchive()
{
    if (FArchive)
        return FArchive;
    if (!FCreateObject)
        throw EArchiveError(FLoadError);
    void* Object = nullptr;
    HRESULT Result = FCreateObject(&FClassId, &IID_IInArchive, &Object);
    if (Result < 0 || !Object)
        Raise("CreateObject", ResultText(Result < 0 ? Result : E_FAIL));
    FArchive = static_cast<IInArchive*>(Object);
    return FArchive;
}

void TArchiveReader::OpenArchiveStream(TArchiveStream& Stream)
{
    if (FInStream)
        CloseArchive();
    IInArchive* Archive = LibraryArchive();
    TOwnRef<TOpenCallback> Callback(new TOpenCallback);
    auto* InStream = static_cast<IInStream*>(new TStreamAdapter(Stream, nullptr));
    // As a pointer: a null one would let the handler search the whole stream.
    const uint64_t MaxStartPosition = 1 << 20;
    HRESULT Result = ArchiveOpen(Archive, InStream, &MaxStartPosition, Callback.Get());
    if (Result != S_OK) {
        ArchiveClose(Archive);
        InStream->Release();
        Raise("OpenArchive",
              (Callback->FPasswordAsked ? "encrypted, no password: " : "") + ResultText(Result));
    }
    FInStream = InStream;
}

void TArchiveReader::CloseArchive()
{
    if (FArchive) {
        ArchiveClose(FArchive);
        ArchiveRelease(FArchive);
        FArchive = nullptr;
    }
    if (FInStream) {
        FInStream->Release();
        FInStream = nullptr;
    }
}

uint32_t TArchiveReader::ItemCount()
{
    uint32_t Count = 0;
    HRESULT Result = ArchiveItemCount(LibraryArchive(), &Count);
    if (Result != S_OK)
        Raise("GetNumberOfItems", ResultText(Result));
    return Count;
}

bool TArchiveReader::ValidIndex(uint32_t Index)
{
    uint32_t Count = 0;
    return FArchive && ArchiveItemCount(FArchive, &Count) == S_OK && Index < Count;
}

std::string TArchiveReader::ItemPathOf(uint32_t Index)
{
    TVariant Value;
    if (!ValidIndex(Index))
        return {};
    ArchiveProperty(FArchive, Index, kpidPath, &Value);
    return Value.vt == VT_BSTR ? BstrToUtf8(Value.bstrVal) : std::string();
}

uint64_t TArchiveReader::ItemSizeOf(uint32_t Index)
{
    TVariant Value;
    if (!ValidIndex(Index))
        return 0;
    ArchiveProperty(FArchive, Index, kpidSize, &Value);
    if (Value.vt == VT_UI8)
        return Value.uhVal;
    return Value.vt == VT_UI4 ? Value.ulVal : 0;
}

bool TArchiveReader::ItemIsDirectory(uint32_t Index)
{
    TVariant Value;
    if (!ValidIndex(Index))
        return false;
    ArchiveProperty(FArchive, Index, kpidIsDir, &Value);
    return Value.vt == VT_BOOL && Value.boolVal != 0;
}

void TArchiveReader::ExtractItemToStream(uint32_t Index, std::string& Stream, bool Test)
{
    uint32_t Count = ItemCount();
    if (Index >= Count)
        Raise("Extract",
              "item " + std::to_string(Index) + " out of range (" + std::to_string(Count) + " items)");
    TOwnRef<TExtractCallback> Callback(new TExtractCallback(Index));
    HRESULT Result = ArchiveExtract(FArchive, &Index, 1, Test ? 1 : 0, Callback.Get());
    const std::string Item =
        "item " + std::to_string(Index) + (Callback->FPasswordAsked ? ": encrypted, no password: " : ": ");
    if (Result != S_OK)
        Raise("Extract", Item + ResultText(Result));
    // The library reports a damaged item only here; Extract itself succeeds.
    if (!Callback->FHaveResult)
        Raise("Extract", Item + "no result from the library");
    if (Callback->FResult != 0)
        Raise("Extract", Item + OperationResultText(Callback->FResult));
    if (!Test)
        Stream += Callback->FData;
}

// ---- NewArchiveReader ------------------------------------------------------------

std::unique_ptr<IArchiveReader> NewArchiveReader(std::string_view LibraryImage)
{
    auto Reader = std::make_unique<TArchiveReader>(LibraryImage);
    Reader->SetFormatClassId(CLSID_CFormat7z);
    return Reader;
}

std::unique_ptr<IArchiveReader> NewArchiveReader()
{
    std::optional<std::string_view> Image = FindResource("7z_dll");
    return NewArchiveReader(Image ? *Image : std::string_view());
}
