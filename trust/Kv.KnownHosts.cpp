#include "Kv.KnownHosts.h"

#include <array>
#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#include "Kv.FileUtil.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// Two connections confirming keys at once must not lose a line.
std::mutex& StoreLock() {
    static std::mutex lock;
    return lock;
}

// A field that reads back as itself: not empty, no blank, tab, line break or other control.
bool IsPlainField(std::string_view AText) {
    if (AText.empty())
        return false;
    for (char c : AText) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f')
            return false;
    }
    return true;
}

bool IsMissing(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) != 0 && errno == ENOENT;
}

// Lines end at CR, LF or CR LF; text after the last break is a line too. Adding a host relies
// on this: a line appended after a break never joins the line before it.
std::vector<std::string_view> SplitLines(std::string_view AText) {
    // An editor may have put a byte-order mark in front of the first host; only that one is
    // skipped, anything else belongs to the line.
    if (AText.substr(0, 3) == "\xEF\xBB\xBF")
        AText.remove_prefix(3);
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < AText.size()) {
        size_t end = AText.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(AText.substr(start));
            break;
        }
        lines.push_back(AText.substr(start, end - start));
        start =
            end + (AText[end] == '\r' && end + 1 < AText.size() && AText[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

// The first three fields of a line split at runs of blanks and tabs; false with fewer.
bool LineFields(std::string_view ALine, std::array<std::string_view, 3>& AFields) {
    std::string_view rest = TrimmedView(ALine);
    for (size_t i = 0; i < AFields.size(); ++i) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            return false;
        rest.remove_prefix(start);
        size_t end = rest.find_first_of(" \t");
        AFields[i] = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    return true;
}

// Under the lock. Field 3 of the first line for the host key and key type.
bool FindStored(const std::string& AFile, const std::string& AHostKey, std::string_view AKeyType,
                std::string& AFingerprint) {
    AFingerprint.clear();
    std::string text;
    if (!LoadText(AFile, text))
        return false;
    for (std::string_view line : SplitLines(text)) {
        std::array<std::string_view, 3> fields;
        if (LineFields(line, fields) && fields[0] == AHostKey &&
            SameTextAscii(fields[1], AKeyType)) {
            AFingerprint = std::string(fields[2]);
            return true;
        }
    }
    return false;
}

} // namespace

std::string KnownHostsFile() {
    std::string folder = DataFolder();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "known_hosts.txt";
}

std::string KnownHostKey(std::string_view AHost, int APort) {
    std::string host(TrimmedView(AHost));
    for (char& c : host)
        c = AsciiLower(c);
    return "[" + host + "]:" + std::to_string(APort);
}

TKvKnownHostState CheckKnownHost(const std::string& AFile, std::string_view AHost, int APort,
                                 std::string_view AKeyType, std::string_view AFingerprint) {
    std::lock_guard lock(StoreLock());
    std::string stored;
    if (!FindStored(AFile, KnownHostKey(AHost, APort), AKeyType, stored))
        return khUnknown;
    return stored == AFingerprint ? khMatch : khChanged;
}

std::string StoredFingerprint(const std::string& AFile, std::string_view AHost, int APort,
                              std::string_view AKeyType) {
    std::lock_guard lock(StoreLock());
    std::string stored;
    FindStored(AFile, KnownHostKey(AHost, APort), AKeyType, stored);
    return stored;
}

std::vector<std::string> KnownHostKeyTypes(const std::string& AFile, std::string_view AHost,
                                           int APort) {
    std::lock_guard lock(StoreLock());
    std::vector<std::string> types;
    std::string text;
    if (!LoadText(AFile, text))
        return types;
    const std::string host_key = KnownHostKey(AHost, APort);
    for (std::string_view line : SplitLines(text)) {
        std::array<std::string_view, 3> fields;
        if (!LineFields(line, fields) || fields[0] != host_key)
            continue;
        bool seen = false;
        for (const auto& type : types)
            seen = seen || SameTextAscii(type, fields[1]);
        if (!seen)
            types.emplace_back(fields[1]);
    }
    return types;
}

bool AddKnownHost(const std::string& AFile, std::string_view AHost, int APort,
                  std::string_view AKeyType, std::string_view AFingerprint) {
    // A host name from an imported connection must not smuggle a second, trusted line in.
    if (!IsPlainField(TrimmedView(AHost)) || APort < 1 || APort > 65535 ||
        !IsPlainField(AKeyType) || !IsPlainField(AFingerprint))
        return false;
    std::lock_guard lock(StoreLock());
    std::string text;
    if (!LoadText(AFile, text) && !IsMissing(AFile))
        // Unreadable is not empty: the new line alone would replace every host trusted so far.
        return false;
    // The bytes already there are kept as they are. Split and joined again, they could read as
    // other lines (a second byte-order mark, other line ends) and answer for a host that was
    // never confirmed.
    if (!text.empty() && text.back() != '\n' && text.back() != '\r')
        text.append("\r\n");
    text.append(KnownHostKey(AHost, APort));
    text.push_back(' ');
    text.append(AKeyType);
    text.push_back(' ');
    text.append(AFingerprint);
    text.append("\r\n");
    // Which servers the user trusts, and so uses, is theirs alone to read.
    return SaveBytesAtomic(AFile, text, 0600);
}

} // namespace kv
