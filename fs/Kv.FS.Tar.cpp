#include "Kv.FS.Tar.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "Kv.FS.Local.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.TempFiles.h"

namespace kv {

namespace {

constexpr int64_t KBlock = 512;
constexpr int64_t KMaxExtendedHeader = 0x100000;
// Pieces of one sparse file: a fragmented disk image has millions; more than this only costs
// memory (16 bytes each).
constexpr int64_t KMaxSparsePieces = 1 << 24;

[[noreturn]] void Damaged() {
    throw EKvFsError("The tar archive is damaged");
}
[[noreturn]] void Truncated() {
    throw EKvFsError("The tar archive is truncated");
}

std::string FieldText(const uint8_t* AHeader, size_t AOffset, size_t ALength) {
    const char* start = reinterpret_cast<const char*>(AHeader + AOffset);
    return std::string(start, strnlen(start, ALength));
}

// Whole decimal digits only; nullopt otherwise or beyond 63 bits.
std::optional<int64_t> ParseDecimal(const std::string& AText) {
    if (AText.empty())
        return std::nullopt;
    int64_t value = 0;
    for (char c : AText) {
        if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10)
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Seconds, maybe with a fraction and a sign; counted down to the whole second, so -1.5 is -2.
std::optional<int64_t> ParseSeconds(const std::string& AText) {
    bool negative = !AText.empty() && AText[0] == '-';
    std::string text = negative ? AText.substr(1) : AText;
    auto dot = text.find('.');
    std::string whole = text.substr(0, dot);
    bool fraction = false;
    if (dot != std::string::npos) {
        std::string digits = text.substr(dot + 1);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        fraction = digits.find_first_not_of('0') != std::string::npos;
    }
    // ".5" is half a second.
    auto value = whole.empty() && dot != std::string::npos ? std::optional<int64_t>(0)
                                                           : ParseDecimal(whole);
    if (!value)
        return std::nullopt;
    return negative ? -*value - (fraction ? 1 : 0) : *value;
}

struct TPending {
    std::optional<std::string> LongName;
    std::optional<std::string> LongLink;
    std::optional<std::string> PaxPath;
    std::optional<std::string> PaxLinkPath;
    int64_t PaxSize = -1;
    std::optional<int64_t> PaxMtime;
    // GNU tar's sparse files in pax form: 0.0 lists offset and numbytes records, 0.1 one map
    // record, 1.0 (major 1) keeps the map at the start of the data.
    std::optional<int64_t> SparseSize;
    std::optional<std::string> SparseName;
    std::optional<TKvSparseMap> SparseMap;
    int64_t SparseMajor = -1;
    bool SparseBad = false;
};

// "offset,length,offset,length,..." of a 0.1 map.
bool ParseSparseList(const std::string& AText, TKvSparseMap& AMap) {
    std::vector<int64_t> numbers;
    size_t start = 0;
    for (;;) {
        size_t comma = AText.find(',', start);
        auto value = ParseDecimal(AText.substr(start, comma - start));
        if (!value)
            return false;
        numbers.push_back(*value);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (numbers.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < numbers.size(); i += 2)
        AMap.push_back({numbers[i], numbers[i + 1]});
    return true;
}

void ParsePaxRecords(const std::string& AData, TPending& APending) {
    size_t pos = 0;
    while (pos < AData.size()) {
        size_t length = 0, digits = 0;
        while (pos + digits < AData.size() && AData[pos + digits] >= '0' &&
               AData[pos + digits] <= '9') {
            length = length * 10 + static_cast<size_t>(AData[pos + digits] - '0');
            ++digits;
            if (length > 100000000)
                return;
        }
        if (pos + digits >= AData.size() || AData[pos + digits] != ' ' || length < digits + 2 ||
            length > AData.size() - pos)
            return;
        const size_t keyStart = pos + digits + 1;
        const size_t recordEnd = pos + length; // the newline is the byte before it
        const size_t equals = AData.find('=', keyStart);
        if (equals != std::string::npos && equals < recordEnd) {
            std::string key = AData.substr(keyStart, equals - keyStart);
            std::string value =
                AData.substr(equals + 1, recordEnd - 1 - std::min(equals + 1, recordEnd - 1));
            auto number = [&] {
                auto parsed = ParseDecimal(value);
                if (!parsed)
                    APending.SparseBad = true;
                return parsed.value_or(0);
            };
            if (key == "path") {
                APending.PaxPath = value;
            } else if (key == "linkpath") {
                APending.PaxLinkPath = value;
            } else if (key == "size") {
                APending.PaxSize = ParseDecimal(value).value_or(-1);
            } else if (key == "mtime") {
                if (auto seconds = ParseSeconds(value))
                    APending.PaxMtime = *seconds;
            } else if (key == "GNU.sparse.size" || key == "GNU.sparse.realsize") {
                APending.SparseSize = number();
            } else if (key == "GNU.sparse.name") {
                APending.SparseName = value;
            } else if (key == "GNU.sparse.major") {
                APending.SparseMajor = number();
            } else if (key == "GNU.sparse.map") {
                APending.SparseMap.emplace();
                if (!value.empty() && !ParseSparseList(value, *APending.SparseMap))
                    APending.SparseBad = true;
            } else if (key == "GNU.sparse.offset") {
                if (!APending.SparseMap)
                    APending.SparseMap.emplace();
                APending.SparseMap->push_back({number(), -1});
            } else if (key == "GNU.sparse.numbytes") {
                // Belongs to the offset record just before it.
                if (!APending.SparseMap || APending.SparseMap->empty() ||
                    APending.SparseMap->back().Length >= 0)
                    APending.SparseBad = true;
                else
                    APending.SparseMap->back().Length = number();
            }
        }
        pos += length;
    }
}

// Pieces in order, none overlapping the one before, all inside the file, and no more stored
// bytes than the entry holds. Empty pieces (the end marker GNU tar writes) are dropped.
bool CheckSparseMap(TKvSparseMap& AMap, int64_t ASize, int64_t AStored) {
    TKvSparseMap kept;
    int64_t end = 0, stored = 0;
    for (const auto& region : AMap) {
        if (region.Offset < end || region.Length < 0 || region.Offset > ASize ||
            region.Length > ASize - region.Offset || region.Length > AStored - stored)
            return false;
        stored += region.Length;
        end = region.Offset + region.Length;
        if (region.Length > 0)
            kept.push_back(region);
    }
    AMap = std::move(kept);
    return true;
}

// The pieces listed in an old GNU sparse header or one of its extension blocks; false when a
// field is no number.
bool ReadGnuSparse(const uint8_t* ABlock, size_t AFirst, int ACount, TKvSparseMap& AMap) {
    for (int i = 0; i < ACount; ++i) {
        const size_t at = AFirst + static_cast<size_t>(i) * 24;
        if (ABlock[at] == 0)
            break; // the rest of the list is unused
        int64_t offset = ParseTarNumber(ABlock, at, 12);
        int64_t length = ParseTarNumber(ABlock, at + 12, 12);
        if (offset < 0 || length < 0)
            return false;
        AMap.push_back({offset, length});
    }
    return true;
}

// The map of a 1.0 sparse file, at the start of its data: decimal lines, the count of pieces
// and then offset and length of each, padded to whole blocks. AStart receives where the
// stored pieces begin.
bool ReadSparseMapInData(TKvStream& AIn, int64_t ADataStart, int64_t ASize, TKvSparseMap& AMap,
                         int64_t& AStart) {
    std::vector<int64_t> numbers;
    int64_t wanted = 1, at = 0;
    std::string digits;
    char block[KBlock];
    while (static_cast<int64_t>(numbers.size()) < wanted) {
        if (ASize - at < KBlock)
            return false;
        AIn.Seek(ADataStart + at, soBegin);
        if (AIn.ReadFully(block, KBlock) != KBlock)
            return false;
        at += KBlock;
        for (char c : block) {
            if (static_cast<int64_t>(numbers.size()) == wanted)
                break;
            if (c != '\n') {
                if (c < '0' || c > '9' || digits.size() > 18)
                    return false;
                digits += c;
                continue;
            }
            auto value = ParseDecimal(digits);
            digits.clear();
            if (!value)
                return false;
            numbers.push_back(*value);
            // Two numbers a piece, and each piece takes at least four bytes of the map.
            if (numbers.size() == 1) {
                if (*value > ASize / 4 || *value > KMaxSparsePieces)
                    return false;
                wanted = 1 + 2 * *value;
            }
        }
    }
    for (size_t i = 1; i + 1 < numbers.size(); i += 2)
        AMap.push_back({numbers[i], numbers[i + 1]});
    AStart = ADataStart + at;
    return true;
}

bool AllZero(const uint8_t* AData, size_t ALength) {
    return std::all_of(AData, AData + ALength, [](uint8_t b) { return b == 0; });
}

} // namespace

int64_t ParseTarNumber(const uint8_t* AHeader, size_t AOffset, size_t ALength) {
    const uint8_t* field = AHeader + AOffset;
    if (ALength == 0)
        return 0;
    if (field[0] & 0x80) {
        if (field[0] & 0x40)
            return -1; // negative
        int64_t value = field[0] & 0x3F;
        for (size_t i = 1; i < ALength; ++i) {
            if (value > (INT64_MAX >> 8))
                return -1;
            value = (value << 8) | field[i];
        }
        return value;
    }
    size_t i = 0;
    while (i < ALength && (field[i] == ' ' || field[i] == 0))
        ++i;
    int64_t value = 0;
    for (; i < ALength; ++i) {
        uint8_t c = field[i];
        if (c == ' ' || c == 0)
            break;
        if (c < '0' || c > '7' || value > (INT64_MAX >> 3))
            return -1;
        value = value * 8 + (c - '0');
    }
    return value;
}

bool TarChecksumOk(const uint8_t* AHeader) {
    int64_t unsignedSum = 0, signedSum = 0;
    for (int i = 0; i < KBlock; ++i) {
        uint8_t byte = (i >= 148 && i < 156) ? ' ' : AHeader[i];
        unsignedSum += byte;
        signedSum += static_cast<int8_t>(byte);
    }
    // Old writers summed signed bytes, which differs once a name has bytes above 127.
    int64_t stored = ParseTarNumber(AHeader, 148, 8);
    return stored >= 0 && (stored == unsignedSum || stored == signedSum);
}

std::string ArchiveTempFolder() {
    return PrivateTempFolder();
}

int SweepArchiveTemps() {
    return SweepTempFiles(ArchiveTempFolder(), "kvarc-", ".tmp");
}

TKvTarFileSystem::TKvTarFileSystem(const std::string& AFile, TKvCompression ACompression,
                                   const IKvCancelToken& AToken) {
    FId = "tar:" + AFile;
    if (ACompression != TKvCompression::None) {
        FTemp = UnpackToTemp(AFile, ACompression, AToken);
        FDataFile = FTemp->Path();
    } else {
        FDataFile = AFile;
    }
    try {
        ReadHeaders(AToken);
    } catch (...) {
        // Nothing will ever read the copy: it goes now rather than at the next sweep.
        if (FTemp)
            FTemp->Remove();
        throw;
    }
}

TKvTarFileSystem::TKvTarFileSystem(const std::string& AFile,
                                   std::unique_ptr<TKvLockedTempFile> AUnpacked,
                                   const IKvCancelToken& AToken)
    : FTemp(std::move(AUnpacked)) {
    FId = "tar:" + AFile;
    FDataFile = FTemp->Path();
    try {
        ReadHeaders(AToken);
    } catch (...) {
        FTemp->Remove();
        throw;
    }
}

TKvTarFileSystem::~TKvTarFileSystem() {
    if (FTemp)
        FTemp->Remove();
}

std::string TKvTarFileSystem::TempFile() const {
    return FTemp ? FTemp->Path() : std::string();
}

bool LooksLikeTar(const std::string& AFile) {
    try {
        TKvStreamPtr in = LocalFs()->OpenRead(AFile);
        uint8_t header[KBlock];
        return in->ReadFully(header, KBlock) == KBlock && !AllZero(header, KBlock) &&
               TarChecksumOk(header);
    } catch (const EKvFsError&) {
        return false;
    }
}

void TKvTarFileSystem::ReadHeaders(const IKvCancelToken& AToken) {
    TKvStreamPtr in = LocalFs()->OpenRead(FDataFile);
    const int64_t fileSize = in->Size();
    // An empty file is no archive of any kind; calling it an empty tar would hide a lost file.
    if (fileSize == 0)
        throw EKvFsError("This is not a tar archive");
    TPending pending;
    uint8_t header[KBlock];
    int64_t pos = 0;
    bool first = true;
    for (int64_t count = 0;; ++count) {
        if (fileSize - pos < KBlock) {
            // The file ends inside a header. Zeros there are end blocks cut short, which tar
            // and Python accept as the end.
            std::vector<uint8_t> rest(static_cast<size_t>(fileSize - pos));
            in->Seek(pos, soBegin);
            if (in->ReadFully(rest.data(), fileSize - pos) != fileSize - pos ||
                !AllZero(rest.data(), rest.size())) {
                if (first)
                    throw EKvFsError("This is not a tar archive");
                Truncated();
            }
            break;
        }
        if (count % 256 == 0)
            CheckCancelled(AToken);
        in->Seek(pos, soBegin);
        if (in->ReadFully(header, KBlock) != KBlock)
            Truncated();
        if (AllZero(header, KBlock))
            break;
        if (!TarChecksumOk(header)) {
            if (first)
                throw EKvFsError("This is not a tar archive");
            throw EKvFsError("The tar archive is damaged near offset " + std::to_string(pos));
        }
        first = false;
        const uint8_t type = header[156];
        int64_t size = ParseTarNumber(header, 124, 12);
        if (size < 0)
            Damaged();
        int64_t dataStart = pos + KBlock;

        // An old GNU sparse file: its list of pieces goes on in extension blocks before the data.
        TKvSparseMap gnuMap;
        bool gnuMapOk = true;
        if (type == 'S') {
            gnuMapOk = ReadGnuSparse(header, 386, 4, gnuMap);
            for (uint8_t more = header[482]; more != 0;) {
                uint8_t block[KBlock];
                if (fileSize - dataStart < KBlock)
                    Truncated();
                in->Seek(dataStart, soBegin);
                if (in->ReadFully(block, KBlock) != KBlock)
                    Truncated();
                if (gnuMapOk)
                    gnuMapOk = ReadGnuSparse(block, 0, 21, gnuMap) &&
                               static_cast<int64_t>(gnuMap.size()) <= KMaxSparsePieces;
                more = block[504];
                dataStart += KBlock;
                if (count++ % 256 == 0)
                    CheckCancelled(AToken);
            }
        }
        int64_t skip = size;

        if (type == 'g') {
            // Global pax values: nothing we list uses them.
        } else if (type == 'L' || type == 'K' || type == 'x') {
            if (size > KMaxExtendedHeader || size > fileSize - dataStart)
                Damaged();
            std::string data(static_cast<size_t>(size), '\0');
            in->Seek(dataStart, soBegin);
            if (in->ReadFully(data.data(), size) != size)
                Truncated();
            if (type == 'L')
                pending.LongName = DecodeEntryName(data.substr(0, data.find('\0')));
            else if (type == 'K')
                pending.LongLink = data.substr(0, data.find('\0'));
            else
                ParsePaxRecords(data, pending);
        } else {
            // Links, devices, folders and FIFOs carry no data, whatever their size field says.
            if (type >= '1' && type <= '6')
                skip = 0;
            else if (pending.PaxSize >= 0)
                size = skip = pending.PaxSize;
            std::string name;
            if (pending.SparseName)
                name = *pending.SparseName;
            else if (pending.PaxPath)
                name = *pending.PaxPath;
            else if (pending.LongName)
                name = *pending.LongName;
            else {
                name = DecodeEntryName(FieldText(header, 0, 100));
                std::string prefix = FieldText(header, 345, 155);
                if (std::memcmp(header + 257, "ustar", 6) == 0 && !prefix.empty())
                    name = DecodeEntryName(prefix) + "/" + name;
            }
            // A pax time may lie before 1970; a header's 0 means none was kept.
            TKvDateTime modified = 0;
            // Years 1 to 9999: beyond them no calendar of ours has the date.
            if (pending.PaxMtime && *pending.PaxMtime >= -62135596800 &&
                *pending.PaxMtime <= 253402300799)
                modified = DateTimeFromUnix(*pending.PaxMtime);
            else if (int64_t seconds = ParseTarNumber(header, 136, 12);
                     seconds > 0 && seconds <= 253402300799)
                modified = DateTimeFromUnix(seconds);
            const bool regular = type == 0 || type == '0' || type == '7' || type == 'S';
            const bool isDir = type == '5' || (regular && !name.empty() && name.back() == '/');
            // Old tars gave folders a size; GNU tar ignores it, and so must the walk.
            if (isDir)
                skip = 0;
            std::string link = pending.PaxLinkPath ? *pending.PaxLinkPath
                               : pending.LongLink  ? *pending.LongLink
                                                   : FieldText(header, 157, 100);
            if (isDir) {
                AddEntry(name, true, -1, modified, 0);
            } else if (type == '2') {
                if (link.empty())
                    LeaveOut(name, "a link without a target");
                else
                    AddLink(name, link, modified);
            } else if (type == '1') {
                // A hard link shares the data of an earlier file of the archive.
                std::vector<std::string> parts;
                const TKvArchiveNode* target = nullptr;
                if (SplitEntryPath(link, parts)) {
                    std::string path;
                    for (const auto& part : parts) {
                        path += '/';
                        path += SafeEntryName(part);
                    }
                    target = FindNode(path);
                }
                if (target && !target->IsDir && !target->IsLink && target->Tag >= 0)
                    AddEntry(name, false, target->Tag, modified, target->Size);
                else
                    LeaveOut(name, "a hard link to nothing earlier in the archive");
            } else if (regular) {
                if (size > fileSize - dataStart)
                    Truncated();
                std::shared_ptr<const TKvSparseMap> sparse;
                int64_t start = dataStart, fullSize = size;
                bool usable = true;
                if (type == 'S' || pending.SparseMap || pending.SparseMajor >= 0) {
                    TKvSparseMap map;
                    int64_t stored = size;
                    usable = type == 'S' ? gnuMapOk : !pending.SparseBad;
                    if (type == 'S') {
                        map = std::move(gnuMap);
                        fullSize = ParseTarNumber(header, 483, 12);
                    } else {
                        fullSize = pending.SparseSize.value_or(-1);
                        if (pending.SparseMajor == 1)
                            usable = usable && ReadSparseMapInData(*in, dataStart, size, map, start);
                        else if (pending.SparseMajor >= 0 || !pending.SparseMap)
                            usable = false; // a layout this reader does not know
                        else
                            map = std::move(*pending.SparseMap);
                        stored = size - (start - dataStart);
                    }
                    usable = usable && fullSize >= 0 && CheckSparseMap(map, fullSize, stored);
                    if (usable)
                        sparse = std::make_shared<const TKvSparseMap>(std::move(map));
                }
                if (usable) {
                    FOffsets.push_back(start);
                    FSparse.push_back(std::move(sparse));
                    AddEntry(name, false, static_cast<int32_t>(FOffsets.size() - 1), modified,
                             fullSize);
                } else {
                    LeaveOut(name, "a sparse file whose map is damaged or of an unknown kind");
                }
            }
            pending = TPending();
        }
        if (skip > fileSize - dataStart)
            Truncated();
        // dataStart + skip is within the file, so rounding up cannot overflow.
        pos = dataStart + (skip + KBlock - 1) / KBlock * KBlock;
        // The last data block must be whole as well, as tar demands.
        if (pos > fileSize)
            Truncated();
    }
}

TKvStreamPtr TKvTarFileSystem::OpenNode(const TKvArchiveNode& ANode) {
    const auto tag = static_cast<size_t>(ANode.Tag);
    if (const auto& map = FSparse.at(tag))
        return std::make_unique<TKvSparseStream>(LocalFs()->OpenRead(FDataFile), FOffsets.at(tag),
                                                 map, ANode.Size);
    return std::make_unique<TKvSliceStream>(LocalFs()->OpenRead(FDataFile), FOffsets.at(tag),
                                            ANode.Size);
}

TKvSparseStream::TKvSparseStream(TKvStreamPtr ABase, int64_t AStart,
                                 std::shared_ptr<const TKvSparseMap> AMap, int64_t ASize)
    : FBase(std::move(ABase)), FStart(AStart), FMap(std::move(AMap)), FSize(ASize) {
    int64_t stored = 0;
    for (const auto& region : *FMap) {
        FStored.push_back(stored);
        stored += region.Length;
    }
}

int64_t TKvSparseStream::Read(void* ABuffer, int64_t ACount) {
    if (FPos >= FSize || ACount <= 0)
        return 0;
    // The first piece that ends after the position; pieces are in order and apart.
    auto it = std::upper_bound(FMap->begin(), FMap->end(), FPos,
                               [](int64_t APos, const TKvSparseRegion& ARegion) {
                                   return APos < ARegion.Offset + ARegion.Length;
                               });
    int64_t n;
    if (it == FMap->end() || it->Offset > FPos) {
        const int64_t holeEnd = it == FMap->end() ? FSize : it->Offset;
        n = std::min(ACount, holeEnd - FPos);
        std::memset(ABuffer, 0, static_cast<size_t>(n));
    } else {
        const auto index = static_cast<size_t>(it - FMap->begin());
        const int64_t want = std::min(ACount, it->Offset + it->Length - FPos);
        FBase->Seek(FStart + FStored[index] + (FPos - it->Offset), soBegin);
        n = FBase->Read(ABuffer, want);
        if (n <= 0)
            throw EKvFsError("The archive file is truncated");
    }
    FPos += n;
    return n;
}

int64_t TKvSparseStream::Write(const void*, int64_t) {
    throw EKvFsError(KArchivesReadOnly);
}

int64_t TKvSparseStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    int64_t from = AOrigin == soBegin ? 0 : AOrigin == soCurrent ? FPos : FSize;
    int64_t target = AOffset > 0 && from > INT64_MAX - AOffset ? FSize : from + AOffset;
    FPos = std::clamp<int64_t>(target, 0, FSize);
    return FPos;
}

} // namespace kv
