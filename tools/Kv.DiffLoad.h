// Loading two files for the side-by-side view: both read whole (up to a cap), then either
// aligned 16-byte rows (binary) or decoded, split and matched lines (text).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.Diff.h"
#include "Kv.FileSystem.h"
#include "Kv.Settings.h"
#include "Kv.Worker.h"

namespace kv {

struct TKvDiffLoad {
    std::string Error;
    bool Binary = false;
    // Views into the storage below, which moves with the load and never reallocates.
    std::vector<std::string_view> LeftLines, RightLines;
    std::unique_ptr<std::string> LeftText, RightText;
    std::deque<std::string> Expanded; // lines that tab expansion rewrote
    std::vector<TKvDiffRow> Rows;
    std::string LeftBytes, RightBytes;
    std::vector<TKvDiffKind> Kinds;
    int RowCount = 0;
    TKvTextInfo LeftInfo, RightInfo;
};
using TKvDiffLoadPtr = std::shared_ptr<TKvDiffLoad>;

// Both files are held whole; this bounds what one window takes.
inline constexpr int64_t KDiffMaxBytes = 67108864;
inline constexpr int KDiffTabWidth = 4;

// The whole file, or EKvFsError when it is KDiffMaxBytes or larger.
std::string ReadWholeFile(IKvFileSystem& AFs, const std::string& APath, const IKvCancelToken& AToken);
// The loading job: never raises but for cancellation; a failure is the result's Error.
TKvDiffLoadPtr LoadDiff(IKvFileSystem& ALeftFs, const std::string& ALeftPath, IKvFileSystem& ARightFs,
                        const std::string& ARightPath, const TKvCompareOptions& AOptions,
                        const IKvCancelToken& AToken);
// How many bytes of ABytes hex row ARow holds (0 to 16).
int HexRowBytes(std::string_view ABytes, int ARow);
// The kinds of 16-byte rows of two byte strings.
std::vector<TKvDiffKind> HexRowKinds(std::string_view ALeft, std::string_view ARight, const IKvCancelToken& AToken);
} // namespace kv
