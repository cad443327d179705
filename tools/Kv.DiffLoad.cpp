#include "Kv.DiffLoad.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Kv.Compare.h"

namespace kv {

namespace {

constexpr int64_t KFirstBuffer = 262144;
constexpr int KTextSample = 8192;

std::string SizeMessage(const std::string& APath) {
    char text[64];
    std::snprintf(text, sizeof text, ": larger than %d MB, too large to show side by side",
                  int(KDiffMaxBytes / 1048576));
    return APath + text;
}

} // namespace

int HexRowBytes(std::string_view ABytes, int ARow) {
    const int64_t at = int64_t(ARow) * 16;
    return int(std::clamp<int64_t>(int64_t(ABytes.size()) - at, 0, 16));
}

std::string ReadWholeFile(IKvFileSystem& AFs, const std::string& APath, const IKvCancelToken& AToken) {
    CheckCancelled(AToken);
    TKvStreamPtr stream = AFs.OpenRead(APath);
    // A known size sizes the buffer at once (one byte more, so the read that finds the end
    // needs no growth); the doubling below still holds the cap for a file that grows or lies.
    int64_t start = KFirstBuffer;
    if (const int64_t size = stream->Size(); size >= 0 && size < KDiffMaxBytes)
        start = std::max(start, size + 1);
    std::string buffer(size_t(start), '\0');
    int64_t length = 0;
    for (;;) {
        if (length == int64_t(buffer.size())) {
            if (length >= KDiffMaxBytes)
                throw EKvFsError(SizeMessage(APath));
            buffer.resize(size_t(std::min<int64_t>(int64_t(buffer.size()) * 2, KDiffMaxBytes)));
        }
        CheckCancelled(AToken);
        int64_t got = stream->Read(buffer.data() + length, int64_t(buffer.size()) - length);
        if (got <= 0)
            break;
        length += got;
    }
    buffer.resize(size_t(length));
    return buffer;
}

std::vector<TKvDiffKind> HexRowKinds(std::string_view ALeft, std::string_view ARight, const IKvCancelToken& AToken) {
    const int64_t larger = std::max(ALeft.size(), ARight.size());
    const int rows = int((larger + 15) / 16);
    std::vector<TKvDiffKind> kinds(size_t(rows), dkSame);
    for (int r = 0; r < rows; ++r) {
        if (r % 65536 == 0)
            CheckCancelled(AToken);
        const int left = HexRowBytes(ALeft, r), right = HexRowBytes(ARight, r);
        if (left == 0)
            kinds[r] = dkRightOnly;
        else if (right == 0)
            kinds[r] = dkLeftOnly;
        else if (left != right || std::memcmp(ALeft.data() + int64_t(r) * 16, ARight.data() + int64_t(r) * 16, left) != 0)
            kinds[r] = dkChanged;
    }
    return kinds;
}

TKvDiffLoadPtr LoadDiff(IKvFileSystem& ALeftFs, const std::string& ALeftPath, IKvFileSystem& ARightFs,
                        const std::string& ARightPath, const TKvCompareOptions& AOptions,
                        const IKvCancelToken& AToken) {
    auto load = std::make_shared<TKvDiffLoad>();
    try {
        std::string left = ReadWholeFile(ALeftFs, ALeftPath, AToken);
        std::string right = ReadWholeFile(ARightFs, ARightPath, AToken);
        load->Binary = IsBinaryExtension(ALeftFs.NameOf(ALeftPath)) || !LooksLikeText(left, KTextSample) ||
                       !LooksLikeText(right, KTextSample) || left.find('\0') != std::string::npos ||
                       right.find('\0') != std::string::npos;
        if (load->Binary) {
            load->Kinds = HexRowKinds(left, right, AToken);
            load->RowCount = int(load->Kinds.size());
            load->LeftBytes = std::move(left);
            load->RightBytes = std::move(right);
            return load;
        }
        load->LeftText = std::make_unique<std::string>(DecodeOwnedText(std::move(left), load->LeftInfo));
        load->RightText = std::make_unique<std::string>(DecodeOwnedText(std::move(right), load->RightInfo));
        load->LeftLines = SplitLineViews(*load->LeftText);
        load->RightLines = SplitLineViews(*load->RightText);
        BuildDiffRows(load->LeftLines, load->RightLines, AOptions, load->Rows, AToken);
        load->RowCount = int(load->Rows.size());
        for (auto* lines : {&load->LeftLines, &load->RightLines})
            for (auto& line : *lines)
                if (line.find('\t') != std::string_view::npos)
                    line = load->Expanded.emplace_back(ExpandTabs(line, KDiffTabWidth));
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        load->Error = e.what();
    }
    return load;
}

} // namespace kv
