#include "Kv.FS.Compressed.h"

#include <algorithm>
#include <bzlib.h>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <lz4frame.h>
#include <lzma.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "Kv.FS.Local.h"
#include "Kv.FS.Tar.h"
#include "Kv.Platform.TempFiles.h"

namespace kv {

namespace {

constexpr size_t KInput = 262144;
constexpr size_t KCopy = 1048576;

bool StartsWith(const uint8_t* AData, size_t ASize, std::initializer_list<uint8_t> AMagic) {
    return ASize >= AMagic.size() && std::equal(AMagic.begin(), AMagic.end(), AData);
}

// zstd and LZ4 both know skippable frames: 0x184D2A50 to 0x184D2A5F, little-endian.
bool SkippableFrame(const uint8_t* AData, size_t ASize) {
    return ASize >= 4 && (AData[0] & 0xF0) == 0x50 && AData[1] == 0x2A && AData[2] == 0x4D &&
           AData[3] == 0x18;
}

} // namespace

// One format's decoder. Step decodes what it can of the input into the output; it returns
// true when a member (gzip member, bzip2 stream, frame) has ended.
struct TKvDecompressStream::TCodec {
    virtual ~TCodec() = default;
    virtual bool Step(const uint8_t* AIn, size_t AInLen, bool AInputEnded, uint8_t* AOut,
                      size_t AOutLen, size_t& AUsed, size_t& AMade) = 0;
    // Whether the bytes start another member, and getting ready for it.
    virtual bool NextMember(const uint8_t* AData, size_t ASize) = 0;
    virtual void Reset() = 0;
    // The bytes NextMember needs to see.
    virtual size_t MagicSize() const { return 4; }
};

namespace {

using TCodec = TKvDecompressStream::TCodec;

class EKvCodec : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TGzipCodec final : public TCodec {
public:
    TGzipCodec() {
        if (inflateInit2(&FZ, 15 + 32) != Z_OK) // 32: zlib recognises the gzip header
            throw std::bad_alloc();
    }
    ~TGzipCodec() override { inflateEnd(&FZ); }
    bool Step(const uint8_t* AIn, size_t AInLen, bool, uint8_t* AOut, size_t AOutLen,
              size_t& AUsed, size_t& AMade) override {
        FZ.next_in = const_cast<Bytef*>(AIn);
        FZ.avail_in = static_cast<uInt>(std::min<size_t>(AInLen, UINT32_MAX));
        FZ.next_out = AOut;
        FZ.avail_out = static_cast<uInt>(std::min<size_t>(AOutLen, UINT32_MAX));
        const uInt inBefore = FZ.avail_in, outBefore = FZ.avail_out;
        int result = inflate(&FZ, Z_NO_FLUSH);
        AUsed = inBefore - FZ.avail_in;
        AMade = outBefore - FZ.avail_out;
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            throw EKvCodec(FZ.msg ? FZ.msg : "The gzip data is damaged");
        return result == Z_STREAM_END;
    }
    bool NextMember(const uint8_t* AData, size_t ASize) override {
        return StartsWith(AData, ASize, {0x1F, 0x8B});
    }
    void Reset() override {
        if (inflateReset(&FZ) != Z_OK)
            throw EKvCodec("The gzip data is damaged");
    }
    size_t MagicSize() const override { return 2; }

private:
    z_stream FZ{};
};

class TXzCodec final : public TCodec {
public:
    TXzCodec() {
        // Several threads help only with files written in blocks (xz -T); others decode as
        // with one.
        lzma_mt mt{};
        mt.flags = LZMA_CONCATENATED;
        mt.threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
        mt.memlimit_threading = 512u << 20;
        mt.memlimit_stop = UINT64_MAX;
        if (lzma_stream_decoder_mt(&FZ, &mt) != LZMA_OK &&
            lzma_stream_decoder(&FZ, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK)
            throw std::bad_alloc();
    }
    ~TXzCodec() override { lzma_end(&FZ); }
    bool Step(const uint8_t* AIn, size_t AInLen, bool AInputEnded, uint8_t* AOut, size_t AOutLen,
              size_t& AUsed, size_t& AMade) override {
        FZ.next_in = AIn;
        FZ.avail_in = AInLen;
        FZ.next_out = AOut;
        FZ.avail_out = AOutLen;
        // Concatenated streams are the decoder's own business; it must hear where input ends.
        lzma_ret result = lzma_code(&FZ, AInputEnded ? LZMA_FINISH : LZMA_RUN);
        AUsed = AInLen - FZ.avail_in;
        AMade = AOutLen - FZ.avail_out;
        if (result == LZMA_STREAM_END)
            return true;
        if (result == LZMA_OK || result == LZMA_BUF_ERROR)
            return false;
        switch (result) {
        case LZMA_FORMAT_ERROR: throw EKvCodec("This is not an xz file");
        case LZMA_MEM_ERROR: throw std::bad_alloc();
        case LZMA_OPTIONS_ERROR: throw EKvCodec("The xz file uses options that cannot be read");
        default: throw EKvCodec("The xz data is damaged");
        }
    }
    bool NextMember(const uint8_t*, size_t) override { return false; }
    void Reset() override {}

private:
    lzma_stream FZ = LZMA_STREAM_INIT;
};

class TBzip2Codec final : public TCodec {
public:
    TBzip2Codec() { Init(); }
    ~TBzip2Codec() override { BZ2_bzDecompressEnd(&FZ); }
    bool Step(const uint8_t* AIn, size_t AInLen, bool, uint8_t* AOut, size_t AOutLen,
              size_t& AUsed, size_t& AMade) override {
        FZ.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(AIn));
        FZ.avail_in = static_cast<unsigned>(std::min<size_t>(AInLen, UINT32_MAX));
        FZ.next_out = reinterpret_cast<char*>(AOut);
        FZ.avail_out = static_cast<unsigned>(std::min<size_t>(AOutLen, UINT32_MAX));
        const unsigned inBefore = FZ.avail_in, outBefore = FZ.avail_out;
        int result = BZ2_bzDecompress(&FZ);
        AUsed = inBefore - FZ.avail_in;
        AMade = outBefore - FZ.avail_out;
        if (result == BZ_STREAM_END)
            return true;
        if (result == BZ_MEM_ERROR)
            throw std::bad_alloc();
        if (result != BZ_OK)
            throw EKvCodec(result == BZ_DATA_ERROR_MAGIC ? "This is not a bzip2 file"
                                                         : "The bzip2 data is damaged");
        return false;
    }
    // pbzip2 and lbzip2 write one stream after another.
    bool NextMember(const uint8_t* AData, size_t ASize) override {
        return ASize >= 4 && StartsWith(AData, ASize, {'B', 'Z', 'h'}) && AData[3] >= '1' &&
               AData[3] <= '9';
    }
    void Reset() override {
        BZ2_bzDecompressEnd(&FZ);
        Init();
    }

private:
    void Init() {
        FZ = bz_stream{};
        if (BZ2_bzDecompressInit(&FZ, 0, 0) != BZ_OK)
            throw std::bad_alloc();
    }
    bz_stream FZ{};
};

class TZstdCodec final : public TCodec {
public:
    TZstdCodec() : FZ(ZSTD_createDStream()) {
        if (!FZ)
            throw std::bad_alloc();
        // Frames written with --long need a window above the default limit.
        ZSTD_DCtx_setParameter(FZ, ZSTD_d_windowLogMax, 31);
    }
    ~TZstdCodec() override { ZSTD_freeDStream(FZ); }
    bool Step(const uint8_t* AIn, size_t AInLen, bool, uint8_t* AOut, size_t AOutLen,
              size_t& AUsed, size_t& AMade) override {
        ZSTD_inBuffer in{AIn, AInLen, 0};
        ZSTD_outBuffer out{AOut, AOutLen, 0};
        size_t result = ZSTD_decompressStream(FZ, &out, &in);
        AUsed = in.pos;
        AMade = out.pos;
        if (ZSTD_isError(result))
            throw EKvCodec(ZSTD_getErrorCode(result) == ZSTD_error_prefix_unknown
                               ? "This is not a Zstandard file"
                               : std::string("The Zstandard data is damaged (") +
                                     ZSTD_getErrorName(result) + ")");
        return result == 0; // a frame is complete and flushed
    }
    bool NextMember(const uint8_t* AData, size_t ASize) override {
        return StartsWith(AData, ASize, {0x28, 0xB5, 0x2F, 0xFD}) || SkippableFrame(AData, ASize);
    }
    void Reset() override { ZSTD_DCtx_reset(FZ, ZSTD_reset_session_only); }

private:
    ZSTD_DStream* FZ;
};

class TLz4Codec final : public TCodec {
public:
    TLz4Codec() {
        if (LZ4F_isError(LZ4F_createDecompressionContext(&FZ, LZ4F_VERSION)))
            throw std::bad_alloc();
    }
    ~TLz4Codec() override { LZ4F_freeDecompressionContext(FZ); }
    bool Step(const uint8_t* AIn, size_t AInLen, bool, uint8_t* AOut, size_t AOutLen,
              size_t& AUsed, size_t& AMade) override {
        size_t made = AOutLen, used = AInLen;
        size_t result = LZ4F_decompress(FZ, AOut, &made, AIn, &used, nullptr);
        AUsed = used;
        AMade = made;
        if (LZ4F_isError(result))
            throw EKvCodec(std::string("The LZ4 data is damaged (") + LZ4F_getErrorName(result) +
                           ")");
        return result == 0; // the frame is complete
    }
    bool NextMember(const uint8_t* AData, size_t ASize) override {
        return StartsWith(AData, ASize, {0x04, 0x22, 0x4D, 0x18}) || SkippableFrame(AData, ASize);
    }
    void Reset() override { LZ4F_resetDecompressionContext(FZ); }

private:
    LZ4F_dctx* FZ = nullptr;
};

std::unique_ptr<TCodec> MakeCodec(TKvCompression AKind) {
    switch (AKind) {
    case TKvCompression::Gzip: return std::make_unique<TGzipCodec>();
    case TKvCompression::Xz: return std::make_unique<TXzCodec>();
    case TKvCompression::Bzip2: return std::make_unique<TBzip2Codec>();
    case TKvCompression::Zstd: return std::make_unique<TZstdCodec>();
    case TKvCompression::Lz4: return std::make_unique<TLz4Codec>();
    case TKvCompression::None: break;
    }
    throw EKvFsError("This data is not compressed");
}

} // namespace

TKvCompression DetectCompression(const uint8_t* AData, size_t ASize) {
    if (StartsWith(AData, ASize, {0x1F, 0x8B}))
        return TKvCompression::Gzip;
    if (StartsWith(AData, ASize, {0xFD, '7', 'z', 'X', 'Z', 0x00}))
        return TKvCompression::Xz;
    if (ASize >= 4 && StartsWith(AData, ASize, {'B', 'Z', 'h'}) && AData[3] >= '1' &&
        AData[3] <= '9')
        return TKvCompression::Bzip2;
    if (StartsWith(AData, ASize, {0x28, 0xB5, 0x2F, 0xFD}))
        return TKvCompression::Zstd;
    if (StartsWith(AData, ASize, {0x04, 0x22, 0x4D, 0x18}))
        return TKvCompression::Lz4;
    return TKvCompression::None;
}

TKvCompression DetectFileCompression(const std::string& AFile) {
    uint8_t head[6];
    try {
        TKvStreamPtr in = LocalFs()->OpenRead(AFile);
        int64_t n = in->ReadFully(head, sizeof(head));
        return DetectCompression(head, static_cast<size_t>(std::max<int64_t>(n, 0)));
    } catch (const EKvFsError&) {
        return TKvCompression::None;
    }
}

const char* CompressionName(TKvCompression AKind) {
    switch (AKind) {
    case TKvCompression::Gzip: return "gzip";
    case TKvCompression::Xz: return "xz";
    case TKvCompression::Bzip2: return "bzip2";
    case TKvCompression::Zstd: return "Zstandard";
    case TKvCompression::Lz4: return "LZ4";
    case TKvCompression::None: break;
    }
    return "uncompressed";
}

TKvDecompressStream::TKvDecompressStream(TKvStreamPtr AInner, TKvCompression AKind)
    : FInner(std::move(AInner)), FKind(AKind), FCodec(MakeCodec(AKind)),
      FInput(new uint8_t[KInput]) {}

TKvDecompressStream::~TKvDecompressStream() = default;

void TKvDecompressStream::Fail(const std::string& AWhat) const {
    throw EKvFsError(AWhat);
}

// Keeps what is left of the input and reads more behind it; false at the end of the input.
bool TKvDecompressStream::Refill() {
    if (FInEnd)
        return false;
    std::memmove(FInput.get(), FInput.get() + FInPos, FInLen - FInPos);
    FInLen -= FInPos;
    FInPos = 0;
    int64_t n = FInner->Read(FInput.get() + FInLen, static_cast<int64_t>(KInput - FInLen));
    if (n <= 0) {
        FInEnd = true;
        return false;
    }
    FInLen += static_cast<size_t>(n);
    return true;
}

int64_t TKvDecompressStream::Read(void* ABuffer, int64_t ACount) {
    if (FDone || ACount <= 0)
        return 0;
    auto* out = static_cast<uint8_t*>(ABuffer);
    const auto room = static_cast<size_t>(std::min<int64_t>(ACount, INT32_MAX));
    const std::string name = CompressionName(FKind);
    if (!FStarted) {
        FStarted = true;
        while (FInLen < 6 && Refill()) {
        }
        if (DetectCompression(FInput.get(), FInLen) != FKind)
            Fail(std::string("This is not ") +
                 (FKind == TKvCompression::Xz || FKind == TKvCompression::Lz4 ? "an " : "a ") +
                 name + " file");
    }
    for (;;) {
        if (FBetween) {
            while (FInLen - FInPos < FCodec->MagicSize() && Refill()) {
            }
            // The end, or trailing bytes that start no member (gzip ignores them too).
            if (!FCodec->NextMember(FInput.get() + FInPos, FInLen - FInPos)) {
                FDone = true;
                return 0;
            }
            try {
                FCodec->Reset();
            } catch (const EKvCodec& e) {
                Fail(e.what());
            }
            FBetween = false;
        }
        if (FInPos == FInLen)
            Refill();
        size_t used = 0, made = 0;
        bool ended;
        try {
            ended = FCodec->Step(FInput.get() + FInPos, FInLen - FInPos, FInEnd, out, room, used,
                                 made);
        } catch (const EKvCodec& e) {
            Fail(e.what());
        }
        FInPos += used;
        FTotal += static_cast<int64_t>(made);
        if (ended)
            FBetween = true;
        if (made > 0)
            return static_cast<int64_t>(made);
        if (ended || used > 0)
            continue;
        // No progress: the decoder wants more input than there is.
        if (FInLen - FInPos == KInput)
            Fail("The " + name + " data is damaged");
        if (!Refill())
            Fail("The " + name + " file is truncated");
    }
}

int64_t TKvDecompressStream::Write(const void*, int64_t) {
    throw EKvFsError(KArchivesReadOnly);
}

int64_t TKvDecompressStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    const int64_t target = AOrigin == soBegin ? AOffset : AOrigin == soCurrent ? FTotal + AOffset : -1;
    if (target < FTotal)
        throw EKvFsError("A compressed stream reads front to back only");
    std::vector<uint8_t> scratch(static_cast<size_t>(std::min<int64_t>(target - FTotal, KInput)));
    for (int64_t left = target - FTotal; left > 0;) {
        int64_t n = Read(scratch.data(), std::min<int64_t>(left, KInput));
        if (n <= 0)
            break;
        left -= n;
    }
    return FTotal;
}

namespace {

// Full buffers on their way to the disk and empty ones coming back, so unpacking the next
// piece and writing the last one overlap on two cores.
class TWriteBehind {
public:
    explicit TWriteBehind(TKvStream& AOut) : FOut(AOut) {
        for (int i = 0; i < 3; ++i)
            FEmpty.emplace_back(KCopy);
        FThread = std::thread([this] { Run(); });
    }
    ~TWriteBehind() { Stop(); }

    // An empty buffer to fill; rethrows what the writer met.
    std::vector<uint8_t> Take() {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [this] { return !FEmpty.empty() || FError; });
        if (FError)
            std::rethrow_exception(FError);
        std::vector<uint8_t> buffer = std::move(FEmpty.back());
        FEmpty.pop_back();
        return buffer;
    }
    void Put(std::vector<uint8_t> ABuffer, size_t ALength) {
        std::lock_guard lock(FLock);
        FFull.emplace_back(std::move(ABuffer), ALength);
        FChanged.notify_all();
    }
    // Waits until everything is written; rethrows what the writer met.
    void Finish() {
        Stop();
        if (FError)
            std::rethrow_exception(FError);
    }

private:
    void Run() {
        for (;;) {
            std::pair<std::vector<uint8_t>, size_t> piece;
            {
                std::unique_lock lock(FLock);
                FChanged.wait(lock, [this] { return !FFull.empty() || FStop; });
                if (FFull.empty())
                    return;
                piece = std::move(FFull.front());
                FFull.pop_front();
            }
            try {
                FOut.WriteAll(piece.first.data(), static_cast<int64_t>(piece.second));
            } catch (...) {
                std::lock_guard lock(FLock);
                FError = std::current_exception();
                FFull.clear();
                FChanged.notify_all();
                return;
            }
            std::lock_guard lock(FLock);
            FEmpty.push_back(std::move(piece.first));
            FChanged.notify_all();
        }
    }
    void Stop() {
        {
            std::lock_guard lock(FLock);
            FStop = true;
            FChanged.notify_all();
        }
        if (FThread.joinable())
            FThread.join();
    }

    TKvStream& FOut;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::vector<uint8_t>> FEmpty;
    std::deque<std::pair<std::vector<uint8_t>, size_t>> FFull;
    std::exception_ptr FError;
    bool FStop = false;
    std::thread FThread;
};

} // namespace

std::unique_ptr<TKvLockedTempFile> UnpackToTemp(const std::string& AFile, TKvCompression AKind,
                                                const IKvCancelToken& AToken) {
    TKvDecompressStream in(LocalFs()->OpenRead(AFile), AKind);
    const std::string folder = ArchiveTempFolder();
    std::unique_ptr<TKvLockedTempFile> temp;
    try {
        temp = std::make_unique<TKvLockedTempFile>(folder, "kvarc-", ".tmp");
    } catch (const std::system_error& e) {
        throw EKvFsError(folder + ": could not make a temporary file (" + e.code().message() + ")");
    }
    try {
        TKvStreamPtr out = LocalFs()->OpenWrite(temp->Path());
        TWriteBehind writer(*out);
        for (;;) {
            // Tested on every piece: a small input can unpack to a great deal.
            CheckCancelled(AToken);
            std::vector<uint8_t> buffer = writer.Take();
            int64_t n = in.ReadFully(buffer.data(), static_cast<int64_t>(buffer.size()));
            const bool last = n < static_cast<int64_t>(buffer.size());
            if (n > 0)
                writer.Put(std::move(buffer), static_cast<size_t>(n));
            if (last)
                break;
        }
        writer.Finish();
    } catch (...) {
        // Nothing will ever read the copy: it goes now rather than at the next sweep.
        temp->Remove();
        throw;
    }
    return temp;
}

TKvCompressedFileSystem::TKvCompressedFileSystem(const std::string& AFile,
                                                 std::unique_ptr<TKvLockedTempFile> ATemp,
                                                 const std::string& AName)
    : FTemp(std::move(ATemp)) {
    FId = "compressed:" + AFile;
    TKvFileEntry archive;
    TKvDateTime modified = LocalFs()->Stat(AFile, archive) ? archive.Modified : 0;
    TKvFileEntry unpacked;
    if (LocalFs()->Stat(FTemp->Path(), unpacked))
        FSize = unpacked.Size;
    AddEntry(AName.empty() ? std::string("data") : AName, false, 0, modified, FSize);
}

TKvCompressedFileSystem::~TKvCompressedFileSystem() {
    FTemp->Remove();
}

TKvStreamPtr TKvCompressedFileSystem::OpenNode(const TKvArchiveNode&) {
    return std::make_unique<TKvSliceStream>(LocalFs()->OpenRead(FTemp->Path()), 0, FSize);
}

} // namespace kv
