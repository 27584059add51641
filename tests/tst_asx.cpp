// ASX playlists: detection, the tolerant parser with its safety rule and caps, and the resolver's walk
// (fallback order, nesting, limits) driven by a scripted network.
#include "player/AsxPlaylist.h"

#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <QtTest>

using namespace orvane;

namespace {

const QUrl kBase(QStringLiteral("http://h.example.invalid/d/list.asx"));
const QByteArray kAsfHeader("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);

QByteArray fixture(const QString& name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("fixtures/asx/") + name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

// Entries joined by " ; ", an entry's refs by " , ", a playlist ref marked with "+".
QString describe(const AsxParseResult& result)
{
    QStringList entries;
    for (const AsxEntry& entry : result.entries) {
        QStringList refs;
        for (const AsxRef& ref : entry.refs)
            refs << (ref.playlist ? QStringLiteral("+") : QString()) + ref.url.toString(QUrl::FullyEncoded);
        entries << refs.join(QStringLiteral(" , "));
    }
    return entries.join(QStringLiteral(" ; "));
}

// Windows editors save "Unicode" text this way.
QByteArray utf16le(const QString& text)
{
    QByteArray bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    return bytes;
}

QByteArray asx(const QByteArray& inner)
{
    return "<asx version=\"3.0\">" + inner + "</asx>";
}

QByteArray entry(const QByteArray& href)
{
    return "<entry><ref href=\"" + href + "\"/></entry>";
}

QByteArray entryRef(const QByteArray& href)
{
    return "<entryref href=\"" + href + "\"/>";
}

// A scripted network: playlist bodies by location, the media that play; everything else fails.
struct Network {
    QHash<QString, QPair<QByteArray, QString>> bodies;
    QSet<QString> playing;

    void serve(const QString& url, const QByteArray& body, const QString& type = QStringLiteral("video/x-ms-asf"))
    {
        bodies.insert(url, {body, type});
    }

    // Drives a resolver to its end the way the engine does; the trace names each step and its outcome.
    QString walk(AsxResolver& resolver, const QString& top, QString* error) const
    {
        QStringList trace;
        resolver.start(QUrl(top));
        for (int step = 0; step < 10000; ++step) {
            const AsxResolver::Candidate c = resolver.next();
            if (c.kind == AsxResolver::Kind::None)
                break;
            const QString at = c.location();
            if (c.kind == AsxResolver::Kind::Playlist) {
                const auto it = bodies.constFind(at);
                if (it == bodies.constEnd()) {
                    trace << QStringLiteral("fetch %1 404").arg(at);
                    resolver.failed(QStringLiteral("HTTP 404"));
                } else {
                    trace << QStringLiteral("fetch %1").arg(at);
                    resolver.feed(it->first, it->second);
                }
            } else if (playing.contains(at)) {
                trace << QStringLiteral("play %1").arg(at);
            } else {
                trace << QStringLiteral("play %1 failed").arg(at);
                resolver.failed(QStringLiteral("Cannot open %1").arg(at));
            }
        }
        if (!resolver.done())
            trace << QStringLiteral("not done");
        *error = resolver.lastError();
        return trace.join(QStringLiteral("; "));
    }
};

} // namespace

class TestAsx : public QObject {
    Q_OBJECT
private slots:
    void detect_data();
    void detect();
    void parse_data();
    void parse();
    void caps();
    void walk_data();
    void walk();
    void deepNestingStopsAtTheLimit();
    void candidateLimit();
    void alreadyFetchedTop();
};

void TestAsx::detect_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("location");
    QTest::addColumn<bool>("asx");

    const QString page = QStringLiteral("http://h.example.invalid/live");
    QTest::newRow("extension") << QByteArray() << QString() << "http://h.example.invalid/a/list.asx" << true;
    QTest::newRow("extension upper, query")
        << QByteArray() << QString() << "HTTP://h.example.invalid/LIST.ASX?ch=1&x=y" << true;
    QTest::newRow("wax") << QByteArray() << QString() << "http://h.example.invalid/radio.wax" << true;
    QTest::newRow("asx only in query") << QByteArray() << QString() << "http://h.example.invalid/get.php?f=a.asx"
                                       << false;
    QTest::newRow("script answering asx") << QByteArray("<asx version=\"3.0\">") << "text/html"
                                          << "http://h.example.invalid/get.php?f=a.asx" << true;
    QTest::newRow("body upper, text/plain") << QByteArray("<ASX VERSION=\"3.0\">") << "text/plain" << page << true;
    QTest::newRow("body after BOM, space")
        << QByteArray("\xEF\xBB\xBF \r\n\t<Asx version=3.0>") << "application/octet-stream" << page << true;
    QTest::newRow("body after declaration, comment")
        << QByteArray("<?xml version=\"1.0\"?>\n<!-- x -->\n<asx>") << QString() << page << true;
    QTest::newRow("body utf-16") << utf16le(QStringLiteral("<asx>")) << QString() << page << true;
    QTest::newRow("body is the bare tag") << QByteArray("<asx") << QString() << page << true;
    QTest::newRow("reference form") << QByteArray("[Reference]\r\nRef1=http://h/x\r\n") << "video/x-ms-asf" << page
                                    << true;
    QTest::newRow("asf type, xml body") << QByteArray("<asx>") << "video/x-ms-asf" << page << true;
    QTest::newRow("asf type with charset, xml body")
        << QByteArray("  <?xml version=\"1.0\"?><ASX>") << "Video/X-MS-ASF; charset=utf-8" << page << true;
    QTest::newRow("asf type, asf media") << kAsfHeader + QByteArray(200, '\0') << "video/x-ms-asf" << page << false;
    QTest::newRow("asf media at an .asx location") << kAsfHeader << "video/x-ms-asf"
                                                   << "http://h.example.invalid/live.asx" << false;
    QTest::newRow("asf type, nothing read") << QByteArray() << "video/x-ms-asf" << page << false;
    QTest::newRow("metafile type") << QByteArray() << "audio/x-ms-wax" << page << true;
    QTest::newRow("html") << QByteArray("<!DOCTYPE html><html><body><asx>") << "text/html" << page << false;
    QTest::newRow("text before the tag") << QByteArray("hello <asx>") << "text/plain" << page << false;
    QTest::newRow("longer tag name") << QByteArray("<asxml>") << "text/xml" << page << false;
    QTest::newRow("mp3") << QByteArray("ID3\x03\0\0\0\0\0\0\xFF\xFB", 12) << "audio/mpeg" << page << false;
    QTest::newRow("m3u") << QByteArray("#EXTM3U\nhttp://h/x\n") << "audio/x-mpegurl"
                         << "http://h/x.m3u" << false;
}

void TestAsx::detect()
{
    QFETCH(QByteArray, head);
    QFETCH(QString, type);
    QFETCH(QString, location);
    QFETCH(bool, asx);
    QCOMPARE(looksLikeAsx(head, type, location), asx);
}

void TestAsx::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("entries");
    QTest::addColumn<QString>("error");

    QTest::newRow("lower case") << asx(entry("http://a.example.invalid/live")) << "http://a.example.invalid/live"
                                << "";
    QTest::newRow("upper case") << QByteArray("<ASX VERSION=\"3.0\"><ENTRY><REF HREF=\"MMS://A.example.invalid/Live\"/>"
                                              "</ENTRY></ASX>")
                                << "mms://a.example.invalid/Live"
                                << "";
    QTest::newRow("mixed case") << QByteArray("<Asx><Entry><Ref Href='http://a.example.invalid/x'></Entry></Asx>")
                                << "http://a.example.invalid/x"
                                << "";
    QTest::newRow("entries and refs in order")
        << asx("<entry><ref href=\"mms://a/1\"/><ref href=\"http://b/2\"/></entry>"
               "<entry><ref href=\"rtsp://c/3\"/></entry><entry><ref href=\"https://d/4\"/></entry>")
        << "mms://a/1 , http://b/2 ; rtsp://c/3 ; https://d/4"
        << "";
    QTest::newRow("relative refs")
        << asx(entry("x.asf") + entry("/root/y") + entry("//other.example.invalid/z") + entry("?q=1"))
        << "http://h.example.invalid/d/x.asf ; http://h.example.invalid/root/y ; http://other.example.invalid/z ; "
           "+http://h.example.invalid/d/list.asx?q=1"
        << "";
    QTest::newRow("bare & in href") << asx(entry("http://a/b.asp?x=1&y=2&z")) << "http://a/b.asp?x=1&y=2&z"
                                    << "";
    QTest::newRow("predefined and numeric entities")
        << asx(entry("http://a/b?x=1&amp;y=&#50;&amp;z=&#x41;&quot;")) << "http://a/b?x=1&y=2&z=A%22"
        << "";
    // Left as written, the first "#" then starts the fragment, where the URL encodes any further one.
    QTest::newRow("unknown entity verbatim") << asx(entry("http://a/b?x=&nbsp;&lol;&#0;&#xD800;&#99999999999;"))
                                             << "http://a/b?x=&nbsp;&lol;&#0;&%23xD800;&%2399999999999;"
                                             << "";
    QTest::newRow("unquoted values") << QByteArray("<asx><entry><ref href=http://a/b?x=1&y=2><ref HREF=mms://c/d/>")
                                     << "http://a/b?x=1&y=2 , mms://c/d/"
                                     << "";
    QTest::newRow("missing end tags") << QByteArray(
                                             "<asx><entry><ref href=\"http://a/1\"><entry><ref href=\"http://a/2\">")
                                      << "http://a/1 ; http://a/2"
                                      << "";
    QTest::newRow("unclosed quote")
        << QByteArray("<asx><entry><ref href=\"http://a/1>\n<ref href=\"http://a/2\"/></entry></asx>")
        << "http://a/1 , http://a/2"
        << "";
    QTest::newRow("space around href") << asx("<entry><ref href = \"  http://a/b c \n\"/></entry>") << "http://a/b%20c"
                                       << "";
    QTest::newRow("comment and cdata skipped")
        << asx("<!-- <entry><ref href=\"http://hidden/1\"/></entry> --><![CDATA[<entry><ref href=\"http://hidden/2\"/>"
               "</entry>]]>" +
               entry("http://a/1"))
        << "http://a/1"
        << "";
    QTest::newRow("other hrefs ignored")
        << asx("<moreinfo href=\"http://info/\"/><entry><banner href=\"http://b/x.gif\"/><logo href=\"http://l/\"/>"
               "<ref href=\"http://a/1\"/></entry>")
        << "http://a/1"
        << "";
    QTest::newRow("repeat plays once") << asx("<repeat count=\"3\">" + entry("http://a/1") + "</repeat>")
                                       << "http://a/1"
                                       << "";
    QTest::newRow("ref outside entry") << asx("<ref href=\"http://a/1\"/><ref href=\"http://a/2\"/>" +
                                              entry("http://a/3"))
                                       << "http://a/1 , http://a/2 ; http://a/3"
                                       << "";
    QTest::newRow("entryref and ref to asx")
        << asx(entryRef("more.asx") + entry("http://a/deeper.ASX?x=1") + entryRef("http://a/script.php?id=2"))
        << "+http://h.example.invalid/d/more.asx ; +http://a/deeper.ASX?x=1 ; +http://a/script.php?id=2"
        << "";
    QTest::newRow("BOM, space, declaration")
        << "\xEF\xBB\xBF\r\n  <?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + asx(entry("http://a/1")) << "http://a/1"
        << "";
    QTest::newRow("utf-16le with BOM") << utf16le(QStringLiteral("<ASX><ENTRY><REF HREF=\"http://a/%ED%95%9C\"/>"))
                                       << "http://a/%ED%95%9C"
                                       << "";
    QTest::newRow("hangul in href") << asx(entry("http://a/라디오")) << "http://a/%EB%9D%BC%EB%94%94%EC%98%A4"
                                    << "";
    QTest::newRow("legacy code page in href") << asx(entry("http://a/\xB6\xF3")) << "http://a/%B6%F3"
                                              << "";
    QTest::newRow("reference form") << fixture(QStringLiteral("reference.asx"))
                                    << "mmsh://wm.example.invalid/live?MSWMExt=.asf , mms://wm2.example.invalid/live"
                                    << "";
    QTest::newRow("sloppy upper-case file")
        << fixture(QStringLiteral("sloppy-upper.asx"))
        << "mms://media.example.invalid/Live , http://media.example.invalid:8080/live?ch=1&q=hi , "
           "http://h.example.invalid/d/live.asp?id=7&fmt=asf ; rtsp://media.example.invalid/backup/?k=AbC123/x ; "
           "+http://h.example.invalid/d/more.asx?list=2"
        << "";
    // The DTD is never read: its entities stay as written, "&ext;" becomes a relative network location.
    QTest::newRow("billion laughs") << fixture(QStringLiteral("billion-laughs.asx"))
                                    << "http://h.example.invalid/&lol9; , http://h.example.invalid/d/&ext;"
                                    << "";

    QTest::newRow("unsafe refs dropped") << fixture(QStringLiteral("unsafe.asx")) << ""
                                         << "Playlist has no network locations";
    QTest::newRow("unsafe beside a safe one")
        << asx("<entry><ref href=\"file:///etc/passwd\"/><ref href=\"Data:text/plain,x\"/>"
               "<ref href=\"HTTP://A/ok\"/><ref href=\"/etc/passwd\"/></entry>")
        << "http://a/ok , http://h.example.invalid/etc/passwd"
        << "";
    QTest::newRow("empty") << QByteArray() << ""
                           << "Not a playlist";
    QTest::newRow("html") << QByteArray("<!DOCTYPE html>\n<html><head><title>404</title></head><body><asx><entry>"
                                        "<ref href=\"http://a/1\"/></entry></asx></body></html>")
                          << ""
                          << "Not a playlist";
    QTest::newRow("garbage") << QByteArray("\x00\x01\xFF<<<>>>&&&\"'", 13) << ""
                             << "Not a playlist";
    QTest::newRow("m3u") << QByteArray("#EXTM3U\nhttp://a/1\n") << ""
                         << "Not a playlist";
    QTest::newRow("no entries") << asx("<title>x</title>") << ""
                                << "Playlist has no entries";
    QTest::newRow("entry without refs") << asx("<entry><title>x</title></entry><entry><ref/><ref href=\"\"/></entry>")
                                        << ""
                                        << "Playlist has no network locations";
}

void TestAsx::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, entries);
    QFETCH(QString, error);
    const AsxParseResult result = parseAsx(body, kBase);
    QCOMPARE(describe(result), entries);
    QCOMPARE(result.error, error);
}

void TestAsx::caps()
{
    const QByteArray one = entry("http://a/1");
    QByteArray huge = "<asx>";
    while (huge.size() < 10 * 1024 * 1024)
        huge += one;
    QCOMPARE(parseAsx(huge, kBase).error, QStringLiteral("Playlist too large"));

    QByteArray many = "<asx>";
    for (int i = 0; i < 5000; ++i)
        many += entry("http://a/" + QByteArray::number(i));
    QVERIFY(many.size() <= kAsxMaxBodySize);
    const AsxParseResult entries = parseAsx(many, kBase);
    QCOMPARE(entries.entries.size(), kAsxMaxEntries);
    QCOMPARE(entries.entries.last().refs.first().url, QUrl(QStringLiteral("http://a/999")));

    QByteArray refs = "<asx><entry>";
    for (int i = 0; i < 1500; ++i)
        refs += "<ref href=\"http://a/" + QByteArray::number(i) + "\"/>";
    const AsxParseResult oneEntry = parseAsx(refs, kBase);
    QCOMPARE(oneEntry.entries.size(), 1);
    QCOMPARE(oneEntry.entries.first().refs.size(), kAsxMaxRefs);
    QCOMPARE(oneEntry.dropped, 500);
}

void TestAsx::walk_data()
{
    QTest::addColumn<QByteArrayList>("playlists"); // location, body, content type: three per playlist
    QTest::addColumn<QStringList>("playing");
    QTest::addColumn<QString>("trace");
    QTest::addColumn<QString>("error");

    const QByteArray top("http://h/top.asx");
    QTest::newRow("first ref plays") << QByteArrayList{top, asx(entry("mms://m/1")), "video/x-ms-asf"}
                                     << QStringList{"mms://m/1"} << "fetch http://h/top.asx; play mms://m/1"
                                     << "";
    QTest::newRow("falls back along refs, then entries")
        << QByteArrayList{top,
                          asx("<entry><ref href=\"mms://m/a1\"/><ref href=\"mms://m/a2\"/><ref href=\"http://m/a3\"/>"
                              "</entry>" +
                              entry("mms://m/b1") + entry("mms://m/c1")),
                          "text/plain"}
        << QStringList{"http://m/a3", "mms://m/c1"}
        << "fetch http://h/top.asx; play mms://m/a1 failed; play mms://m/a2 failed; play http://m/a3; "
           "play mms://m/b1 failed; play mms://m/c1"
        << "Cannot open mms://m/b1";
    QTest::newRow("nothing plays") << QByteArrayList{top, asx(entry("mms://m/1") + entry("rtsp://m/2")), ""}
                                   << QStringList{}
                                   << "fetch http://h/top.asx; play mms://m/1 failed; play rtsp://m/2 failed"
                                   << "Cannot open rtsp://m/2";
    QTest::newRow("top playlist missing") << QByteArrayList{} << QStringList{} << "fetch http://h/top.asx 404"
                                          << "HTTP 404";
    QTest::newRow("top is html") << QByteArrayList{top, "<html><body>Not here</body></html>", "text/html"}
                                 << QStringList{} << "fetch http://h/top.asx"
                                 << "Not a playlist";
    QTest::newRow("top only unsafe refs")
        << QByteArrayList{top, asx(entry("file:///etc/passwd") + entryRef("file:///x.asx")), "video/x-ms-asf"}
        << QStringList{} << "fetch http://h/top.asx"
        << "Playlist has no network locations";
    QTest::newRow("entryref expands in place")
        << QByteArrayList{top,
                          asx(entry("mms://m/1") + entryRef("sub/n.asx") + entry("mms://m/3")),
                          "",
                          "http://h/sub/n.asx",
                          asx(entry("x.asf")),
                          "video/x-ms-asf"}
        << QStringList{"http://h/sub/x.asf", "mms://m/3"}
        << "fetch http://h/top.asx; play mms://m/1 failed; fetch http://h/sub/n.asx; play http://h/sub/x.asf; "
           "play mms://m/3"
        << "Cannot open mms://m/1";
    QTest::newRow("missing entryref skipped")
        << QByteArrayList{top, asx(entryRef("gone.asx") + entry("mms://m/2")), ""} << QStringList{"mms://m/2"}
        << "fetch http://h/top.asx; fetch http://h/gone.asx 404; play mms://m/2"
        << "HTTP 404";
    QTest::newRow("nested playlist that fails falls back to the next ref")
        << QByteArrayList{top,
                          asx("<entry><ref href=\"http://h/sub.asx\"/><ref href=\"mms://m/direct\"/></entry>"),
                          "",
                          "http://h/sub.asx",
                          asx(entry("mms://m/s1") + entry("mms://m/s2")),
                          ""}
        << QStringList{"mms://m/direct"}
        << "fetch http://h/top.asx; fetch http://h/sub.asx; play mms://m/s1 failed; play mms://m/s2 failed; "
           "play mms://m/direct"
        << "Cannot open mms://m/s2";
    QTest::newRow("nested playlist that plays ends its entry")
        << QByteArrayList{top,
                          asx("<entry><ref href=\"http://h/sub.asx\"/><ref href=\"mms://m/direct\"/></entry>" +
                              entry("mms://m/next")),
                          "",
                          "http://h/sub.asx",
                          asx(entry("mms://m/s1")),
                          ""}
        << QStringList{"mms://m/s1", "mms://m/next"}
        << "fetch http://h/top.asx; fetch http://h/sub.asx; play mms://m/s1; play mms://m/next"
        << "";
    QTest::newRow("nested html is no playlist")
        << QByteArrayList{top,
                          asx(entryRef("n.asx") + entry("mms://m/2")),
                          "",
                          "http://h/n.asx",
                          "<html></html>",
                          "text/html"}
        << QStringList{"mms://m/2"} << "fetch http://h/top.asx; fetch http://h/n.asx; play mms://m/2"
        << "Not a playlist";
    QTest::newRow("nested asf media is played itself")
        << QByteArrayList{top, asx(entry("http://h/live.asx")), "", "http://h/live.asx", kAsfHeader, "video/x-ms-asf"}
        << QStringList{"http://h/live.asx"} << "fetch http://h/top.asx; fetch http://h/live.asx; play http://h/live.asx"
        << "";
    QTest::newRow("nested unsafe refs dropped")
        << QByteArrayList{top,
                          asx(entryRef("n.asx")),
                          "",
                          "http://h/n.asx",
                          asx("<entry><ref href=\"file:///etc/passwd\"/><ref href=\"mms://m/ok\"/></entry>"),
                          ""}
        << QStringList{"mms://m/ok"} << "fetch http://h/top.asx; fetch http://h/n.asx; play mms://m/ok"
        << "";
    QTest::newRow("self reference is bounded")
        << QByteArrayList{top, asx(entryRef("top.asx") + entryRef("top.asx")), ""} << QStringList{} <<
        [] {
            // Two entryrefs per level, five levels: a full binary tree of fetches, the sixth level skipped.
            QStringList trace;
            for (int i = 0; i < 31; ++i)
                trace << QStringLiteral("fetch http://h/top.asx");
            return trace.join(QStringLiteral("; "));
        }()
        << "Playlist nested too deeply";
    QTest::newRow("too large") << QByteArrayList{top, QByteArray(11 * 1024 * 1024, ' ') + "<asx>", ""} << QStringList{}
                               << "fetch http://h/top.asx"
                               << "Playlist too large";
}

void TestAsx::walk()
{
    QFETCH(QByteArrayList, playlists);
    QFETCH(QStringList, playing);
    QFETCH(QString, trace);
    QFETCH(QString, error);
    Network network;
    for (qsizetype i = 0; i + 2 < playlists.size(); i += 3)
        network.serve(QString::fromUtf8(playlists[i]), playlists[i + 1], QString::fromUtf8(playlists[i + 2]));
    network.playing = QSet<QString>(playing.cbegin(), playing.cend());
    AsxResolver resolver;
    QString lastError;
    QCOMPARE(network.walk(resolver, QStringLiteral("http://h/top.asx"), &lastError), trace);
    QCOMPARE(lastError, error);
    QCOMPARE(resolver.next().kind, AsxResolver::Kind::None);
}

// 50 playlists, each an entryref to the next and the last one holding media: only five levels are fetched.
void TestAsx::deepNestingStopsAtTheLimit()
{
    Network network;
    for (int i = 0; i < 50; ++i) {
        const QByteArray next = "http://h/" + QByteArray::number(i + 1) + ".asx";
        network.serve(QStringLiteral("http://h/%1.asx").arg(i), asx(entryRef(next)));
    }
    network.serve(QStringLiteral("http://h/50.asx"), asx(entry("mms://m/bottom")));
    network.playing = {QStringLiteral("mms://m/bottom")};

    AsxResolver resolver;
    QString error;
    const QString trace = network.walk(resolver, QStringLiteral("http://h/0.asx"), &error);
    QCOMPARE(trace, QStringLiteral("fetch http://h/0.asx; fetch http://h/1.asx; fetch http://h/2.asx; "
                                   "fetch http://h/3.asx; fetch http://h/4.asx"));
    QCOMPARE(error, QStringLiteral("Playlist nested too deeply"));

    // Within the limit the bottom plays.
    AsxResolver::Limits deep;
    deep.maxDepth = 51;
    AsxResolver deepResolver(deep);
    QVERIFY(network.walk(deepResolver, QStringLiteral("http://h/0.asx"), &error).endsWith("play mms://m/bottom"));
}

void TestAsx::candidateLimit()
{
    QByteArray body = "<asx>";
    for (int i = 0; i < 1000; ++i)
        body += entry("mms://m/" + QByteArray::number(i));
    Network network;
    network.serve(QStringLiteral("http://h/top.asx"), body);
    AsxResolver resolver;
    QString error;
    const QString trace = network.walk(resolver, QStringLiteral("http://h/top.asx"), &error);
    QCOMPARE(trace.count(QStringLiteral("play ")), 99);
    QVERIFY(trace.endsWith(QStringLiteral("play mms://m/98 failed")));
    QCOMPARE(error, QStringLiteral("Playlist has too many locations to try"));
}

// The engine fetched the top body itself: the first candidate is already media; failed() before any next()
// and feed() out of turn change nothing.
void TestAsx::alreadyFetchedTop()
{
    AsxResolver resolver;
    resolver.failed(QStringLiteral("ignored"));
    resolver.feed(asx(entry("mms://m/x")), QString());
    QCOMPARE(resolver.next().kind, AsxResolver::Kind::None);
    QVERIFY(resolver.done());

    resolver.start(kBase, fixture(QStringLiteral("sloppy-upper.asx")), QStringLiteral("text/plain"));
    QVERIFY(!resolver.done());
    AsxResolver::Candidate c = resolver.next();
    QCOMPARE(c.kind, AsxResolver::Kind::Media);
    QCOMPARE(c.location(), QStringLiteral("mms://media.example.invalid/Live"));
    QCOMPARE(c.depth, 1);
    resolver.feed(asx(entry("mms://m/x")), QString());
    resolver.failed(QStringLiteral("Protocol not found"));
    c = resolver.next();
    QCOMPARE(c.location(), QStringLiteral("http://media.example.invalid:8080/live?ch=1&q=hi"));
    QCOMPARE(resolver.current().url, c.url);
    QCOMPARE(resolver.lastError(), QStringLiteral("Protocol not found"));
}

QTEST_GUILESS_MAIN(TestAsx)
#include "tst_asx.moc"
