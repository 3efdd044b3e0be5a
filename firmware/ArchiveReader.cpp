#include "firmware/ArchiveReader.h"

#include "firmware/MemModule.h"
#include "firmware/Resources.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

const TGUID CLSID_CFormat7z = {0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

// The library's interfaces as the Linux build of 7-Zip 23+ lays them out:
// plain Itanium virtual calls, IUnknown without a virtual destructor, wchar_t
// of 4 bytes holding UTF-16 code units. Kept in a namespace so that none of
// these names can interpose on the library's own (it exports everything).
namespace SevenZip
{

using HRESULT = int32_t;
using ULONG = uint32_t;
using PROPID = uint32_t;
using BSTR = wchar_t*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT E_NEGATIVE_SEEK = static_cast<HRESULT>(0x80070083);
constexpr HRESULT E_INTERNAL_ERROR = static_cast<HRESULT>(0x8007054F);

enum : uint16_t { VT_EMPTY = 0, VT_BSTR = 8, VT_BOOL = 11, VT_UI4 = 19, VT_UI8 = 21 };

struct PROPVARIANT {
    uint16_t vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        int16_t boolVal;
        uint32_t ulVal;
        uint64_t uhVal;
        BSTR bstrVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 16);
static_assert(sizeof(wchar_t) == 4, "7z.so is built with a 4-byte wchar_t");

enum : PROPID { kpidPath = 3, kpidIsDir = 6, kpidSize = 7 };
enum : int32_t { kExtract = 0, kTest = 1, kSkip = 2 };
enum : PROPID { kModulePropInterfaceType = 0 };

constexpr TGUID Iid(uint8_t Group, uint8_t Sub)
{
    return {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, Group, 0x00, Sub, 0x00, 0x00}};
}

constexpr TGUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr TGUID IID_ISequentialInStream = Iid(0x03, 0x01);
constexpr TGUID IID_ISequentialOutStream = Iid(0x03, 0x02);
constexpr TGUID IID_IInStream = Iid(0x03, 0x03);
constexpr TGUID IID_IOutStream = Iid(0x03, 0x04);
constexpr TGUID IID_IStreamGetSize = Iid(0x03, 0x06);
constexpr TGUID IID_IOutStreamFinish = Iid(0x03, 0x07);
constexpr TGUID IID_IProgress = Iid(0x00, 0x05);
constexpr TGUID IID_ICryptoGetTextPassword = Iid(0x05, 0x10);
constexpr TGUID IID_IArchiveOpenCallback = Iid(0x06, 0x10);
constexpr TGUID IID_IArchiveExtractCallback = Iid(0x06, 0x20);
constexpr TGUID IID_IInArchive = Iid(0x06, 0x60);

class IUnknown
{
  public:
    virtual HRESULT QueryInterface(const TGUID& Iid, void** Object) noexcept = 0;
    virtual ULONG AddRef() noexcept = 0;
    virtual ULONG Release() noexcept = 0;

  protected:
    ~IUnknown() = default;
};

class ISequentialInStream : public IUnknown
{
  public:
    virtual HRESULT Read(void* Data, uint32_t Size, uint32_t* Processed) noexcept = 0;

  protected:
    ~ISequentialInStream() = default;
};

class IInStream : public ISequentialInStream
{
  public:
    virtual HRESULT Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition) noexcept = 0;

  protected:
    ~IInStream() = default;
};

class IStreamGetSize : public IUnknown
{
  public:
    virtual HRESULT GetSize(uint64_t* Size) noexcept = 0;

  protected:
    ~IStreamGetSize() = default;
};

class ISequentialOutStream : public IUnknown
{
  public:
    virtual HRESULT Write(const void* Data, uint32_t Size, uint32_t* Processed) noexcept = 0;

  protected:
    ~ISequentialOutStream() = default;
};

class IOutStream : public ISequentialOutStream
{
  public:
    virtual HRESULT Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition) noexcept = 0;
    virtual HRESULT SetSize(uint64_t NewSize) noexcept = 0;

  protected:
    ~IOutStream() = default;
};

// Was IOutStreamFlush::Flush before 7-Zip 23: same IID, same single slot.
class IOutStreamFinish : public IUnknown
{
  public:
    virtual HRESULT OutStreamFinish() noexcept = 0;

  protected:
    ~IOutStreamFinish() = default;
};

class IProgress : public IUnknown
{
  public:
    virtual HRESULT SetTotal(uint64_t Total) noexcept = 0;
    virtual HRESULT SetCompleted(const uint64_t* Completed) noexcept = 0;

  protected:
    ~IProgress() = default;
};

class IArchiveOpenCallback : public IUnknown
{
  public:
    virtual HRESULT SetTotal(const uint64_t* Files, const uint64_t* Bytes) noexcept = 0;
    virtual HRESULT SetCompleted(const uint64_t* Files, const uint64_t* Bytes) noexcept = 0;

  protected:
    ~IArchiveOpenCallback() = default;
};

class IArchiveExtractCallback : public IProgress
{
  public:
    virtual HRESULT GetStream(uint32_t Index, ISequentialOutStream** Stream, int32_t AskMode) noexcept = 0;
    virtual HRESULT PrepareOperation(int32_t AskMode) noexcept = 0;
    virtual HRESULT SetOperationResult(int32_t Result) noexcept = 0;

  protected:
    ~IArchiveExtractCallback() = default;
};

class ICryptoGetTextPassword : public IUnknown
{
  public:
    virtual HRESULT CryptoGetTextPassword(BSTR* Password) noexcept = 0;

  protected:
    ~ICryptoGetTextPassword() = default;
};

class IInArchive : public IUnknown
{
  public:
    virtual HRESULT Open(IInStream* Stream, const uint64_t* MaxCheckStartPosition,
                         IArchiveOpenCallback* Callback) noexcept = 0;
    virtual HRESULT Close() noexcept = 0;
    virtual HRESULT GetNumberOfItems(uint32_t* Count) noexcept = 0;
    virtual HRESULT GetProperty(uint32_t Index, PROPID PropId, PROPVARIANT* Value) noexcept = 0;
    virtual HRESULT Extract(const uint32_t* Indices, uint32_t Count, int32_t TestMode,
                            IArchiveExtractCallback* Callback) noexcept = 0;
    virtual HRESULT GetArchiveProperty(PROPID PropId, PROPVARIANT* Value) noexcept = 0;
    virtual HRESULT GetNumberOfProperties(uint32_t* Count) noexcept = 0;
    virtual HRESULT GetPropertyInfo(uint32_t Index, BSTR* Name, PROPID* PropId,
                                    uint16_t* VarType) noexcept = 0;
    virtual HRESULT GetNumberOfArchiveProperties(uint32_t* Count) noexcept = 0;
    virtual HRESULT GetArchivePropertyInfo(uint32_t Index, BSTR* Name, PROPID* PropId,
                                           uint16_t* VarType) noexcept = 0;

  protected:
    ~IInArchive() = default;
};

} // namespace SevenZip

using namespace SevenZip;

namespace
{

// Objects the library made have its own type information, which UBSan's vptr
// check cannot match with the declarations above; every call on them goes
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
