// The line diff on two texts cut from one input at its first zero byte (or its middle). Checks
// what every caller relies on: each line appears once and in order, pairs are where the kinds
// say, identical rows really are identical, and no more lines match than a full
// longest-common-subsequence table allows.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.Diff.h"

namespace {

void Require(bool ACondition) {
    if (!ACondition)
        std::abort();
}

int Lcs(const std::vector<std::string>& A, const std::vector<std::string>& B) {
    std::vector<int> row(B.size() + 1, 0), next(B.size() + 1, 0);
    for (size_t i = A.size(); i-- > 0;) {
        for (size_t j = B.size(); j-- > 0;)
            next[j] = A[i] == B[j] ? row[j + 1] + 1 : std::max(row[j], next[j + 1]);
        std::swap(row, next);
    }
    return row[0];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::string_view input(reinterpret_cast<const char*>(AData), ASize);
    size_t cut = input.find('\0');
    std::string_view leftBytes =
        cut == std::string_view::npos ? input.substr(0, ASize / 2) : input.substr(0, cut);
    std::string_view rightBytes = input.substr(cut == std::string_view::npos ? ASize / 2 : cut + 1);
    // The first byte of the right part, when present, picks the ignore options.
    kv::TKvCompareOptions options;
    unsigned flags = rightBytes.empty() ? 0 : static_cast<unsigned char>(rightBytes[0]);
    options.IgnoreTrailingSpace = flags & 1;
    options.IgnoreSpaceChange = flags & 2;
    options.IgnoreCase = flags & 4;
    options.IgnoreEndBlankLines = flags & 8;

    kv::TKvTextInfo leftInfo, rightInfo;
    auto left = kv::SplitLines(kv::DecodeText(leftBytes, leftInfo));
    auto right = kv::SplitLines(kv::DecodeText(rightBytes, rightInfo));
    std::vector<kv::TKvDiffRow> rows;
    kv::TKvCancelToken token;
    kv::BuildDiffRows(left, right, options, rows, token);

    int nextLeft = 0, nextRight = 0, matched = 0;
    for (const auto& row : rows) {
        if (row.Left >= 0)
            Require(row.Left == nextLeft++);
        if (row.Right >= 0)
            Require(row.Right == nextRight++);
        switch (row.Kind) {
        case kv::dkSame:
            Require(row.Left >= 0 && row.Right >= 0 && left[row.Left] == right[row.Right]);
            ++matched;
            break;
        case kv::dkSoft:
            Require(row.Left >= 0 || row.Right >= 0);
            if (row.Left >= 0 && row.Right >= 0) {
                Require(kv::NormalizeText(left[row.Left], options) ==
                        kv::NormalizeText(right[row.Right], options));
                ++matched;
            }
            break;
        case kv::dkChanged:
            Require(row.Left >= 0 && row.Right >= 0);
            break;
        case kv::dkLeftOnly:
            Require(row.Left >= 0 && row.Right < 0);
            break;
        case kv::dkRightOnly:
            Require(row.Left < 0 && row.Right >= 0);
            break;
        }
    }
    Require(nextLeft == int(left.size()) && nextRight == int(right.size()));
    if (left.size() * right.size() <= 250000) {
        std::vector<std::string> normLeft, normRight;
        for (const auto& line : left)
            normLeft.push_back(kv::NormalizeText(line, options));
        for (const auto& line : right)
            normRight.push_back(kv::NormalizeText(line, options));
        Require(matched <= Lcs(normLeft, normRight));
    }
    return 0;
}
