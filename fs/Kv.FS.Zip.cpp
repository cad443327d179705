#include "Kv.FS.Zip.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <zlib.h>

#include "Kv.FS.Local.h"
#include "Kv.Zip.Crypto.h"

namespace kv {

namespace {

constexpr uint32_t KEndSignature = 0x06054b50;
constexpr uint32_t KLocatorSignature = 0x07064b50;
constexpr uint32_t KEnd64Signature = 0x06064b50;
constexpr uint32_t KCentralSignature = 0x02014b50;
constexpr uint32_t KLocalSignature = 0x04034b50;
constexpr int64_t KMaxTail = 22 + 65535;
constexpr int64_t KMaxDirectory = 0x40000000;
constexpr int64_t KPasswordReadLimit = 0x400000;
constexpr size_t KChunk = 65536;
constexpr int64_t KMaxLinkTarget = 4095;
constexpr int64_t KNtfsToUnix = 11644473600; // seconds from 1601 to 1970

[[noreturn]] void Damaged() {
    throw EKvFsError("The zip file is damaged");
}

std::string Format(const char* AFormat, const std::string& AName) {
    std::string text = AFormat;
    auto at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, AName);
}

// Reads exactly ACount bytes at AOffset, or fails with AOnShort.
template <typename TFail>
void ReadAt(TKvStream& AStream, int64_t AOffset, void* ABuffer, int64_t ACount, TFail&& AOnShort) {
    AStream.Seek(AOffset, soBegin);
    if (AStream.ReadFully(ABuffer, ACount) != ACount)
        AOnShort();
}

// A failure of the deflate data itself; the entry stream words it for the user.
class EKvInflate : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raw deflate data of an entry, inflated with zlib.
class TKvInflateStream final : public TKvStream {
public:
    explicit TKvInflateStream(TKvStreamPtr AInner) : FInner(std::move(AInner)), FInput(KChunk) {
        if (inflateInit2(&FZ, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
    }
    ~TKvInflateStream() override { inflateEnd(&FZ); }

    int64_t Read(void* ABuffer, int64_t ACount) override {
        if (FEnded || ACount <= 0)
            return 0;
        uInt room = static_cast<uInt>(std::min<int64_t>(ACount, UINT_MAX));
        FZ.next_out = static_cast<Bytef*>(ABuffer);
        FZ.avail_out = room;
        while (FZ.avail_out == room) {
            if (FZ.avail_in == 0) {
                int64_t n = FInner->Read(FInput.data(), static_cast<int64_t>(FInput.size()));
                if (n <= 0)
                    break; // the data ends early; the entry stream reports it
                FZ.next_in = FInput.data();
                FZ.avail_in = static_cast<uInt>(n);
            }
            int result = inflate(&FZ, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                FEnded = true;
                break;
            }
            if (result != Z_OK && !(result == Z_BUF_ERROR && FZ.avail_in == 0))
                throw EKvInflate(FZ.msg ? FZ.msg : "invalid deflate data");
        }
        return room - FZ.avail_out;
    }
    int64_t Write(const void*, int64_t) override { throw EKvFsError(KArchivesReadOnly); }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return static_cast<int64_t>(FZ.total_out); }
    int64_t Size() override { return FInner->Size(); }

private:
    TKvStreamPtr FInner;
    std::vector<Bytef> FInput;
    z_stream FZ{};
    bool FEnded = false;
};

bool IsEncrypted(const TZipEntryInfo& AInfo) {
    return (AInfo.Flags & 1) != 0;
}

// Encrypted in a way a password given here can open: ZipCrypto or WinZip AES.
bool CanDecrypt(const TZipEntryInfo& AInfo) {
    return IsEncrypted(AInfo) && AInfo.AesStrength <= 3 &&
           !(AInfo.AesStrength == 0 && (AInfo.Flags & 0x40) != 0);
}

bool MethodSupported(const TZipEntryInfo& AInfo) {
    return AInfo.Method == 0 || AInfo.Method == 8;
}

// The methods other tools write, so the message says what the entry needs.
std::string MethodName(uint16_t AMethod) {
    switch (AMethod) {
    case 9: return "Deflate64; ";
    case 12: return "bzip2; ";
    case 14: return "LZMA; ";
    case 93: return "Zstandard; ";
    case 95: return "XZ; ";
    case 98: return "PPMd; ";
    default: return {};
    }
}

// An entry this reader cannot unpack or decrypt, whatever the password.
class EKvUnsupported : public EKvFsError {
public:
    using EKvFsError::EKvFsError;
};

// The decrypting and inflating chain of one entry. AAes receives the AES stream, when there
// is one, so the end check can reach it.
TKvStreamPtr OpenRaw(const std::string& AFile, const std::string& AName, const TZipEntryInfo& AInfo,
                     const std::string& APassword, TKvAesReadStream** AAes) {
    *AAes = nullptr;
    const bool encrypted = IsEncrypted(AInfo);
    if (encrypted && AInfo.AesStrength == 0 && (AInfo.Flags & 0x40) != 0)
        throw EKvUnsupported(Format("%s: this kind of encryption is not supported", AName));
    if (AInfo.AesStrength > 3)
        throw EKvUnsupported(Format("%s: unknown AES strength in the zip file", AName));
    // The method is checked after the password: a right password must be known as right even
    // when an entry it opens is packed in a way this reader cannot unpack.
    auto checkMethod = [&] {
        if (AInfo.Method != 0 && AInfo.Method != 8)
            throw EKvUnsupported(AName + ": unsupported compression method " +
                                 std::to_string(AInfo.Method) + " (" + MethodName(AInfo.Method) +
                                 "only stored and deflate)");
    };
    if (!encrypted)
        checkMethod();

    TKvStreamPtr file = LocalFs()->OpenRead(AFile);
    const int64_t fileSize = file->Size();
    if (AInfo.LocalOffset > fileSize - 30)
        throw EKvFsError(Format("%s: the local header is damaged", AName));
    uint8_t header[30];
    ReadAt(*file, AInfo.LocalOffset, header, 30,
           [&] { throw EKvFsError(Format("%s: the local header is damaged", AName)); });
    if (ReadU32LE(header, 0) != KLocalSignature)
        throw EKvFsError(Format("%s: the local header is damaged", AName));
    // LocalOffset lies within the file (30 bytes were read there), so this cannot overflow.
    const int64_t dataStart =
        AInfo.LocalOffset + 30 + ReadU16LE(header, 26) + ReadU16LE(header, 28);
    if (dataStart > fileSize || AInfo.CompressedSize > fileSize - dataStart)
        throw EKvFsError(Format("%s: the zip file is truncated", AName));

    TKvStreamPtr stream;
    if (encrypted && AInfo.AesStrength != 0) {
        const int saltLength = AesSaltLength(AInfo.AesStrength);
        const int keyLength = AesKeyLength(AInfo.AesStrength);
        if (AInfo.CompressedSize < saltLength + KAesVerifierLength + KAesAuthLength)
            throw EKvFsError(Format("%s: the encrypted data is too short", AName));
        TKvBytes salt(saltLength), verifier(KAesVerifierLength), code(KAesAuthLength);
        auto truncated = [&] { throw EKvFsError(Format("%s: the zip file is truncated", AName)); };
        ReadAt(*file, dataStart, salt.data(), saltLength, truncated);
        ReadAt(*file, dataStart + saltLength, verifier.data(), KAesVerifierLength, truncated);
        ReadAt(*file, dataStart + AInfo.CompressedSize - KAesAuthLength, code.data(),
               KAesAuthLength, truncated);
        TKvBytes keys = Pbkdf2HmacSha1(APassword, salt, KAesIterations, 2 * keyLength + 2);
        if (keys[2 * keyLength] != verifier[0] || keys[2 * keyLength + 1] != verifier[1])
            throw EKvFsError(Format("%s: wrong password", AName));
        checkMethod();
        auto slice = std::make_unique<TKvSliceStream>(
            std::move(file), dataStart + saltLength + KAesVerifierLength,
            AInfo.CompressedSize - saltLength - KAesVerifierLength - KAesAuthLength);
        auto aes = std::make_unique<TKvAesReadStream>(
            std::move(slice), TKvBytes(keys.begin(), keys.begin() + keyLength),
            TKvBytes(keys.begin() + keyLength, keys.begin() + 2 * keyLength), std::move(code));
        *AAes = aes.get();
        stream = std::move(aes);
    } else if (encrypted) {
        if (AInfo.CompressedSize < 12)
            throw EKvFsError(Format("%s: the encrypted data is too short", AName));
        uint8_t head[12];
        ReadAt(*file, dataStart, head, 12,
               [&] { throw EKvFsError(Format("%s: the zip file is truncated", AName)); });
        TKvZipCryptoKeys keys;
        keys.Init(APassword);
        for (uint8_t& byte : head)
            byte = keys.Decrypt(byte);
        // Writers that stream (flag bit 3) check against the time, the others against the CRC.
        const bool byCrc = head[11] == static_cast<uint8_t>(AInfo.Crc >> 24);
        const bool byTime =
            (AInfo.Flags & 8) != 0 && head[11] == static_cast<uint8_t>(AInfo.DosTime >> 8);
        if (!byCrc && !byTime)
            throw EKvFsError(Format("%s: wrong password", AName));
        checkMethod();
        auto slice = std::make_unique<TKvSliceStream>(std::move(file), dataStart + 12,
                                                      AInfo.CompressedSize - 12);
        stream = std::make_unique<TKvZipCryptoReadStream>(std::move(slice), keys);
    } else {
        stream = std::make_unique<TKvSliceStream>(std::move(file), dataStart, AInfo.CompressedSize);
    }
    if (AInfo.Method == 8)
        stream = std::make_unique<TKvInflateStream>(std::move(stream));
    return stream;
}

} // namespace

TKvDateTime DosToDateTime(uint16_t ADate, uint16_t ATime) {
    TKvDateParts parts;
    parts.Year = (ADate >> 9) + 1980;
    parts.Month = (ADate >> 5) & 0x0F;
    parts.Day = ADate & 0x1F;
    parts.Hour = ATime >> 11;
    parts.Minute = (ATime >> 5) & 0x3F;
    parts.Second = (ATime & 0x1F) * 2;
    static constexpr int KDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (parts.Month < 1 || parts.Month > 12 || parts.Day < 1 ||
        parts.Day > KDays[parts.Month - 1] || parts.Hour > 23 || parts.Minute > 59 ||
        parts.Second > 59)
        return 0;
    const bool leap = (parts.Year % 4 == 0 && parts.Year % 100 != 0) || parts.Year % 400 == 0;
    if (parts.Month == 2 && parts.Day == 29 && !leap)
        return 0;
    return EncodeDateTime(parts);
}

TKvZipEntryStream::TKvZipEntryStream(TKvStreamPtr AInner, std::string AName, int64_t ASize,
                                     uint32_t ACrc)
    : FInner(std::move(AInner)), FName(std::move(AName)), FExpectedSize(ASize), FExpectedCrc(ACrc) {
}

int64_t TKvZipEntryStream::Read(void* ABuffer, int64_t ACount) {
    const int64_t left = FExpectedSize - FCount;
    if (left <= 0 || ACount <= 0) {
        if (FCount == FExpectedSize)
            FinishEntry();
        return 0;
    }
    int64_t n;
    try {
        // Never more than the directory promised: inflated data beyond it is not delivered.
        n = FInner->Read(ABuffer, std::min(ACount, left));
    } catch (const EKvFsError&) {
        throw;
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        throw EKvFsError(FName + ": the entry is damaged (" + e.what() + ")" + Hint);
    }
    if (n <= 0)
        throw EKvFsError(FName + ": the entry is shorter than its header says" + Hint);
    FCrc = UpdateCrc32(FCrc, ABuffer, static_cast<size_t>(n));
    FCount += n;
    if (FCount == FExpectedSize)
        FinishEntry();
    return n;
}

void TKvZipEntryStream::FinishEntry() {
    if (FFinished)
        return;
    if (CheckCrc && ~FCrc != FExpectedCrc)
        throw EKvFsError(FName + ": the CRC does not match, so the file is damaged" + Hint);
    if (OnEnd) {
        try {
            OnEnd();
        } catch (const EKvFsError& e) {
            throw EKvFsError(FName + ": " + e.what() + Hint);
        }
    }
    FFinished = true;
}

int64_t TKvZipEntryStream::Write(const void*, int64_t) {
    throw EKvFsError(KArchivesReadOnly);
}

int64_t TKvZipEntryStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    int64_t from = AOrigin == soBegin ? 0 : AOrigin == soCurrent ? FCount : FExpectedSize;
    int64_t target = AOffset > 0 && from > INT64_MAX - AOffset ? FExpectedSize : from + AOffset;
    target = std::clamp<int64_t>(target, 0, std::max<int64_t>(FExpectedSize, 0));
    if (target < FCount)
        Rewind();
    std::vector<uint8_t> scratch;
    while (FCount < target) {
        if (scratch.empty())
            scratch.resize(KChunk);
        if (Read(scratch.data(), std::min<int64_t>(target - FCount, KChunk)) <= 0)
            break;
    }
    return FCount;
}

void TKvZipEntryStream::Rewind() {
    if (!Reopen)
        throw EKvFsError("This stream cannot seek");
    TKvStreamPtr fresh = Reopen();
    FInner = std::move(fresh);
    FCount = 0;
    FCrc = 0xFFFFFFFF;
    FFinished = false;
}

TKvZipFileSystem::TKvZipFileSystem(const std::string& AFile, const IKvCancelToken& AToken)
    : FFile(AFile) {
    FId = "zip:" + AFile;
    ReadDirectory(AToken);
}

void TKvZipFileSystem::ReadDirectory(const IKvCancelToken& AToken) {
    std::vector<uint8_t> directory;
    int64_t count = 0;
    {
        TKvStreamPtr file = LocalFs()->OpenRead(FFile);
        const int64_t fileSize = file->Size();
        if (fileSize < 22)
            throw EKvFsError("This is not a zip file");
        const int64_t tailLength = std::min(fileSize, KMaxTail);
        std::vector<uint8_t> tail(static_cast<size_t>(tailLength));
        ReadAt(*file, fileSize - tailLength, tail.data(), tailLength, Damaged);
        int64_t at = tailLength - 22;
        while (at >= 0 && ReadU32LE(tail.data(), static_cast<size_t>(at)) != KEndSignature)
            --at;
        if (at < 0)
            throw EKvFsError("This is not a zip file, or it is damaged (no end record)");
        const uint8_t* end = tail.data() + at;
        const int64_t endPos = fileSize - tailLength + at;
        count = ReadU16LE(end, 10);
        int64_t size = ReadU32LE(end, 12);
        int64_t offset = ReadU32LE(end, 16);
        uint32_t disk = ReadU16LE(end, 4), directoryDisk = ReadU16LE(end, 6), disks = 1;
        // Where the directory really ends: right before the end records.
        int64_t directoryEnd = endPos;
        if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
            if (endPos < 20)
                Damaged();
            uint8_t locator[20];
            ReadAt(*file, endPos - 20, locator, 20, Damaged);
            if (ReadU32LE(locator, 0) != KLocatorSignature)
                Damaged();
            auto end64Pos = static_cast<int64_t>(ReadU64LE(locator, 8));
            disks = ReadU32LE(locator, 16);
            uint8_t end64[56];
            auto isEnd64 = [&](int64_t AAt) {
                if (AAt < 0 || AAt > fileSize - 56)
                    return false;
                ReadAt(*file, AAt, end64, 56, Damaged);
                return ReadU32LE(end64, 0) == KEnd64Signature;
            };
            // With data in front the recorded place is short by its length; the record
            // itself sits just before the locator.
            if (!isEnd64(end64Pos) && !(end64Pos < endPos - 76 && isEnd64(end64Pos = endPos - 76)))
                Damaged();
            count = static_cast<int64_t>(ReadU64LE(end64, 32));
            size = static_cast<int64_t>(ReadU64LE(end64, 40));
            offset = static_cast<int64_t>(ReadU64LE(end64, 48));
            disk = ReadU32LE(end64, 16);
            directoryDisk = ReadU32LE(end64, 20);
            directoryEnd = end64Pos;
        }
        // Only the last part of a split zip ends with these records; the entries lie in the
        // other parts.
        if ((disk != 0 && disk != 0xFFFF) || (directoryDisk != 0 && directoryDisk != 0xFFFF) ||
            disks > 1)
            throw EKvFsError("This is the last part of a zip split over several files, which "
                             "cannot be browsed. Extract the parts together with 7-Zip, or join "
                             "them into one zip first");
        // Values from zip64 records reach 2^63: compare without adding them.
        if (count < 0 || size < 0 || offset < 0 || offset > fileSize || size > fileSize - offset)
            Damaged();
        // Data in front (a self-extracting program, padding): every recorded offset is short by
        // its length. Where the directory is not found at its offset but ends right before the
        // end records, as unzip and bsdtar take it.
        auto directoryAt = [&](int64_t AAt) {
            uint8_t signature[4];
            ReadAt(*file, AAt, signature, 4, Damaged);
            return ReadU32LE(signature, 0) == KCentralSignature;
        };
        if (size >= 4 && !directoryAt(offset) && directoryEnd - size > offset &&
            directoryAt(directoryEnd - size))
            FShift = directoryEnd - size - offset;
        offset += FShift;
        if (size > KMaxDirectory)
            throw EKvFsError("The zip file has too many entries to open");
        directory.resize(static_cast<size_t>(size));
        ReadAt(*file, offset, directory.data(), size, Damaged);
    }

    const uint8_t* dir = directory.data();
    const size_t dirSize = directory.size();
    size_t pos = 0;
    for (int64_t index = 0; dirSize - pos >= 46 && index < count; ++index) {
        if (index % 1024 == 0)
            CheckCancelled(AToken);
        const uint8_t* rec = dir + pos;
        if (ReadU32LE(rec, 0) != KCentralSignature)
            Damaged();
        const size_t nameLength = ReadU16LE(rec, 28);
        const size_t extraLength = ReadU16LE(rec, 30);
        const size_t commentLength = ReadU16LE(rec, 32);
        const size_t recordLength = 46 + nameLength + extraLength + commentLength;
        if (recordLength > dirSize - pos)
            Damaged();

        TZipEntryInfo info;
        info.Flags = ReadU16LE(rec, 8);
        info.Method = ReadU16LE(rec, 10);
        info.DosTime = ReadU16LE(rec, 12);
        const uint16_t dosDate = ReadU16LE(rec, 14);
        info.Crc = ReadU32LE(rec, 16);
        const uint32_t comp32 = ReadU32LE(rec, 20);
        const uint32_t size32 = ReadU32LE(rec, 24);
        const uint32_t attributes = ReadU32LE(rec, 38);
        const uint32_t offset32 = ReadU32LE(rec, 42);
        uint64_t comp = comp32, size = size32, offset = offset32;
        const std::string rawName(reinterpret_cast<const char*>(rec + 46), nameLength);
        std::string unicodeName;
        bool hasUnicodeName = false;
        // Exact UTC times: Windows tools write the NTFS field, Unix ones the extended
        // timestamp. The DOS fields hold local time of wherever the zip was made.
        std::optional<int64_t> unixTime, ntfsTime, uxTime;

        const uint8_t* extra = rec + 46 + nameLength;
        for (size_t p = 0; p + 4 <= extraLength;) {
            const uint16_t id = ReadU16LE(extra, p);
            const size_t length = ReadU16LE(extra, p + 2);
            if (length > extraLength - p - 4)
                break;
            const uint8_t* data = extra + p + 4;
            if (id == 0x0001) {
                size_t q = 0;
                for (auto [value, wide] : {std::pair{size32, &size}, std::pair{comp32, &comp},
                                           std::pair{offset32, &offset}}) {
                    if (value == 0xFFFFFFFF && q + 8 <= length) {
                        *wide = ReadU64LE(data, q);
                        q += 8;
                    }
                }
            } else if (id == 0x7075) {
                if (length >= 6 && data[0] == 1 && ReadU32LE(data, 1) == Crc32Of(rawName)) {
                    unicodeName.assign(reinterpret_cast<const char*>(data + 5), length - 5);
                    hasUnicodeName = true;
                }
            } else if (id == 0x5455) {
                if (length >= 5 && (data[0] & 1) != 0)
                    unixTime = ReadU32LE(data, 1);
            } else if (id == 0x5855) {
                // Info-ZIP's older Unix field (macOS still writes it): access, then modification.
                if (length >= 8)
                    uxTime = ReadU32LE(data, 4);
            } else if (id == 0x000A) {
                for (size_t q = 4; q + 4 <= length;) {
                    const uint16_t tag = ReadU16LE(data, q);
                    const size_t tagLength = ReadU16LE(data, q + 2);
                    if (tagLength > length - q - 4)
                        break;
                    if (tag == 1 && tagLength >= 8)
                        ntfsTime = static_cast<int64_t>(ReadU64LE(data, q + 4) & INT64_MAX);
                    q += 4 + tagLength;
                }
            } else if (id == 0x9901) {
                if (length >= 7) {
                    info.AesVersion = ReadU16LE(data, 0);
                    info.AesStrength = data[4];
                    info.Method = ReadU16LE(data, 5);
                }
            }
            p += 4 + length;
        }
        info.Size = static_cast<int64_t>(size);
        info.CompressedSize = static_cast<int64_t>(comp);
        info.LocalOffset = static_cast<int64_t>(offset);
        if (info.Size < 0 || info.CompressedSize < 0 || info.LocalOffset < 0 ||
            info.LocalOffset > INT64_MAX - FShift)
            Damaged();
        info.LocalOffset += FShift;

        std::string name = hasUnicodeName          ? unicodeName
                           : (info.Flags & 0x0800) ? rawName
                                                   : DecodeEntryName(rawName);
        const bool isDir = (!name.empty() && name.back() == '/') ||
                           ((attributes & 0x10) != 0 && info.Size == 0);
        TKvDateTime modified = DosToDateTime(dosDate, info.DosTime);
        if (ntfsTime) // 100 ns steps since 1601
            modified =
                DateTimeFromUnix(*ntfsTime / 10000000 - KNtfsToUnix, *ntfsTime % 10000000 * 100);
        else if (unixTime)
            modified = DateTimeFromUnix(*unixTime);
        else if (uxTime)
            modified = DateTimeFromUnix(*uxTime);
        const bool fromUnix = (ReadU16LE(rec, 4) >> 8) == 3;
        const bool isLink = fromUnix && ((attributes >> 16) & 0170000) == 0120000;
        if (isDir) {
            AddEntry(name, true, -1, modified, 0);
        } else if (isLink && !IsEncrypted(info)) {
            // The target is the entry's data; reading it needs no password.
            std::string target;
            try {
                if (info.Size > KMaxLinkTarget)
                    throw EKvFsError("too long");
                TKvStreamPtr stream = OpenEntry(name, info, {});
                target.resize(static_cast<size_t>(info.Size));
                if (stream->ReadFully(target.data(), info.Size) != info.Size)
                    throw EKvFsError("short");
            } catch (const EKvFsError&) {
                target.clear();
            }
            if (target.empty() || target.find('\0') != std::string::npos)
                LeaveOut(name, "a link whose target cannot be read");
            else
                AddLink(name, target, modified);
        } else {
            // Strong encryption cannot be opened with any password: no point asking for one.
            if (CanDecrypt(info))
                FHasEncrypted = true;
            const auto tag = static_cast<int32_t>(FEntries.size());
            FEntries.push_back(info);
            AddEntry(name, false, tag, modified, info.Size);
        }
        pos += recordLength;
    }
}

bool TKvZipFileSystem::NeedsPassword() {
    std::lock_guard lock(FLock);
    return FHasEncrypted && !FPasswordOk;
}

bool TKvZipFileSystem::TryPassword(const std::string& APassword) {
    // The smallest entry that has data: an empty one has nothing whose CRC could refuse a
    // wrong password that happens to pass the one-byte check (one in 256).
    // Entries this reader can unpack come first: only their data can confirm the password
    // beyond the check bytes.
    const TZipEntryInfo* probe = nullptr;
    auto better = [](const TZipEntryInfo& A, const TZipEntryInfo* B) {
        if (!B)
            return true;
        if (MethodSupported(A) != MethodSupported(*B))
            return MethodSupported(A);
        if ((A.Size > 0) != (B->Size > 0))
            return A.Size > 0;
        return A.CompressedSize < B->CompressedSize;
    };
    for (const auto& info : FEntries)
        if (CanDecrypt(info) && better(info, probe))
            probe = &info;
    if (probe) {
        try {
            TKvStreamPtr stream = OpenEntry("(password check)", *probe, APassword);
            // Small entries are read whole, so the CRC or the code confirms the password;
            // large ones are judged by the check byte or verifier alone.
            if (probe->CompressedSize <= KPasswordReadLimit) {
                std::vector<uint8_t> buffer(KChunk);
                while (stream->Read(buffer.data(), static_cast<int64_t>(buffer.size())) > 0) {
                }
            }
        } catch (const EKvUnsupported&) {
            // Thrown only after the password passed the check bytes, which is all that can
            // be known of it here.
        } catch (...) {
            return false;
        }
    }
    std::lock_guard lock(FLock);
    if (probe) {
        FPassword = APassword;
        FPasswordOk = true;
    }
    return true;
}

TKvStreamPtr TKvZipFileSystem::OpenEntry(const std::string& AName, const TZipEntryInfo& AInfo,
                                         const std::string& APassword) {
    auto aes = std::make_shared<TKvAesReadStream*>(nullptr);
    auto stream = std::make_unique<TKvZipEntryStream>(
        OpenRaw(FFile, AName, AInfo, APassword, aes.get()), AName, AInfo.Size, AInfo.Crc);
    const bool encrypted = IsEncrypted(AInfo);
    if (encrypted)
        stream->Hint = " (or the password is wrong)";
    // The stream may outlive this file system, so it keeps copies of what a reopen needs.
    stream->Reopen = [file = FFile, name = AName, info = AInfo, password = APassword, aes] {
        return OpenRaw(file, name, info, password, aes.get());
    };
    if (AInfo.AesStrength != 0) {
        if (AInfo.AesVersion >= 2)
            stream->CheckCrc = false; // AE-2 stores no CRC
        if (encrypted)
            stream->OnEnd = [aes] {
                if (*aes)
                    (*aes)->Verify();
            };
    }
    return stream;
}

TKvStreamPtr TKvZipFileSystem::OpenNode(const TKvArchiveNode& ANode) {
    const TZipEntryInfo& info = FEntries.at(static_cast<size_t>(ANode.Tag));
    std::string password;
    {
        std::lock_guard lock(FLock);
        if (CanDecrypt(info) && !FPasswordOk)
            throw EKvFsError(
                ANode.Name +
                ": this file is password-protected. Open the zip again and give the password");
        password = FPassword;
    }
    return OpenEntry(ANode.Name, info, password);
}

} // namespace kv
