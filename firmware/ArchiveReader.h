// Reads 7z archives held in memory through the 7-Zip library (7z.so of
// p7zip-full, 7-Zip 23 or later), itself loaded from memory by MemModule.
//
// Usage (all on one thread; the library's own worker threads never reach the
// caller):
//
//   std::string Archive = ...;               // must outlive the open archive
//   auto Reader = NewArchiveReader();        // loads a private copy of the library
//   TArchiveStream Stream(Archive);
//   Reader->OpenArchiveStream(Stream);       // EArchiveError when it is no 7z archive
//   for (uint32_t I = 0; I < Reader->ItemCount(); ++I)
//       if (!Reader->ItemIsDirectory(I)) {
//           std::string Bytes;
//           Reader->ExtractItemToStream(I, Bytes, false);
//       }
//   Reader->CloseArchive();
//
// The reader is owned through std::unique_ptr; destroying it closes the archive
// and unloads its copy of the library.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

struct TMemoryModule;

namespace SevenZip
{
class IInArchive;
class IInStream;
} // namespace SevenZip

// A failing library call; the message names the operation and the result code,
// e.g. "OpenArchive failed: S_FALSE (0x00000001)".
class EArchiveError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

struct TGUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
    bool operator==(const TGUID&) const = default;
};

// Class id of the library's 7z format handler.
extern const TGUID CLSID_CFormat7z;

// A seekable view of a byte buffer the caller owns. Reading and writing follow
// the library's stream rules: seeking past the end is allowed (reads there give
// 0 bytes, writes there fill the gap with zeros), seeking before the start is
// refused.
class TArchiveStream
{
  public:
    explicit TArchiveStream(std::string& Buffer) : FBuffer(&Buffer) {}

    std::string& Buffer() const { return *FBuffer; }
    uint64_t Position() const { return FPosition; }
    uint64_t Size() const { return FBuffer->size(); }

    // Copies up to Size bytes from the position; returns how many.
    uint32_t Read(void* Data, uint32_t Size);
    // Origin 0 from the start, 1 from the position, 2 from the end. False, and
    // the position unchanged, for an unknown origin or a target before 0.
    bool Seek(int64_t Offset, uint32_t Origin, uint64_t* NewPosition = nullptr);
    // Writes at the position (growing the buffer); throws std::bad_alloc when
    // the buffer cannot grow.
    void Write(const void* Data, uint32_t Size);
    void SetSize(uint64_t Size);

  private:
    std::string* FBuffer;
    uint64_t FPosition = 0;
};

// The archive reader the tool works with.
class IArchiveReader
{
  public:
    virtual ~IArchiveReader() = default;

    // Opens the 7z archive that starts within the first MiB of the stream. The
    // stream's buffer is read again while items are extracted: keep it alive
    // and unchanged until CloseArchive. Raises EArchiveError.
    virtual void OpenArchiveStream(TArchiveStream& Stream) = 0;
    // Closes the archive and drops the library's archive object. Never raises.
    virtual void CloseArchive() = 0;
    // Items, folders included (0 before an archive is open). Raises EArchiveError.
    virtual uint32_t ItemCount() = 0;
    // The item's path in the archive as UTF-8, folders separated by "/".
    // Empty text for an index at or above ItemCount.
    virtual std::string ItemPathOf(uint32_t Index) = 0;
    // Unpacked size in bytes; 0 for an index at or above ItemCount.
    virtual uint64_t ItemSizeOf(uint32_t Index) = 0;
    // False for an index at or above ItemCount.
    virtual bool ItemIsDirectory(uint32_t Index) = 0;
    // Appends the item's bytes to Stream. With Test the item is decoded and
    // checked but nothing is written. Raises EArchiveError for an index out of
    // range, a failing library call, or an item that does not decode cleanly
    // (damaged data, CRC mismatch, missing password); Stream is then unchanged.
    virtual void ExtractItemToStream(uint32_t Index, std::string& Stream, bool Test) = 0;
    // Format handler used for the next library archive object.
    virtual void SetFormatClassId(const TGUID& ClassId) = 0;
    virtual TGUID GetFormatClassId() const = 0;
};

// A 7z reader over its own copy of the library taken from the embedded resource
// "7z_dll". Never fails: when the library cannot be loaded, the reader's
// operations raise EArchiveError with the reason.
std::unique_ptr<IArchiveReader> NewArchiveReader();
// The same over the library image given (tests, tools).
std::unique_ptr<IArchiveReader> NewArchiveReader(std::string_view LibraryImage);

// The library loaded from memory and its "CreateObject" entry. The image is
// copied into the loader's memory file, so no copy of it is kept here.
class TArchiveLibrary
{
  public:
    using TCreateObject = int32_t (*)(const TGUID* ClassId, const TGUID* InterfaceId, void** Object);

    explicit TArchiveLibrary(std::string_view Image);
    ~TArchiveLibrary();
    TArchiveLibrary(const TArchiveLibrary&) = delete;
    TArchiveLibrary& operator=(const TArchiveLibrary&) = delete;

    // Why the library is unusable; empty when CreateObject is available.
    const std::string& LoadError() const { return FLoadError; }

  protected:
    TMemoryModule* FModule = nullptr;
    TCreateObject FCreateObject = nullptr;
    std::string FLoadError;
};

// Adds the format handler: its class id and the "GetHandlerProperty" entry.
class TArchiveFormat : public TArchiveLibrary
{
  public:
    using TGetHandlerProperty = int32_t (*)(uint32_t PropId, void* Value);

    explicit TArchiveFormat(std::string_view Image);

  protected:
    TGetHandlerProperty FGetHandlerProperty = nullptr;
    TGUID FClassId{};
};

class TArchiveReader final : public TArchiveFormat, public IArchiveReader
{
  public:
    explicit TArchiveReader(std::string_view Image);
    ~TArchiveReader() override;

    void OpenArchiveStream(TArchiveStream& Stream) override;
    void CloseArchive() override;
    uint32_t ItemCount() override;
    std::string ItemPathOf(uint32_t Index) override;
    uint64_t ItemSizeOf(uint32_t Index) override;
    bool ItemIsDirectory(uint32_t Index) override;
    void ExtractItemToStream(uint32_t Index, std::string& Stream, bool Test) override;
    void SetFormatClassId(const TGUID& ClassId) override { FClassId = ClassId; }
    TGUID GetFormatClassId() const override { return FClassId; }

  private:
    // The library's archive object, created on first use.
    SevenZip::IInArchive* LibraryArchive();
    // The library does not check item indices; every property read goes through here.
    bool ValidIndex(uint32_t Index);

    SevenZip::IInArchive* FArchive = nullptr;
    SevenZip::IInStream* FInStream = nullptr;
};
