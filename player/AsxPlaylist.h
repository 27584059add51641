#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// ASX (Windows Media's XML playlist, also its "[Reference]" text form) read by us because libmpv does not.
// Everything here is pure logic: the caller fetches bodies and opens locations, so the whole walk can be
// tested and fuzzed without a network.
namespace orvane {

// Bodies above this size are refused; a fetcher should stop reading one byte past it.
constexpr qsizetype kAsxMaxBodySize = 1024 * 1024;
// Entries and refs kept from one playlist; the rest is ignored.
constexpr int kAsxMaxEntries = 1000;
constexpr int kAsxMaxRefs = 1000;

// True when a location, its content type or the first bytes of its body say ASX. Any of the three may be
// empty: with an empty head, the extension (.asx, .wax, .wvx, in the path before any query) decides alone.
// Windows Media's types (video/x-ms-asf ...) count only for a text body, since real ASF media is served
// under the same type.
bool looksLikeAsx(const QByteArray& head, const QString& contentType, const QString& location);

// True when the scheme may be opened from a playlist fetched from the network.
bool isNetworkScheme(const QString& scheme);

struct AsxRef {
    QUrl url;
    // Another playlist to fetch (an <entryref>, or a ref to an .asx) rather than media for the player.
    bool playlist = false;
};

// One entry: refs in fallback order, the first that plays is the entry's.
struct AsxEntry {
    QList<AsxRef> refs;
};

struct AsxParseResult {
    QList<AsxEntry> entries;
    QString error;   // a readable reason when nothing usable was found
    int dropped = 0; // refs left out: a local or non-network location, unparsable, or over the cap
    bool ok() const { return error.isEmpty(); }
};

// Refs are resolved against base; only network locations (isNetworkScheme, with a host) are kept.
// No DTD is read and no entity expanded but the five predefined ones and character references.
AsxParseResult parseAsx(const QByteArray& body, const QUrl& base);

// Walks a playlist tree without doing I/O. The caller loops:
//   Candidate c = next();
//   Playlist: fetch c.url, then feed(body, contentType), or failed(reason) when the fetch failed;
//   Media:    open c.url; on an open error failed(reason); when it played and ended, just call next();
//   None:     done, lastError() says why nothing (more) can be played.
// A failed ref falls back to the entry's next ref, then to the next entry; an entry that played moves
// on to the next entry.
class AsxResolver {
public:
    enum class Kind { None, Media, Playlist };
    struct Candidate {
        Kind kind = Kind::None;
        QUrl url;
        int depth = 0; // 1 for the top playlist and its refs, +1 per nested playlist
        // The text to hand to the player: the scheme lower case, unsafe characters percent-encoded.
        QString location() const { return url.toString(QUrl::FullyEncoded); }
    };
    struct Limits {
        int maxDepth = 5;
        int maxCandidates = 100; // playlists fetched plus media tried, for one start()
    };

    AsxResolver() = default;
    explicit AsxResolver(Limits limits);

    // The first next() returns the playlist itself, to fetch.
    void start(const QUrl& playlist);
    // The top playlist already fetched: the first next() returns its first candidate.
    void start(const QUrl& playlist, const QByteArray& body, const QString& contentType);

    Candidate next();
    // The body of the current Playlist candidate. A body that is no playlist but media (ASF bytes, an
    // audio or video type) makes the same location the next Media candidate.
    void feed(const QByteArray& body, const QString& contentType);
    // The current candidate could not be fetched or opened.
    void failed(const QString& reason = QString());

    bool done() const { return m_done; }
    QString lastError() const { return m_lastError; }
    Candidate current() const { return m_current; }

private:
    struct Frame {
        QList<AsxEntry> entries;
        int depth = 0;
        qsizetype entry = 0;
        qsizetype ref = 0;
        bool played = false;
    };
    enum class Outcome { Pending, Failed, Fed, Media };

    void settle();
    void popFrame();
    Candidate finish(const QString& error);

    Limits m_limits;
    QList<Frame> m_stack;
    Candidate m_current;
    Outcome m_outcome = Outcome::Pending;
    int m_count = 0;
    bool m_done = true;
    QString m_lastError;
};

} // namespace orvane
