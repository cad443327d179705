#include "Kv.Http.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "Kv.DateTime.h"
#include "Kv.FS.Dav.h"
#include "KvListener.h"

namespace kv {
namespace {

// A peer whose bytes arrive in pieces of a given size, then end with or without close_notify.
class TScriptSource : public IKvHttpSource {
public:
    TScriptSource(std::string ABytes, size_t APiece, bool AClean)
        : FBytes(std::move(ABytes)), FPiece(APiece), FClean(AClean) {}
    int Receive(char* ABuffer, int ALength, int) override {
        const size_t count = std::min({FPiece, static_cast<size_t>(ALength), FBytes.size() - FPos});
        std::copy_n(FBytes.data() + FPos, count, ABuffer);
        FPos += count;
        return static_cast<int>(count);
    }
    bool EndedCleanly() const override { return FClean; }

private:
    std::string FBytes;
    size_t FPos = 0;
    size_t FPiece;
    bool FClean;
};

struct TResponseScript {
    const char* Name;
    std::string Bytes;
    const char* Method;
    bool Clean;
    // "status|body|close" for each response read, in order; then the error, if any.
    std::vector<std::string> Results;
    const char* Error;
};

std::vector<std::string> ReadResponses(const TResponseScript& AScript, size_t APiece,
                                       std::string& AError) {
    TScriptSource source(AScript.Bytes, APiece, AScript.Clean);
    TKvHttpReader reader(source);
    std::vector<std::string> results;
    try {
        for (;;) {
            const TKvDavResponse head = reader.ReadHead(AScript.Method, 1000);
            const std::string body = reader.ReadBodyAll();
            std::string line = std::to_string(head.Status) + "|" + body + "|" +
                               (reader.CloseAfter() ? "close" : "keep");
            if (const std::string folded = head.Header("x-folded"); !folded.empty())
                line += "|" + folded;
            results.push_back(line);
            if (reader.CloseAfter())
                break;
        }
    } catch (const EDavLost& error) {
        AError = error.what();
    }
    return results;
}

TEST(HttpReader, ResponseScripts) {
    const std::string chunk26(26, 'c');
    std::string manyHeaders = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 201; ++i)
        manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
    // One header grown by folded lines: 100 lines of 600 bytes fit in the head, 120 do not.
    const std::string fold(600, 'f');
    std::string foldedHead = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n"
                             "X-Folded: a\r\n";
    std::string foldedValue = "a";
    for (int i = 0; i < 100; ++i) {
        foldedHead += "\t" + fold + "\r\n";
        foldedValue += " " + fold;
    }
    std::string overlongHead = foldedHead;
    for (int i = 0; i < 20; ++i)
        overlongHead += "\t" + fold + "\r\n";
    std::string manyFolded = "HTTP/1.1 200 OK\r\nX-Folded: a\r\n", manyColonless = manyFolded;
    for (int i = 0; i < 200; ++i) {
        manyFolded += " b\r\n";
        manyColonless += "no colon\r\n";
    }
    const TResponseScript scripts[] = {
        {"fixed length, two on one connection",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 404 Not Found\r\n"
         "Content-Length: 0\r\nConnection: close\r\n\r\n",
         "GET",
         true,
         {"200|hello|keep", "404||close"},
         nullptr},
        {"interim 100 Continue is skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 207 Multi-Status\r\nContent-Length: 2\r\n"
         "Connection: close\r\n\r\nok",
         "PROPFIND",
         true,
         {"207|ok|close"},
         nullptr},
        {"chunk extension and trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
         "1a;name=value\r\n" +
             chunk26 + "\r\n3\r\nabc\r\n0\r\nX-Trailer: t\r\n\r\n",
         "GET",
         true,
         {"200|" + chunk26 + "abc|close"},
         nullptr},
        {"chunk size of 16 digits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n000000000000001a\r\n" + chunk26,
         "GET",
         true,
         {},
         "The server sent a broken chunk"},
        {"chunk not followed by a line break",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n",
         "GET",
         true,
         {},
         "The server sent a broken chunk"},
        {"HTTP/1.0 without keep-alive closes",
         "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx",
         "GET",
         true,
         {"200|x|close"},
         nullptr},
        {"HTTP/1.0 with keep-alive stays",
         "HTTP/1.0 204 No Content\r\nConnection: Keep-Alive\r\nContent-Length: 9\r\n\r\n"
         "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n",
         "DELETE",
         true,
         {"204||keep", "200||close"},
         nullptr},
        {"close-delimited body ended with close_notify",
         "HTTP/1.1 200 OK\r\n\r\nthe whole body",
         "GET",
         true,
         {"200|the whole body|close"},
         nullptr},
        {"close-delimited body cut without close_notify",
         "HTTP/1.1 200 OK\r\n\r\nhalf a bo",
         "GET",
         false,
         {},
         "The connection was cut before the end of the data"},
        {"fixed length cut short",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
         "GET",
         true,
         {},
         "The server closed the connection before the end of the data"},
        {"HEAD has no body despite its length",
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nConnection: close\r\n\r\n",
         "HEAD",
         true,
         {"200||close"},
         nullptr},
        {"folded header and blank lines before the status",
         "\r\n\r\nHTTP/1.1 200 OK\r\nX-Folded: one\r\n\t two \r\nno colon line\r\n"
         "Content-Length: 0\r\nConnection: close\r\n\r\n",
         "GET",
         true,
         {"200||close|one two"},
         nullptr},
        {"not HTTP",
         "SSH-2.0-OpenSSH_9.2\r\n",
         "GET",
         true,
         {},
         "The server sent something that is not HTTP: SSH-2.0-OpenSSH_9.2"},
        {"status below 100",
         "HTTP/1.1 099 Odd\r\n\r\n",
         "GET",
         true,
         {},
         "The server sent a broken answer: HTTP/1.1 099 Odd"},
        {"negative Content-Length",
         "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
         "GET",
         true,
         {},
         "The server sent a broken Content-Length"},
        {"201 header lines",
         manyHeaders + "\r\n",
         "GET",
         true,
         {},
         "The server sent too many header lines"},
        {"folded lines within the head limit",
         foldedHead + "\r\n",
         "GET",
         true,
         {"200||close|" + foldedValue},
         nullptr},
        {"folded lines past the head limit",
         overlongHead + "\r\n",
         "GET",
         true,
         {},
         "The server sent a header larger than 64 KiB"},
        {"blank lines before the status past the head limit",
         std::string(70000, '\n') + "HTTP/1.1 200 OK\r\n\r\n",
         "GET",
         true,
         {},
         "The server sent a header larger than 64 KiB"},
        {"folded lines count as header lines",
         manyFolded + "\r\n",
         "GET",
         true,
         {},
         "The server sent too many header lines"},
        {"lines without a colon count as header lines",
         manyColonless + "\r\n",
         "GET",
         true,
         {},
         "The server sent too many header lines"},
        {"line without end",
         "HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'x'),
         "GET",
         true,
         {},
         "The server sent a line that is too long"},
    };
    for (const auto& script : scripts) {
        for (size_t piece : {size_t(1), size_t(7), size_t(1 << 20)}) {
            std::string error;
            const auto results = ReadResponses(script, piece, error);
            EXPECT_EQ(results, script.Results) << script.Name << ", pieces of " << piece;
            EXPECT_EQ(error, script.Error ? script.Error : "")
                << script.Name << ", pieces of " << piece;
        }
    }
}

TEST(HttpReader, UnreadInputAndEndOfBody) {
    TScriptSource source("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcHTTP", 4096, true);
    TKvHttpReader reader(source);
    reader.ReadHead("GET", 1000);
    EXPECT_FALSE(reader.BodyDone());
    char buffer[16];
    EXPECT_EQ(reader.ReadBody(buffer, sizeof buffer), 3);
    EXPECT_TRUE(reader.BodyDone());
    EXPECT_EQ(reader.ReadBody(buffer, sizeof buffer), 0);
    // Bytes past the body make the connection unfit for the pool.
    EXPECT_TRUE(reader.HasBuffered());
}

TEST(HttpText, PathsUrlsAndHosts) {
    EXPECT_EQ(JoinDavPath(SplitDavPath("/a//./b/../c/")), "/a/c");
    EXPECT_EQ(JoinDavPath(SplitDavPath("/d/a\\b.txt")), "/d/a\\b.txt");
    EXPECT_EQ(JoinDavPath(SplitDavPath("/../..")), "/");
    EXPECT_EQ(PercentEncode("/dav/a b/ü%?#"), "/dav/a%20b/%C3%BC%25%3F%23");
    EXPECT_EQ(DecodeUrlPath("/a%20b/%C3%BC%zz%4"), "/a b/ü%zz%4");
    // Not UTF-8: read as Latin-1.
    EXPECT_EQ(DecodeUrlPath("/caf%E9"), "/café");

    const std::pair<const char*, const char*> hrefs[] = {
        {"https://host/dav/a%20b/", "/dav/a b"},
        {"  HTTP://host:8443  ", "/"},
        {"/dav/x?query#frag", "/dav/x"},
        {"/dav/%2e%2e/../etc", "/etc"},
    };
    for (const auto& [href, path] : hrefs)
        EXPECT_EQ(HrefToPath(href), path) << href;
    // Parts are decoded one by one: an encoded "/" or ".." stays inside its part, where the
    // listing can see it is no name of the folder.
    const std::pair<const char*, std::vector<std::string>> parts[] = {
        {"https://host/dav/a%20b/", {"dav", "a b"}},
        {"/..%2F..%2Fevil.txt", {"../../evil.txt"}},
        {"/dav/a%2Fb.txt", {"dav", "a/b.txt"}},
        {"/dav/../x", {"dav", "..", "x"}},
        {"/dav/a\\b.txt?x", {"dav", "a\\b.txt"}},
        // The server's own bytes: a Latin-1 name is sent back as it came, not as UTF-8.
        {"/dav/caf%E9", {"dav", "caf\xE9"}},
    };
    for (const auto& [href, expected] : parts)
        EXPECT_EQ(HrefParts(href), expected) << href;

    const std::tuple<const char*, const char*, const char*> redirects[] = {
        {"https://example.org:8443/dav/#x", "example.org:8443", "/dav/"},
        {"https://EXAMPLE.org:443/a", "example.org", "/a"},
        {"https://example.org", "example.org", "/"},
        {"https://other.org/dav/", "example.org", ""},
        {"http://example.org/dav/", "example.org", ""},
        {"/dav/", "example.org", "/dav/"},
        {"dav/", "example.org", ""},
    };
    for (const auto& [location, host, path] : redirects)
        EXPECT_EQ(RedirectPath(location, host), path) << location;

    struct THost {
        const char* Text;
        const char* Host;
        const char* Base;
        int Port;
    };
    const THost hosts[] = {
        {"user@[::1]:8443/dav", "::1", "/dav", 8443},
        {"example:badport", "example", "", 443},
        {"https://a:b@host.org:70000/x%20y/?q", "host.org", "/x y", 443},
        {"host/", "host", "", 443},
        {"::1", "::1", "", 443},
        {"  http://h:8080/a/../b/#f ", "h", "/b", 8080},
    };
    for (const auto& host : hosts) {
        const TKvHostField field = ParseHostField(host.Text, 443);
        EXPECT_EQ(field.Host, host.Host) << host.Text;
        EXPECT_EQ(field.Base, host.Base) << host.Text;
        EXPECT_EQ(field.Port, host.Port) << host.Text;
    }
}

TEST(HttpText, Dates) {
    const int64_t expected = 784111777; // 1994-11-06 08:49:37 UTC
    for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994", "6 nov 1994 08:49:37"}) {
        int64_t seconds = 0;
        EXPECT_TRUE(ParseHttpDate(text, seconds)) << text;
        EXPECT_EQ(seconds, expected) << text;
    }
    int64_t seconds = 0;
    EXPECT_TRUE(ParseHttpDate("Thu, 01 Jan 2026 00:00:60 GMT", seconds));
    EXPECT_EQ(seconds, 1767225600 + 59);
    for (const char* text : {"", "Sun, 31 Feb 1994 08:49:37 GMT", "Sun, 06 Xyz 1994 08:49:37 GMT",
                             "Sun, 06 Nov 1994 24:00:00 GMT", "06 Nov 19945 08:49:37"})
        EXPECT_FALSE(ParseHttpDate(text, seconds)) << text;
}

TEST(HttpText, XmlEntities) {
    EXPECT_EQ(XmlUnescape("a &amp; b &lt;&gt;&quot;&apos; &#233;&#x1F600;"), "a & b <>\"' é😀");
    EXPECT_EQ(XmlUnescape("&bogus; &#xD800; &#0; &#x110000; &amp"),
              "&bogus; &#xD800; &#0; &#x110000; &amp");
    EXPECT_EQ(XmlUnescape("&#99999999999999999999;"), "&#99999999999999999999;");
}

TEST(HttpText, Multistatus) {
    const std::string prefixed =
        "<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\">"
        "<d:response><d:href>/dav/</d:href><d:propstat><d:prop><d:resourcetype><d:collection/>"
        "</d:resourcetype></d:prop></d:propstat></d:response>"
        "<d:response><d:href>/dav/a%20b.txt</d:href><d:propstat><d:prop><d:resourcetype/>"
        "<d:getcontentlength>1234</d:getcontentlength>"
        "<d:getlastmodified>Sun, 06 Nov 1994 08:49:37 GMT</d:getlastmodified>"
        "</d:prop></d:propstat></d:response>"
        "<!-- a comment with <d:response> inside -->"
        "<d:response><d:href><![CDATA[/dav/.hidden/]]></d:href><d:propstat><d:prop>"
        "<d:resourcetype><d:collection/></d:resourcetype><d:getcontentlength>9"
        "</d:getcontentlength></d:prop></d:propstat></d:response>"
        "<d:response><d:href>/dav/R&amp;D</d:href><d:propstat><d:prop>"
        "<d:getcontentlength>x1</d:getcontentlength></d:prop><d:status>HTTP/1.1 200 OK</d:status>"
        "</d:propstat><d:propstat><d:prop><d:getlastmodified/></d:prop>"
        "<d:status>HTTP/1.1 404 Not Found</d:status></d:propstat></d:response>"
        "<d:response><d:propstat/></d:response>"
        "</d:multistatus>";
    std::string plain = prefixed;
    for (std::string from : {"d:", "/d:"}) {
        for (size_t at; (at = plain.find("<" + from)) != std::string::npos;)
            plain.replace(at + 1, from.size(), from == "d:" ? "" : "/");
    }
    std::string upper = prefixed;
    for (size_t at; (at = upper.find("d:")) != std::string::npos;)
        upper.replace(at, 2, "LP1:");
    for (const std::string& text : {prefixed, plain, upper}) {
        const auto items = ParseMultistatus(text);
        ASSERT_EQ(items.size(), 4u) << text;
        EXPECT_EQ(items[0].Path, "/dav");
        EXPECT_TRUE(items[0].Entry.IsDir);
        EXPECT_EQ(items[1].Path, "/dav/a b.txt");
        EXPECT_EQ(items[1].Entry.Name, "a b.txt");
        EXPECT_EQ(items[1].Entry.Size, 1234);
        EXPECT_EQ(items[1].Entry.Modified, DateTimeFromUnix(784111777));
        EXPECT_FALSE(items[1].Entry.IsDir);
        EXPECT_EQ(items[2].Entry.Name, ".hidden");
        EXPECT_TRUE(items[2].Entry.IsHidden);
        EXPECT_TRUE(items[2].Entry.IsDir);
        EXPECT_EQ(items[2].Entry.Size, 0);
        EXPECT_EQ(items[3].Entry.Name, "R&D");
        EXPECT_EQ(items[3].Entry.Size, 0);
        EXPECT_EQ(items[3].Entry.Modified, 0);
    }
    // Unfinished markup ends the walk without inventing items.
    for (const char* broken : {"<response><href>/a</href></response><!-- open",
                               "<response><href>/a</href></response><![CDATA[x",
                               "<response><href>/a</href></response><response"})
        EXPECT_EQ(ParseMultistatus(broken).size(), 1u) << broken;
}

TEST(HttpAuth, Challenges) {
    const auto two =
        ParseChallenges({"Digest realm=\"kv \\\"realm\\\"\", qop=\"auth,auth-int\", nonce=\"abc\", "
                         "algorithm=MD5-sess, stale=TRUE, Basic realm=\"basic\"",
                         "Negotiate", "  ,, realm=orphan, NTLM"});
    ASSERT_EQ(two.size(), 4u);
    EXPECT_EQ(two[0].Scheme, "digest");
    EXPECT_EQ(two[0].Realm, "kv \"realm\"");
    EXPECT_EQ(two[0].Qop, "auth,auth-int");
    EXPECT_EQ(two[0].Nonce, "abc");
    EXPECT_EQ(two[0].Algorithm, "MD5-sess");
    EXPECT_EQ(two[0].Stale, "TRUE");
    EXPECT_EQ(two[1].Scheme, "basic");
    EXPECT_EQ(two[1].Realm, "basic");
    EXPECT_EQ(two[2].Scheme, "negotiate");
    EXPECT_EQ(two[3].Scheme, "ntlm");
    EXPECT_EQ(two[3].Realm, "");
    EXPECT_TRUE(ParseChallenges({"", "=", "realm=\"x"}).empty());
    EXPECT_TRUE(IsDigestAlgorithm("sha-256-SESS"));
    EXPECT_FALSE(IsDigestAlgorithm("SHA-512-256"));
}

TEST(HttpAuth, DigestResponsesOfTheStandardExample) {
    const char* nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
    const char* cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    EXPECT_EQ(DigestResponse("MD5", "Mufasa", "http-auth@example.org", "Circle of Life",
                             "/dir/index.html", "GET", "auth", "00000001", cnonce, nonce),
              "8ca523f5e9506fed4657c9700eebdbec");
    EXPECT_EQ(DigestResponse("SHA-256", "Mufasa", "http-auth@example.org", "Circle of Life",
                             "/dir/index.html", "GET", "auth", "00000001", cnonce, nonce),
              "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1");
    // Without qop (RFC 2069) and with a session key.
    const std::string ha1 = DigestHash("MD5", "u:r:p");
    EXPECT_EQ(DigestResponse("MD5", "u", "r", "p", "/", "GET", "", "", "", "n"),
              DigestHash("MD5", ha1 + ":n:" + DigestHash("MD5", "GET:/")));
    const std::string sess = DigestHash("MD5", ha1 + ":n:c");
    EXPECT_EQ(DigestResponse("md5-SESS", "u", "r", "p", "/", "GET", "auth", "00000001", "c", "n"),
              DigestHash("MD5", sess + ":n:00000001:c:auth:" + DigestHash("MD5", "GET:/")));
    EXPECT_EQ(QuoteDigestValue("a\"b\\c"), "a\\\"b\\\\c");
}

TEST(HttpAuth, StatusTexts) {
    EXPECT_STREQ(DavStatusError("/a", 412).what(), "/a: it already exists");
    EXPECT_STREQ(DavStatusError("/a", 410).what(), "/a: not found");
    EXPECT_STREQ(DavStatusError("/a", 502).what(), "/a: the server answered with HTTP status 502");
}

TKvConnector DavConnector(const std::string& AHost, const std::string& AUser = "kv") {
    TKvConnector conn = NewConnector();
    conn.Name.clear();
    conn.Kind = ckWebDavs;
    conn.Host = AHost;
    conn.Port = 443;
    conn.User = AUser;
    return conn;
}

TKvDavResponse Unauthorized(std::vector<std::string> AChallenges) {
    TKvDavResponse response;
    response.Status = 401;
    for (auto& challenge : AChallenges) {
        response.Names.push_back("www-authenticate");
        response.Values.push_back(std::move(challenge));
    }
    return response;
}

TEST(DavFs, AddressesAndRefusedFields) {
    auto fs = std::make_shared<TKvDavFs>(DavConnector("Kv@[::1]:8443/dav/"), nullptr, "pw");
    EXPECT_EQ(fs->HostHeader(), "[::1]:8443");
    EXPECT_EQ(fs->Id(), "webdavs:kv@::1:8443/dav");
    EXPECT_EQ(fs->RequestUri("/a b/ü", false), "/dav/a%20b/%C3%BC");
    EXPECT_EQ(fs->RequestUri("/", true), "/dav/");
    EXPECT_EQ(fs->RequestUri("sub", true), "/dav/sub/");
    EXPECT_EQ(fs->ParentOf("/a/b"), "/a");
    EXPECT_EQ(fs->ParentOf("/"), "");
    EXPECT_THROW(TKvDavFs(DavConnector("host\r\nX-Evil: 1"), nullptr, ""), EKvFsError);
    EXPECT_THROW(TKvDavFs(DavConnector("host", "kv\r\nX-Evil: 1"), nullptr, ""), EKvFsError);
    EXPECT_THROW(TKvDavFs(DavConnector(" https:///dav"), nullptr, ""), EKvFsError);
}

TEST(DavFs, AuthenticationChoices) {
    auto fs = std::make_shared<TKvDavFs>(DavConnector("example.org"), nullptr, "secret");
    EXPECT_EQ(fs->BuildRequest("GET", "/", {}).find("Authorization"), std::string::npos);
    // Basic wins when both are offered.
    EXPECT_TRUE(
        fs->UpdateAuth(Unauthorized({"Digest realm=\"r\", nonce=\"n\"", "Basic realm=\"r\""})));
    EXPECT_EQ(fs->Auth(), daBasic);
    EXPECT_NE(fs->BuildRequest("GET", "/", {}).find("Authorization: Basic a3Y6c2VjcmV0\r\n"),
              std::string::npos);
    // Basic refused again with the same offer: no retry.
    EXPECT_FALSE(fs->UpdateAuth(Unauthorized({"Basic realm=\"r\""})));
    EXPECT_TRUE(
        fs->UpdateAuth(Unauthorized({"Digest realm=\"r\", nonce=\"n1\", qop=\"auth-int, auth\", "
                                     "algorithm=MD5-sess, opaque=\"o\""})));
    EXPECT_EQ(fs->Auth(), daDigest);
    const std::string request = fs->BuildRequest("PROPFIND", "/a%20b/", {"Depth: 1"});
    EXPECT_NE(request.find("Authorization: Digest username=\"kv\", realm=\"r\", nonce=\"n1\", "
                           "uri=\"/a%20b/\", response=\""),
              std::string::npos)
        << request;
    EXPECT_NE(
        request.find("\", algorithm=MD5-sess, opaque=\"o\", qop=auth, nc=00000001, cnonce=\""),
        std::string::npos)
        << request;
    EXPECT_NE(fs->BuildRequest("GET", "/", {}).find("nc=00000002"), std::string::npos);
    // A nonce that is merely stale is renewed; a fresh refusal is final.
    EXPECT_FALSE(fs->UpdateAuth(Unauthorized({"Digest realm=\"r\", nonce=\"n2\""})));
    EXPECT_TRUE(fs->UpdateAuth(Unauthorized({"Digest realm=\"r\", nonce=\"n2\", stale=true"})));
    EXPECT_NE(fs->BuildRequest("GET", "/", {}).find("nonce=\"n2\""), std::string::npos);
    // A server sending a line break in its challenge cannot add headers to the request.
    EXPECT_TRUE(
        fs->UpdateAuth(Unauthorized({"Digest realm=\"r\", nonce=\"a\rInjected: 1\", stale=true"})));
    EXPECT_THROW(fs->BuildRequest("GET", "/", {}), EKvFsError);
}

TEST(DavFs, CancelEndsAStalledOpen) {
    test::TListener silent;
    TKvConnector conn = DavConnector("127.0.0.1");
    conn.Port = silent.Port();
    TKvCancelToken token;
    auto opening = std::async(std::launch::async, [&] { OpenDav(conn, nullptr, token); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    token.Cancel();
    ASSERT_EQ(opening.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_THROW(opening.get(), EKvCancelled);
}

} // namespace
} // namespace kv
