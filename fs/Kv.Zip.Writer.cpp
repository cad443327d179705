#include "Kv.Zip.Writer.h"

#include <memory>
#include <zlib.h>

#include "Kv.FS.Archive.h"
#include "Kv.Zip.Crypto.h"

namespace kv {

namespace {

constexpr size_t KReadBuffer = 262144;
constexpr size_t KDeflateOut = 65536;
constexpr size_t KOutputBuffer = 262144;
constexpr size_t KMaxNameBytes = 60000;
constexpr uint32_t KUnixDirMode = 040755;
constexpr uint32_t KUnixFileMode = 0100644;

// Deflate without a zlib header, writing to ATarget as output fills up.
class TDeflater {
public:
    explicit TDeflater(TKvStream& ATarget, int ALevel = Z_DEFAULT_COMPRESSION)
        : FTarget(ATarget), FOut(KDeflateOut) {
        if (deflateInit2(&FZ, ALevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
    }
    ~TDeflater() { deflateEnd(&FZ); }
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;

    void Write(const uint8_t* AData, size_t ACount) {
        FZ.next_in = const_cast<Bytef*>(AData);
        FZ.avail_in = static_cast<uInt>(ACount);
        while (FZ.avail_in > 0)
            Step(Z_NO_FLUSH);
    }
    void Finish() {
        while (Step(Z_FINISH) != Z_STREAM_END) {
        }
    }

private:
    int Step(int AFlush) {
        FZ.next_out = FOut.data();
        FZ.avail_out = static_cast<uInt>(FOut.size());
        int result = deflate(&FZ, AFlush);
        if (result == Z_STREAM_ERROR)
            throw EKvFsError("The compression library failed");
        size_t produced = FOut.size() - FZ.avail_out;
        if (produced > 0)
            FTarget.WriteAll(FOut.data(), static_cast<int64_t>(produced));
        return result;
    }

    TKvStream& FTarget;
    std::vector<Bytef> FOut;
    z_stream FZ{};
};

// Collects deflated data in memory.
class TStringSink final : public TKvStream {
public:
    explicit TStringSink(std::string& ATarget) : FTarget(ATarget) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FTarget.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount));
        return ACount;
    }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return static_cast<int64_t>(FTarget.size()); }

private:
    std::string& FTarget;
};

constexpr uint32_t KAll32 = 0xFFFFFFFF;

} // namespace

std::string ZipEntryName(const std::string& AName, bool AIsDir) {
    std::string name = AName;
    for (char& c : name)
        if (c == '\\')
            c = '/';
    name.erase(0, name.find_first_not_of('/') == std::string::npos ? name.size()
                                                                   : name.find_first_not_of('/'));
    if (AIsDir && (name.empty() || name.back() != '/'))
        name += '/';
    return name;
}

void CheckZipEntryName(const std::string& AName, bool AIsDir) {
    std::string name = ZipEntryName(AName, AIsDir);
    bool escapes = false;
    for (size_t start = 0; start <= name.size();) {
        size_t slash = name.find('/', start);
        size_t end = slash == std::string::npos ? name.size() : slash;
        if (name.compare(start, end - start, "..") == 0)
            escapes = true;
        start = end + 1;
    }
    // ".." would make the entry land outside the folder it is extracted to.
    if (name.empty() || name.size() > KMaxNameBytes || escapes)
        throw EKvFsError("The name \"" + AName + "\" cannot be stored in a zip file");
}

void ToDosDateTime(TKvDateTime AWhen, uint16_t& ADate, uint16_t& ATime) {
    static const TKvDateTime first = EncodeDateTime({1980, 1, 1, 0, 0, 0, 0});
    static const TKvDateTime last = EncodeDateTime({2107, 12, 31, 0, 0, 0, 0});
    if (!(AWhen >= first && AWhen <= last))
        AWhen = NowDateTime();
    TKvDateParts parts = DecodeDateTime(AWhen);
    ADate = static_cast<uint16_t>((parts.Year - 1980) * 512 + parts.Month * 32 + parts.Day);
    ATime = static_cast<uint16_t>(parts.Hour * 2048 + parts.Minute * 32 + parts.Second / 2);
}

int64_t TKvZipWriter::TCountingStream::Read(void*, int64_t) {
    throw EKvFsError("This stream is write-only");
}

int64_t TKvZipWriter::TCountingStream::Write(const void* ABuffer, int64_t ACount) {
    if (static_cast<size_t>(ACount) + FPending.size() > KOutputBuffer)
        Flush();
    if (static_cast<size_t>(ACount) >= KOutputBuffer)
        FOut.WriteAll(ABuffer, ACount);
    else
        FPending.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount));
    Count += ACount;
    return ACount;
}

void TKvZipWriter::TCountingStream::Flush() {
    if (FPending.empty())
        return;
    FOut.WriteAll(FPending.data(), static_cast<int64_t>(FPending.size()));
    FPending.clear();
}

TKvDeflated DeflateAll(TKvStream& ASource, const TKvZipProgress& AOnBytes) {
    TKvDeflated result;
    std::vector<uint8_t> buffer(KReadBuffer);
    int64_t n = ASource.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
    if (n <= 0)
        return result;
    TStringSink sink(result.Bytes);
    TDeflater deflater(sink);
    uint32_t crc = 0xFFFFFFFF;
    result.Size = 0;
    while (n > 0) {
        crc = UpdateCrc32(crc, buffer.data(), static_cast<size_t>(n));
        result.Size += n;
        deflater.Write(buffer.data(), static_cast<size_t>(n));
        if (AOnBytes)
            AOnBytes(n);
        n = ASource.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
    }
    deflater.Finish();
    result.Crc = ~crc;
    return result;
}

TKvZipWriter::TKvZipWriter(TKvStream& AOut, const std::string& APassword, bool AWeak, int ALevel)
    : FOut(AOut), FPassword(APassword), FWeak(AWeak), FLevel(ALevel) {}

void TKvZipWriter::Put(const void* AData, size_t ACount) {
    FOut.WriteAll(AData, static_cast<int64_t>(ACount));
}

void TKvZipWriter::PutU16(uint16_t AValue) {
    uint8_t bytes[2] = {static_cast<uint8_t>(AValue), static_cast<uint8_t>(AValue >> 8)};
    Put(bytes, 2);
}

void TKvZipWriter::PutU32(uint32_t AValue) {
    uint8_t bytes[4] = {static_cast<uint8_t>(AValue), static_cast<uint8_t>(AValue >> 8),
                        static_cast<uint8_t>(AValue >> 16), static_cast<uint8_t>(AValue >> 24)};
    Put(bytes, 4);
}

void TKvZipWriter::PutU64(uint64_t AValue) {
    PutU32(static_cast<uint32_t>(AValue));
    PutU32(static_cast<uint32_t>(AValue >> 32));
}

void TKvZipWriter::PrepareEntry(TKvZipCentralEntry& AEntry, const std::string& AName, bool AIsDir,
                                TKvDateTime AModified) {
    CheckZipEntryName(AName, AIsDir);
    AEntry = {};
    AEntry.Name = ZipEntryName(AName, AIsDir);
    AEntry.IsDir = AIsDir;
    AEntry.Flags = 0x0800;
    AEntry.Method = 0;
    AEntry.VersionNeeded = 20;
    ToDosDateTime(AModified, AEntry.DosDate, AEntry.DosTime);
    // The DOS fields hold local time without its zone; other tools read the exact UTC time
    // from the extended timestamp (id 0x5455, flags 1: the modification time follows).
    int64_t seconds = 0, nanoseconds = 0;
    if (UnixFromDateTime(AModified, seconds, nanoseconds) && seconds >= 0 &&
        seconds <= 0x7FFFFFFF) {
        const auto value = static_cast<uint32_t>(seconds);
        const char field[] = {'\x55',
                              '\x54',
                              '\x05',
                              '\x00',
                              '\x01',
                              static_cast<char>(value),
                              static_cast<char>(value >> 8),
                              static_cast<char>(value >> 16),
                              static_cast<char>(value >> 24)};
        AEntry.Extra.assign(field, sizeof(field));
    }
}

void TKvZipWriter::WriteLocalHeader(const TKvZipCentralEntry& AEntry, bool AZip64) {
    PutU32(0x04034b50);
    PutU16(AEntry.VersionNeeded);
    PutU16(AEntry.Flags);
    PutU16(AEntry.Method);
    PutU16(AEntry.DosTime);
    PutU16(AEntry.DosDate);
    // CRC and sizes follow in the data descriptor; zip64 says so with all-ones sizes and a
    // zip64 field whose sizes are zero.
    PutU32(0);
    PutU32(AZip64 ? KAll32 : 0);
    PutU32(AZip64 ? KAll32 : 0);
    PutU16(static_cast<uint16_t>(AEntry.Name.size()));
    PutU16(static_cast<uint16_t>(AEntry.Extra.size() + (AZip64 ? 20 : 0)));
    Put(AEntry.Name.data(), AEntry.Name.size());
    if (AZip64) {
        PutU16(0x0001);
        PutU16(16);
        PutU64(0);
        PutU64(0);
    }
    Put(AEntry.Extra.data(), AEntry.Extra.size());
}

void TKvZipWriter::AddDirectory(const std::string& AName, TKvDateTime AModified) {
    TKvZipCentralEntry entry;
    PrepareEntry(entry, AName, true, AModified);
    entry.Offset = FOut.Count;
    WriteLocalHeader(entry, false);
    FEntries.push_back(std::move(entry));
}

void TKvZipWriter::AddEmpty(TKvZipCentralEntry& AEntry) {
    AEntry.Offset = FOut.Count;
    WriteLocalHeader(AEntry, false);
    FEntries.push_back(std::move(AEntry));
}

TKvStream& TKvZipWriter::BeginData(TKvZipCentralEntry& AEntry, uint16_t AMethod, bool AZip64) {
    const bool encrypt = !FPassword.empty();
    const bool aes = encrypt && !FWeak;
    AEntry.Flags |= 0x0008;
    AEntry.Method = AMethod;
    AEntry.Zip64Sizes = AZip64;
    if (AZip64)
        AEntry.VersionNeeded = 45;
    if (encrypt)
        AEntry.Flags |= 0x0001;
    if (aes) {
        AEntry.Method = 99;
        AEntry.VersionNeeded = 51;
        // Id 0x9901, 7 bytes: AE-2, "AE", AES-256, the method inside.
        const char aesExtra[] = {'\x01', '\x99', '\x07', '\x00', '\x02',
                                 '\x00', 'A',    'E',    '\x03', static_cast<char>(AMethod),
                                 '\x00'};
        AEntry.Extra.append(aesExtra, sizeof(aesExtra));
    }
    AEntry.Offset = FOut.Count;
    WriteLocalHeader(AEntry, AZip64);
    FDataStart = FOut.Count;
    FLayer.reset();
    if (aes) {
        TKvBytes salt(AesSaltLength(3));
        FillRandom(salt.data(), salt.size());
        const int keyLength = AesKeyLength(3);
        TKvBytes keys = Pbkdf2HmacSha1(FPassword, salt, KAesIterations, 2 * keyLength + 2);
        Put(salt.data(), salt.size());
        Put(keys.data() + 2 * keyLength, KAesVerifierLength);
        FLayer = std::make_unique<TKvAesWriteStream>(
            FOut, TKvBytes(keys.begin(), keys.begin() + keyLength),
            TKvBytes(keys.begin() + keyLength, keys.begin() + 2 * keyLength));
    } else if (encrypt) {
        uint8_t head[12];
        FillRandom(head, sizeof(head));
        // With a data descriptor the check byte is the high byte of the time.
        head[11] = static_cast<uint8_t>(AEntry.DosTime >> 8);
        TKvZipCryptoKeys keys;
        keys.Init(FPassword);
        for (uint8_t& byte : head)
            byte = keys.Encrypt(byte);
        Put(head, sizeof(head));
        FLayer = std::make_unique<TKvZipCryptoWriteStream>(FOut, keys);
    }
    return FLayer ? *FLayer : static_cast<TKvStream&>(FOut);
}

void TKvZipWriter::EndData(TKvZipCentralEntry& AEntry, uint32_t ACrc, int64_t ASize, bool AZip64,
                           const std::string& AName) {
    const bool aes = !FPassword.empty() && !FWeak;
    if (auto* aesLayer = dynamic_cast<TKvAesWriteStream*>(FLayer.get()))
        aesLayer->WriteAuthCode();
    FLayer.reset();
    AEntry.Comp = FOut.Count - FDataStart;
    AEntry.Size = ASize;
    AEntry.Crc = aes ? 0 : ACrc; // AE-2 leaves the integrity to the authentication code
    if (!AZip64 && (AEntry.Comp >= KAll32 || AEntry.Size >= KAll32))
        throw EKvFsError(AName + " grew past 4 GB while it was zipped");
    PutU32(0x08074b50);
    PutU32(AEntry.Crc);
    if (AZip64) {
        PutU64(static_cast<uint64_t>(AEntry.Comp));
        PutU64(static_cast<uint64_t>(AEntry.Size));
    } else {
        PutU32(static_cast<uint32_t>(AEntry.Comp));
        PutU32(static_cast<uint32_t>(AEntry.Size));
    }
    FEntries.push_back(std::move(AEntry));
}

void TKvZipWriter::AddFile(const std::string& AName, TKvDateTime AModified, TKvStream& ASource,
                           int64_t ASize, const TKvZipProgress& AOnBytes) {
    TKvZipCentralEntry entry;
    PrepareEntry(entry, AName, false, AModified);
    if (FBuffer.empty())
        FBuffer.resize(KReadBuffer);

    // The announced size may be stale or unknown: only a source that gives nothing is empty.
    int64_t n = ASource.Read(FBuffer.data(), static_cast<int64_t>(FBuffer.size()));
    if (n <= 0) {
        AddEmpty(entry);
        return;
    }
    const bool zip64 = ASize >= KZip64FromSize;
    TKvStream& layer = BeginData(entry, FLevel == 0 ? 0 : 8, zip64);
    uint32_t crc = 0xFFFFFFFF;
    int64_t total = 0;
    auto pass = [&](auto&& AWrite) {
        while (n > 0) {
            crc = UpdateCrc32(crc, FBuffer.data(), static_cast<size_t>(n));
            total += n;
            AWrite(FBuffer.data(), static_cast<size_t>(n));
            if (AOnBytes)
                AOnBytes(n);
            n = ASource.Read(FBuffer.data(), static_cast<int64_t>(FBuffer.size()));
        }
    };
    if (FLevel == 0) {
        pass([&](const uint8_t* AData, size_t ACount) {
            layer.WriteAll(AData, static_cast<int64_t>(ACount));
        });
    } else {
        TDeflater deflater(layer, FLevel);
        pass([&](const uint8_t* AData, size_t ACount) { deflater.Write(AData, ACount); });
        deflater.Finish();
    }
    EndData(entry, ~crc, total, zip64, AName);
}

void TKvZipWriter::AddDeflated(const std::string& AName, TKvDateTime AModified,
                               const TKvDeflated& AData) {
    TKvZipCentralEntry entry;
    PrepareEntry(entry, AName, false, AModified);
    if (AData.Size < 0) {
        AddEmpty(entry);
        return;
    }
    const bool zip64 =
        AData.Size >= KZip64FromSize || static_cast<int64_t>(AData.Bytes.size()) >= KZip64FromSize;
    TKvStream& layer = BeginData(entry, 8, zip64);
    layer.WriteAll(AData.Bytes.data(), static_cast<int64_t>(AData.Bytes.size()));
    EndData(entry, AData.Crc, AData.Size, zip64, AName);
}

void TKvZipWriter::Finish() {
    const int64_t directoryStart = FOut.Count;
    for (const auto& entry : FEntries) {
        // Zip64 values go in the order size, compressed size, offset, each only when its
        // field cannot hold it; sizes always when the local header announced zip64.
        const bool wideSizes = entry.Zip64Sizes || entry.Size >= KAll32 || entry.Comp >= KAll32;
        const bool wideOffset = entry.Offset >= KAll32;
        const uint16_t zip64Length =
            static_cast<uint16_t>((wideSizes ? 16 : 0) + (wideOffset ? 8 : 0));
        const uint16_t version =
            zip64Length > 0 && entry.VersionNeeded < 45 ? 45 : entry.VersionNeeded;
        PutU32(0x02014b50);
        // Made by Unix: Info-ZIP takes names from "MS-DOS" archives for OEM text and garbles
        // UTF-8 ones, and it needs the mode bits below to give extracted files permissions.
        PutU16(static_cast<uint16_t>((3 << 8) | version));
        PutU16(version);
        PutU16(entry.Flags);
        PutU16(entry.Method);
        PutU16(entry.DosTime);
        PutU16(entry.DosDate);
        PutU32(entry.Crc);
        PutU32(wideSizes ? KAll32 : static_cast<uint32_t>(entry.Comp));
        PutU32(wideSizes ? KAll32 : static_cast<uint32_t>(entry.Size));
        PutU16(static_cast<uint16_t>(entry.Name.size()));
        PutU16(static_cast<uint16_t>(entry.Extra.size() + (zip64Length > 0 ? 4 + zip64Length : 0)));
        PutU16(0); // comment
        PutU16(0); // disk
        PutU16(0); // internal attributes
        PutU32(entry.IsDir ? (KUnixDirMode << 16) | 0x10 : KUnixFileMode << 16);
        PutU32(wideOffset ? KAll32 : static_cast<uint32_t>(entry.Offset));
        Put(entry.Name.data(), entry.Name.size());
        if (zip64Length > 0) {
            PutU16(0x0001);
            PutU16(zip64Length);
            if (wideSizes) {
                PutU64(static_cast<uint64_t>(entry.Size));
                PutU64(static_cast<uint64_t>(entry.Comp));
            }
            if (wideOffset)
                PutU64(static_cast<uint64_t>(entry.Offset));
        }
        Put(entry.Extra.data(), entry.Extra.size());
    }
    const int64_t directorySize = FOut.Count - directoryStart;
    const auto count = static_cast<int64_t>(FEntries.size());
    const bool wideCount = count >= 0xFFFF;
    const bool wideSize = directorySize >= KAll32;
    const bool wideStart = directoryStart >= KAll32;
    if (wideCount || wideSize || wideStart) {
        const int64_t end64 = FOut.Count;
        PutU32(0x06064b50);
        PutU64(44); // the record after this field
        PutU16((3 << 8) | 45);
        PutU16(45);
        PutU32(0); // this disk
        PutU32(0); // the disk of the directory
        PutU64(static_cast<uint64_t>(count));
        PutU64(static_cast<uint64_t>(count));
        PutU64(static_cast<uint64_t>(directorySize));
        PutU64(static_cast<uint64_t>(directoryStart));
        PutU32(0x07064b50); // the locator
        PutU32(0);
        PutU64(static_cast<uint64_t>(end64));
        PutU32(1); // disks
    }
    PutU32(0x06054b50);
    PutU16(0);
    PutU16(0);
    PutU16(wideCount ? 0xFFFF : static_cast<uint16_t>(count));
    PutU16(wideCount ? 0xFFFF : static_cast<uint16_t>(count));
    PutU32(wideSize ? KAll32 : static_cast<uint32_t>(directorySize));
    PutU32(wideStart ? KAll32 : static_cast<uint32_t>(directoryStart));
    PutU16(0);
    FOut.Flush();
}

} // namespace kv
