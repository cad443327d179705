// The HTTP/1.1 pieces under the WebDAV file system: paths and URLs, dates, the PROPFIND answer
// reader, authentication challenges and Digest, status texts, and the response reader that
// frames heads and bodies over any byte source.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Utf8.h"

namespace kv {

// The connection is unusable; always raised together with marking it broken.
class EDavLost : public EKvFsError {
public:
    using EKvFsError::EKvFsError;
};

struct TKvDavResponse {
    int Status = 0;
    // Parallel: names trimmed and lower-cased, values trimmed.
    std::vector<std::string> Names;
    std::vector<std::string> Values;

    // The first value of the lower-case name, or empty.
    std::string Header(std::string_view AName) const;
    std::vector<std::string> HeaderAll(std::string_view AName) const;
};

struct TKvDavChallenge {
    std::string Scheme; // lower-case
    std::string Realm, Nonce, Opaque, Algorithm, Qop, Stale;
};

struct TKvDavItem {
    // Decoded absolute path on the server, no trailing slash.
    std::string Path;
    // The href's parts, each decoded on its own: "%2F" stays inside its part, "." and ".." are
    // kept, so a listing can tell whether the item really lies in the folder it asked for.
    std::vector<std::string> Parts;
    TKvFileEntry Entry;
};

// Paths: "/" alone separates, empty and "." components vanish, ".." climbs.
std::vector<std::string> SplitDavPath(std::string_view APath);
// "/" + parts joined with "/", or "/" for none.
std::string JoinDavPath(const std::vector<std::string>& AParts);
// Strict UTF-8 as it is; anything else read as Latin-1.
std::string DecodeHttpText(std::string_view ABytes);
// Keeps A-Z a-z 0-9 - . / _ ~; every other byte becomes %XX (upper-case).
std::string PercentEncode(std::string_view AText);
std::string DecodeUrlPath(std::string_view AText);
// An href (absolute URL or path) to a decoded, normalized server path.
std::string HrefToPath(std::string_view AHref);
// An href's parts, each percent-decoded to the server's own bytes (a name that is not UTF-8
// goes back exactly as it came), nothing collapsed (see TKvDavItem::Parts).
std::vector<std::string> HrefParts(std::string_view AHref);
// The path a redirect leads to on the same server (AHostHeader), or empty when not followed.
std::string RedirectPath(std::string_view ALocation, std::string_view AHostHeader);

struct TKvHostField {
    std::string Host;
    // Empty, or "/folder" without a trailing slash.
    std::string Base;
    int Port = 443;
};
// A Host field: a name, name:port, a URL, or a name followed by a folder.
TKvHostField ParseHostField(std::string_view AText, int ADefaultPort);

// RFC 1123, RFC 850 and asctime dates (GMT) to Unix seconds.
bool ParseHttpDate(std::string_view AText, int64_t& AUnixSeconds);

// Entities of XML text; unknown ones stay as they are.
std::string XmlUnescape(std::string_view AText);
// The element name without its prefix, lower-cased.
std::string XmlLocalName(std::string_view AName);
// The items of a PROPFIND answer, in the server's order; forgiving about namespaces and junk.
std::vector<TKvDavItem> ParseMultistatus(std::string_view AText);

// Lower-case hex SHA-256 for "SHA-256..." algorithms, MD5 otherwise.
std::string DigestHash(std::string_view AAlgorithm, std::string_view AText);
bool IsDigestAlgorithm(std::string_view AAlgorithm);
std::string DigestResponse(std::string_view AAlgorithm, std::string_view AUser,
                           std::string_view ARealm, std::string_view APassword,
                           std::string_view AUri, std::string_view AMethod, std::string_view AQop,
                           std::string_view ANc, std::string_view ACnonce, std::string_view ANonce);
// Every WWW-Authenticate value may carry several challenges.
std::vector<TKvDavChallenge> ParseChallenges(const std::vector<std::string>& AValues);
std::string QuoteDigestValue(std::string_view AText);

// "path: reason" for a refusing status.
EKvFsError DavStatusError(const std::string& APath, int AStatus);
inline bool IsHttpSuccess(int AStatus) {
    return AStatus >= 200 && AStatus <= 299;
}
inline bool IsHttpRedirect(int AStatus) {
    return AStatus == 301 || AStatus == 302 || AStatus == 303 || AStatus == 307 || AStatus == 308;
}

// Where a response reader gets its bytes. Receive returns at least one byte, or 0 when the peer
// closed; it may raise EKvCancelled or EKvFsError.
class IKvHttpSource {
public:
    virtual ~IKvHttpSource() = default;
    virtual int Receive(char* ABuffer, int ALength, int ATimeoutMs) = 0;
    // After Receive returned 0: whether the peer ended the stream properly (TLS close_notify);
    // otherwise the data may have been cut off by an attacker or a broken network.
    virtual bool EndedCleanly() const = 0;
};

enum class TKvDavBodyMode { bmNone, bmLength, bmChunked, bmClose };
using enum TKvDavBodyMode;

inline constexpr int KHttpHeadMs = 60000;
inline constexpr int KHttpBodyMs = 60000;
inline constexpr size_t KHttpMaxLine = 65536;
inline constexpr int KHttpMaxHeaders = 200;
// The whole head of one response: every line counts, folded and colonless ones too, so a server
// cannot grow one header without end. curl and nginx stop in the same tens of KiB.
inline constexpr size_t KHttpMaxHead = 65536;
// What answers read whole may hold.
inline constexpr size_t KHttpMaxBody = 0x4000000;

// Frames the responses of one connection: heads, then bodies of fixed length, chunked or running
// until the peer closes. Every framing error raises EDavLost and leaves the reader broken.
class TKvHttpReader {
public:
    explicit TKvHttpReader(IKvHttpSource& ASource, int ABodyMs = KHttpBodyMs);

    // The next final response's head; interim (1xx) answers are skipped.
    TKvDavResponse ReadHead(std::string_view AMethod, int ATimeoutMs);
    // Body bytes, at most ALength; 0 at the end of the body.
    int ReadBody(char* ABuffer, int ALength);
    // The whole body; more than AMax bytes raise EDavLost.
    std::string ReadBodyAll(size_t AMax = KHttpMaxBody);
    // Forgets everything buffered (a new connection).
    void Reset();

    bool Broken() const { return FBroken; }
    void SetBroken() { FBroken = true; }
    bool CloseAfter() const { return FCloseAfter; }
    bool BodyDone() const { return FBodyDone; }
    int Exchanges() const { return FExchanges; }
    TKvDavBodyMode BodyMode() const { return FBody; }
    bool HasBuffered() const { return FInLen > FInPos; }

private:
    bool FillInput(int ATimeoutMs);
    std::string_view ReadLine(int ATimeoutMs);
    [[noreturn]] void Lost(const std::string& AMessage);
    int ReceiveInto(char* ABuffer, int ALength, int ATimeoutMs);

    IKvHttpSource& FSource;
    int FBodyMs;
    std::vector<char> FIn;
    size_t FInPos = 0, FInLen = 0;
    bool FBroken = false;
    bool FCloseAfter = false;
    bool FBodyDone = true;
    int FExchanges = 0;
    TKvDavBodyMode FBody = bmNone;
    int64_t FBodyLeft = 0;
    int64_t FChunkLeft = 0;
    bool FInChunk = false;
};

} // namespace kv
