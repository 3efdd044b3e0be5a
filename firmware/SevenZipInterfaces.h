#pragma once
// The 7-Zip library's interfaces, as far as the archive reader uses them.
#include "firmware/ArchiveReader.h"

#include <cstdint>

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
