#include "Kv.Zip.Writer.h"

#include <memory>
#include <zlib.h>

#include "Kv.FS.Archive.h"
#include "Kv.Zip.Crypto.h"

namespace kv {

namespace {

constexpr size_t KReadBuffer = 262144;
constexpr size_t KDeflateOut = 65536;
constexpr size_t KMaxNameBytes = 60000;
constexpr uint32_t KUnixDirMode = 040755;
constexpr uint32_t KUnixFileMode = 0100644;

// Deflate without a zlib header, writing to ATarget as output fills up.
class TDeflater {
public:
    explicit TDeflater(TKvStream& ATarget) : FTarget(ATarget), FOut(KDeflateOut) {
        if (deflateInit2(&FZ, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK)
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

std::string TooLarge(const std::string& AName) {
    return AName + " is larger than 4 GB, which a zip file made here cannot hold";
}

[[noreturn]] void RaiseOutputTooLarge() {
    throw EKvFsError("A zip file made here cannot be larger than 4 GB");
}

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
    FOut.WriteAll(ABuffer, ACount);
    Count += ACount;
    return ACount;
}

TKvZipWriter::TKvZipWriter(TKvStream& AOut, const std::string& APassword, bool AWeak)
    : FOut(AOut), FPassword(APassword), FWeak(AWeak) {}

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

void TKvZipWriter::CheckLimits() {
    // 65534, not 65535: a count of 0xFFFF in the end record would announce zip64 records.
    if (FEntries.size() >= KZipMaxEntries)
        throw EKvFsError("A zip file made here can hold at most 65534 files");
    if (FOut.Count >= KZipMaxOutput)
        RaiseOutputTooLarge();
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

void TKvZipWriter::WriteLocalHeader(const TKvZipCentralEntry& AEntry) {
    PutU32(0x04034b50);
    PutU16(AEntry.VersionNeeded);
    PutU16(AEntry.Flags);
    PutU16(AEntry.Method);
    PutU16(AEntry.DosTime);
    PutU16(AEntry.DosDate);
    PutU32(0); // CRC and sizes follow in the data descriptor
    PutU32(0);
    PutU32(0);
    PutU16(static_cast<uint16_t>(AEntry.Name.size()));
    PutU16(static_cast<uint16_t>(AEntry.Extra.size()));
    Put(AEntry.Name.data(), AEntry.Name.size());
    Put(AEntry.Extra.data(), AEntry.Extra.size());
}

void TKvZipWriter::AddDirectory(const std::string& AName, TKvDateTime AModified) {
    CheckLimits();
    TKvZipCentralEntry entry;
    PrepareEntry(entry, AName, true, AModified);
    entry.Offset = FOut.Count;
    WriteLocalHeader(entry);
    FEntries.push_back(std::move(entry));
}

void TKvZipWriter::AddFile(const std::string& AName, TKvDateTime AModified, TKvStream& ASource,
                           int64_t ASize, const TKvZipProgress& AOnBytes) {
    CheckLimits();
    if (ASize > KZipMaxFileSize)
        throw EKvFsError(TooLarge(AName));
    TKvZipCentralEntry entry;
    PrepareEntry(entry, AName, false, AModified);
    if (FBuffer.empty())
        FBuffer.resize(KReadBuffer);

    // The announced size may be stale or unknown: only a source that gives nothing is empty.
    int64_t n = ASource.Read(FBuffer.data(), static_cast<int64_t>(FBuffer.size()));
    if (n <= 0) {
        entry.Offset = FOut.Count;
        WriteLocalHeader(entry);
        FEntries.push_back(std::move(entry));
        return;
    }

    const bool encrypt = !FPassword.empty();
    const bool aes = encrypt && !FWeak;
    entry.Flags |= 0x0008;
    entry.Method = 8;
    if (encrypt)
        entry.Flags |= 0x0001;
    if (aes) {
        entry.Method = 99;
        entry.VersionNeeded = 51;
        // Id 0x9901, 7 bytes: AE-2, "AE", AES-256, deflate inside.
        static const char KAesExtra[] = {'\x01', '\x99', '\x07', '\x00', '\x02', '\x00',
                                         'A',    'E',    '\x03', '\x08', '\x00'};
        entry.Extra.append(KAesExtra, sizeof(KAesExtra));
    }
    entry.Offset = FOut.Count;
    WriteLocalHeader(entry);
    const int64_t dataStart = FOut.Count;

    std::unique_ptr<TKvAesWriteStream> aesLayer;
    std::unique_ptr<TKvZipCryptoWriteStream> cryptoLayer;
    TKvStream* layer = &FOut;
    if (aes) {
        TKvBytes salt(AesSaltLength(3));
        FillRandom(salt.data(), salt.size());
        const int keyLength = AesKeyLength(3);
        TKvBytes keys = Pbkdf2HmacSha1(FPassword, salt, KAesIterations, 2 * keyLength + 2);
        Put(salt.data(), salt.size());
        Put(keys.data() + 2 * keyLength, KAesVerifierLength);
        aesLayer = std::make_unique<TKvAesWriteStream>(
            FOut, TKvBytes(keys.begin(), keys.begin() + keyLength),
            TKvBytes(keys.begin() + keyLength, keys.begin() + 2 * keyLength));
        layer = aesLayer.get();
    } else if (encrypt) {
        uint8_t head[12];
        FillRandom(head, sizeof(head));
        // With a data descriptor the check byte is the high byte of the time.
        head[11] = static_cast<uint8_t>(entry.DosTime >> 8);
        TKvZipCryptoKeys keys;
        keys.Init(FPassword);
        for (uint8_t& byte : head)
            byte = keys.Encrypt(byte);
        Put(head, sizeof(head));
        cryptoLayer = std::make_unique<TKvZipCryptoWriteStream>(FOut, keys);
        layer = cryptoLayer.get();
    }

    uint32_t crc = 0xFFFFFFFF;
    int64_t total = 0;
    {
        TDeflater deflater(*layer);
        while (n > 0) {
            crc = UpdateCrc32(crc, FBuffer.data(), static_cast<size_t>(n));
            total += n;
            if (total > KZipMaxFileSize)
                throw EKvFsError(TooLarge(AName));
            deflater.Write(FBuffer.data(), static_cast<size_t>(n));
            if (AOnBytes)
                AOnBytes(n);
            n = ASource.Read(FBuffer.data(), static_cast<int64_t>(FBuffer.size()));
        }
        deflater.Finish();
    }
    if (aesLayer)
        aesLayer->WriteAuthCode();

    entry.Comp = FOut.Count - dataStart;
    entry.Size = total;
    entry.Crc = aes ? 0 : ~crc; // AE-2 leaves the integrity to the authentication code
    if (entry.Comp > KZipMaxFileSize)
        RaiseOutputTooLarge();
    PutU32(0x08074b50);
    PutU32(entry.Crc);
    PutU32(static_cast<uint32_t>(entry.Comp));
    PutU32(static_cast<uint32_t>(entry.Size));
    FEntries.push_back(std::move(entry));
}

void TKvZipWriter::Finish() {
    const int64_t directoryStart = FOut.Count;
    for (const auto& entry : FEntries) {
        PutU32(0x02014b50);
        // Made by Unix: Info-ZIP takes names from "MS-DOS" archives for OEM text and garbles
        // UTF-8 ones, and it needs the mode bits below to give extracted files permissions.
        PutU16(static_cast<uint16_t>((3 << 8) | entry.VersionNeeded));
        PutU16(entry.VersionNeeded);
        PutU16(entry.Flags);
        PutU16(entry.Method);
        PutU16(entry.DosTime);
        PutU16(entry.DosDate);
        PutU32(entry.Crc);
        PutU32(static_cast<uint32_t>(entry.Comp));
        PutU32(static_cast<uint32_t>(entry.Size));
        PutU16(static_cast<uint16_t>(entry.Name.size()));
        PutU16(static_cast<uint16_t>(entry.Extra.size()));
        PutU16(0); // comment
        PutU16(0); // disk
        PutU16(0); // internal attributes
        PutU32(entry.IsDir ? (KUnixDirMode << 16) | 0x10 : KUnixFileMode << 16);
        PutU32(static_cast<uint32_t>(entry.Offset));
        Put(entry.Name.data(), entry.Name.size());
        Put(entry.Extra.data(), entry.Extra.size());
    }
    const int64_t directorySize = FOut.Count - directoryStart;
    if (FOut.Count >= 0xFFFFFFF0)
        RaiseOutputTooLarge();
    PutU32(0x06054b50);
    PutU16(0);
    PutU16(0);
    PutU16(static_cast<uint16_t>(FEntries.size()));
    PutU16(static_cast<uint16_t>(FEntries.size()));
    PutU32(static_cast<uint32_t>(directorySize));
    PutU32(static_cast<uint32_t>(directoryStart));
    PutU16(0);
}

} // namespace kv
