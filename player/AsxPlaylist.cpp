#include "AsxPlaylist.h"

#include <QStringDecoder>

#include <array>

namespace orvane {

namespace {

const QByteArray kAsfGuid("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8);

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == ':' || c == '.';
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equalsNoCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool startsWithNoCase(QByteArrayView text, QByteArrayView prefix)
{
    return text.size() >= prefix.size() && equalsNoCase(text.first(prefix.size()), prefix);
}

QByteArrayView skipSpaces(QByteArrayView text)
{
    qsizetype i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    return text.sliced(i);
}

// UTF-8 without its BOM; UTF-16 with a BOM (Windows editors save "Unicode" that way) turned into UTF-8.
QByteArray toUtf8Text(const QByteArray& body)
{
    if (body.startsWith("\xEF\xBB\xBF"))
        return body.sliced(3);
    const bool le = body.startsWith("\xFF\xFE");
    if (le || body.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(le ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        return QString(decoder(QByteArrayView(body).sliced(2))).toUtf8();
    }
    return body;
}

// Where the next occurrence of a byte lies at or after a position. Scanning only moves forward, so remembering
// the last answer per byte keeps every search of the scanner linear in the text, even when quotes never close.
class NextFinder {
public:
    explicit NextFinder(QByteArrayView text)
        : m_text(text)
    {
        m_from.fill(-1);
    }
    qsizetype next(char c, qsizetype from)
    {
        const auto i = static_cast<unsigned char>(c);
        if (m_from[i] >= 0 && m_from[i] <= from && (m_found[i] < 0 || m_found[i] >= from))
            return m_found[i];
        m_from[i] = from;
        m_found[i] = m_text.indexOf(c, from);
        return m_found[i];
    }

private:
    QByteArrayView m_text;
    std::array<qsizetype, 256> m_from{};
    std::array<qsizetype, 256> m_found{};
};

// A forgiving scanner for the tags of XML as real playlists write it: any case, unquoted or unclosed attribute
// values, missing end tags, stray '<' and '&'. Comments, CDATA, processing instructions and declarations (a DTD
// included) are skipped unread; text between tags is never decoded.
class TagScanner {
public:
    explicit TagScanner(const QByteArray& text)
        : m_text(text)
        , m_finder(text)
    {
    }

    bool nextTag()
    {
        const qsizetype n = m_text.size();
        while (m_pos < n) {
            const qsizetype lt = m_finder.next('<', m_pos);
            noteText(lt < 0 ? n : lt);
            if (lt < 0) {
                m_pos = n;
                return false;
            }
            m_pos = lt;
            const QByteArrayView rest = QByteArrayView(m_text).sliced(m_pos);
            if (rest.startsWith("<!--")) {
                skipPast("-->", 4);
            } else if (rest.startsWith("<![CDATA[")) {
                skipPast("]]>", 9);
            } else if (rest.startsWith("<!")) {
                skipDeclaration();
            } else if (rest.startsWith("<?")) {
                skipPast("?>", 2);
            } else if (readTag()) {
                return true;
            }
        }
        return false;
    }

    bool isEndTag() const { return m_endTag; }
    bool nameIs(QByteArrayView name) const { return equalsNoCase(m_name, name); }
    bool hasHref() const { return m_hasHref; }
    QByteArrayView href() const { return m_href; }
    // Whether anything but white space stood outside the tags read so far.
    bool sawText() const { return m_sawText; }

private:
    void noteText(qsizetype end)
    {
        for (qsizetype i = m_pos; !m_sawText && i < end; ++i)
            m_sawText = !isSpace(m_text[i]);
    }

    void skipPast(const char* terminator, qsizetype openerLength)
    {
        const qsizetype end = m_text.indexOf(terminator, m_pos + openerLength);
        m_pos = end < 0 ? m_text.size() : end + qstrlen(terminator);
    }

    // <!DOCTYPE ...>, its internal subset in brackets included: read past, never interpreted.
    void skipDeclaration()
    {
        int depth = 0;
        char quote = 0;
        qsizetype p = m_pos + 2;
        for (; p < m_text.size(); ++p) {
            const char c = m_text[p];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']') {
                depth = qMax(0, depth - 1);
            } else if (c == '>' && depth == 0) {
                ++p;
                break;
            }
        }
        m_pos = p;
    }

    // At a '<': reads a start or end tag, or steps over a '<' that starts none.
    bool readTag()
    {
        const qsizetype n = m_text.size();
        qsizetype p = m_pos + 1;
        const bool endTag = p < n && m_text[p] == '/';
        if (endTag)
            ++p;
        const qsizetype nameStart = p;
        while (p < n && isNameChar(m_text[p]))
            ++p;
        if (p == nameStart) {
            m_sawText = true;
            ++m_pos;
            return false;
        }
        m_name = QByteArrayView(m_text).sliced(nameStart, p - nameStart);
        m_endTag = endTag;
        m_hasHref = false;
        m_href = {};
        m_pos = p;
        readAttributes();
        return true;
    }

    // Up to and past the tag's '>', or up to a '<' that begins the next tag when this one never closes.
    void readAttributes()
    {
        const qsizetype n = m_text.size();
        while (m_pos < n) {
            const char c = m_text[m_pos];
            if (c == '>') {
                ++m_pos;
                return;
            }
            if (c == '<')
                return;
            if (!isNameChar(c)) {
                ++m_pos;
                continue;
            }
            const qsizetype nameStart = m_pos;
            while (m_pos < n && isNameChar(m_text[m_pos]))
                ++m_pos;
            const QByteArrayView name = QByteArrayView(m_text).sliced(nameStart, m_pos - nameStart);
            while (m_pos < n && isSpace(m_text[m_pos]))
                ++m_pos;
            QByteArrayView value;
            if (m_pos < n && m_text[m_pos] == '=') {
                ++m_pos;
                while (m_pos < n && isSpace(m_text[m_pos]))
                    ++m_pos;
                value = readValue();
            }
            if (!m_endTag && !m_hasHref && equalsNoCase(name, "href")) {
                m_hasHref = true;
                m_href = value;
            }
        }
    }

    QByteArrayView readValue()
    {
        const qsizetype n = m_text.size();
        const QByteArrayView text(m_text);
        if (m_pos >= n)
            return {};
        const char quote = m_text[m_pos];
        if (quote != '"' && quote != '\'') {
            const qsizetype start = m_pos;
            while (m_pos < n && !isSpace(m_text[m_pos]) && m_text[m_pos] != '>' && m_text[m_pos] != '<')
                ++m_pos;
            return text.sliced(start, m_pos - start);
        }
        const qsizetype start = m_pos + 1;
        const qsizetype close = m_finder.next(quote, start);
        const qsizetype eol = m_finder.next('\n', start);
        const qsizetype lineEnd = eol < 0 ? n : eol;
        if (close >= 0 && close < lineEnd) {
            m_pos = close + 1;
            return text.sliced(start, close - start);
        }
        // The quote does not close on its line: a forgotten quote far likelier than a value over several lines,
        // unless the line gives the tag no end either.
        const qsizetype gt = m_finder.next('>', start);
        if (gt >= 0 && gt < lineEnd) {
            m_pos = gt;
            return text.sliced(start, gt - start);
        }
        if (close >= 0) {
            m_pos = close + 1;
            return text.sliced(start, close - start);
        }
        m_pos = lineEnd;
        return text.sliced(start, lineEnd - start);
    }

    const QByteArray& m_text;
    NextFinder m_finder;
    qsizetype m_pos = 0;
    QByteArrayView m_name;
    bool m_endTag = false;
    bool m_hasHref = false;
    QByteArrayView m_href;
    bool m_sawText = false;
};

// A character reference's code point, or -1 when it is none a document may hold.
int parseCharRef(QByteArrayView digits)
{
    int base = 10;
    if (!digits.isEmpty() && (digits[0] == 'x' || digits[0] == 'X')) {
        base = 16;
        digits = digits.sliced(1);
    }
    if (digits.isEmpty() || digits.size() > 8)
        return -1;
    qint64 value = 0;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f')
            d = lower(c) - 'a' + 10;
        if (d < 0)
            return -1;
        value = value * base + d;
    }
    if (value <= 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return -1;
    return int(value);
}

// Only the five predefined entities and character references are decoded; anything else, a lone '&' of
// "a.asp?x=1&y=2" or an entity a DTD would define, stays as written.
QByteArray decodeEntities(QByteArrayView raw)
{
    static constexpr std::array<std::pair<const char*, char>, 5> predefined{
        {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}}};
    QByteArray out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size();) {
        if (raw[i] != '&') {
            out += raw[i++];
            continue;
        }
        const QByteArrayView ahead = raw.sliced(i + 1, qMin<qsizetype>(12, raw.size() - i - 1));
        const qsizetype semi = ahead.indexOf(';');
        bool decoded = false;
        if (semi > 0) {
            const QByteArrayView name = ahead.first(semi);
            for (const auto& [entity, c] : predefined) {
                if (name == entity) {
                    out += c;
                    decoded = true;
                }
            }
            if (name[0] == '#') {
                const int code = parseCharRef(name.sliced(1));
                if (code > 0) {
                    const char32_t ch = char32_t(code);
                    out += QString::fromUcs4(&ch, 1).toUtf8();
                    decoded = true;
                }
            }
        }
        if (decoded) {
            i += semi + 2;
        } else {
            out += '&';
            ++i;
        }
    }
    return out;
}

// Attribute bytes as text. Bytes that are no UTF-8 (a playlist saved in a legacy code page) are kept as their
// percent-encoding, which is what the server expects to get back.
QString hrefText(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError()) {
        text.clear();
        for (char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            text += b < 0x80 ? QString(QChar(b)) : QString::asprintf("%%%02X", b);
        }
    }
    // XML's attribute normalisation: literal line breaks and tabs are spaces.
    for (QChar& c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text.trimmed();
}

bool hasAsxExtension(const QString& path)
{
    for (const char* ext : {".asx", ".wax", ".wvx"}) {
        if (path.endsWith(QLatin1String(ext), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// The absolute network location a ref names, or an invalid URL when it names none.
QUrl networkUrl(const QString& href, const QUrl& base)
{
    if (href.isEmpty())
        return {};
    const QUrl ref(href, QUrl::TolerantMode);
    if (!ref.isValid())
        return {};
    const QUrl url = ref.isRelative() ? base.resolved(ref) : ref;
    if (!url.isValid() || !isNetworkScheme(url.scheme()) || url.host().isEmpty())
        return {};
    return url;
}

class ResultBuilder {
public:
    explicit ResultBuilder(const QUrl& base)
        : m_base(base)
    {
    }

    bool full() const { return m_result.entries.size() >= kAsxMaxEntries; }
    bool entryOpen() const { return m_open; }

    void openEntry()
    {
        closeEntry();
        m_open = !full();
    }

    void closeEntry()
    {
        if (m_open && !m_entry.refs.isEmpty())
            m_result.entries.append(m_entry);
        m_entry = {};
        m_open = false;
    }

    void addRef(const QString& href, bool forcePlaylist)
    {
        const QUrl url = acceptsRefs() ? networkUrl(href, m_base) : QUrl();
        if (!url.isValid()) {
            ++m_result.dropped;
            return;
        }
        ++m_refs;
        m_entry.refs.append(AsxRef{url, forcePlaylist || hasAsxExtension(url.path())});
    }

    // An attribute as written: entities are decoded only for a ref that is kept.
    void addRawRef(QByteArrayView raw, bool forcePlaylist)
    {
        addRef(acceptsRefs() ? hrefText(decodeEntities(raw)) : QString(), forcePlaylist);
    }

    bool acceptsRefs() const { return m_open && m_refs < kAsxMaxRefs; }

    AsxParseResult finish()
    {
        closeEntry();
        if (m_result.entries.isEmpty()) {
            m_result.error = m_result.dropped > 0 ? QStringLiteral("Playlist has no network locations")
                                                  : QStringLiteral("Playlist has no entries");
        }
        return m_result;
    }

private:
    QUrl m_base;
    AsxParseResult m_result;
    AsxEntry m_entry;
    bool m_open = false;
    int m_refs = 0;
};

AsxParseResult parseXml(const QByteArray& text, const QUrl& base)
{
    TagScanner scanner(text);
    bool asx = false;
    while (!asx && scanner.nextTag()) {
        if (!scanner.isEndTag()) {
            if (!scanner.nameIs("asx"))
                break;
            asx = true;
        }
    }
    if (!asx)
        return AsxParseResult{{}, QStringLiteral("Not a playlist"), 0};

    ResultBuilder builder(base);
    while (scanner.nextTag() && !builder.full()) {
        if (scanner.nameIs("asx")) {
            if (scanner.isEndTag())
                break;
        } else if (scanner.nameIs("entry")) {
            if (scanner.isEndTag())
                builder.closeEntry();
            else
                builder.openEntry();
        } else if (scanner.nameIs("entryref") && !scanner.isEndTag()) {
            builder.openEntry();
            builder.addRawRef(scanner.href(), true);
            builder.closeEntry();
        } else if (scanner.nameIs("ref") && !scanner.isEndTag()) {
            // A ref outside any entry (sloppy, but seen) starts one of its own.
            if (!builder.entryOpen())
                builder.openEntry();
            builder.addRawRef(scanner.href(), false);
        }
    }
    return builder.finish();
}

// Windows Media's text redirector: "[Reference]" then "Ref1=...", "Ref2=...", one entry of fallbacks.
AsxParseResult parseReference(const QByteArray& text, const QUrl& base)
{
    ResultBuilder builder(base);
    builder.openEntry();
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype eq = line.indexOf('=');
        if (eq < 4 || !startsWithNoCase(line, "ref"))
            continue;
        bool number = false;
        line.sliced(3, eq - 3).toInt(&number);
        if (!number)
            continue;
        QString href = hrefText(line.sliced(eq + 1));
        // A Windows Media server answers a plain HTTP client with this redirector again: the stream it means is
        // MMS over HTTP.
        if (href.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
            href.replace(0, 4, QStringLiteral("mmsh"));
        builder.addRef(href, false);
    }
    return builder.finish();
}

bool isReference(QByteArrayView text)
{
    return startsWithNoCase(skipSpaces(text), "[reference]");
}

QString mimeType(const QString& contentType)
{
    return contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
}

// The same type serves real ASF media: only a text body under it is a playlist.
bool isAsfType(const QString& type)
{
    return type == QLatin1String("video/x-ms-asf") || type == QLatin1String("application/vnd.ms-asf");
}

bool isMetafileType(const QString& type)
{
    return type == QLatin1String("video/x-ms-asx") || type == QLatin1String("audio/x-ms-asx") ||
           type == QLatin1String("audio/x-ms-wax") || type == QLatin1String("video/x-ms-wvx") ||
           type == QLatin1String("video/x-ms-wmx");
}

// A fetched "playlist" that turned out to be something for the player itself.
bool looksLikeMedia(const QByteArray& body, const QString& contentType)
{
    if (body.startsWith(kAsfGuid))
        return true;
    if (skipSpaces(toUtf8Text(body)).startsWith('<'))
        return false;
    const QString type = mimeType(contentType);
    return type.startsWith(QLatin1String("audio/")) || type.startsWith(QLatin1String("video/")) ||
           type == QLatin1String("application/octet-stream") || type == QLatin1String("application/ogg") ||
           type.endsWith(QLatin1String("mpegurl"));
}

} // namespace

bool isNetworkScheme(const QString& scheme)
{
    for (const char* allowed : {"http", "https", "mms", "mmsh", "mmst", "rtsp", "rtmp"}) {
        if (scheme.compare(QLatin1String(allowed), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool looksLikeAsx(const QByteArray& head, const QString& contentType, const QString& location)
{
    if (head.startsWith(kAsfGuid))
        return false;
    const QByteArray text = toUtf8Text(head);
    if (isReference(text))
        return true;
    TagScanner scanner(text);
    if (scanner.nextTag() && !scanner.sawText() && !scanner.isEndTag() && scanner.nameIs("asx"))
        return true;
    const QString type = mimeType(contentType);
    if (isMetafileType(type) || (isAsfType(type) && skipSpaces(text).startsWith('<')))
        return true;
    return hasAsxExtension(QUrl(location.trimmed(), QUrl::TolerantMode).path());
}

AsxParseResult parseAsx(const QByteArray& body, const QUrl& base)
{
    if (body.size() > kAsxMaxBodySize)
        return AsxParseResult{{}, QStringLiteral("Playlist too large"), 0};
    const QByteArray text = toUtf8Text(body);
    if (isReference(text))
        return parseReference(text, base);
    return parseXml(text, base);
}

AsxResolver::AsxResolver(Limits limits)
    : m_limits(limits)
{
}

void AsxResolver::start(const QUrl& playlist)
{
    Frame root;
    root.entries.append(AsxEntry{{AsxRef{playlist, true}}});
    m_stack = {root};
    m_current = {};
    m_outcome = Outcome::Pending;
    m_count = 0;
    m_done = false;
    m_lastError.clear();
}

void AsxResolver::start(const QUrl& playlist, const QByteArray& body, const QString& contentType)
{
    start(playlist);
    next();
    feed(body, contentType);
}

AsxResolver::Candidate AsxResolver::next()
{
    if (m_done)
        return {};
    if (m_outcome == Outcome::Media) {
        if (m_count >= m_limits.maxCandidates)
            return finish(QStringLiteral("Playlist has too many locations to try"));
        ++m_count;
        m_outcome = Outcome::Pending;
        m_current.kind = Kind::Media;
        return m_current;
    }
    settle();
    while (!m_stack.isEmpty()) {
        Frame& frame = m_stack.last();
        if (frame.entry >= frame.entries.size()) {
            popFrame();
            continue;
        }
        const AsxEntry& entry = frame.entries[frame.entry];
        if (frame.ref >= entry.refs.size()) {
            ++frame.entry;
            frame.ref = 0;
            continue;
        }
        const AsxRef& ref = entry.refs[frame.ref];
        const int depth = ref.playlist ? frame.depth + 1 : frame.depth;
        if (ref.playlist && depth > m_limits.maxDepth) {
            m_lastError = QStringLiteral("Playlist nested too deeply");
            ++frame.ref;
            continue;
        }
        if (m_count >= m_limits.maxCandidates)
            return finish(QStringLiteral("Playlist has too many locations to try"));
        ++m_count;
        m_current = Candidate{ref.playlist ? Kind::Playlist : Kind::Media, ref.url, depth};
        m_outcome = Outcome::Pending;
        return m_current;
    }
    return finish(QString());
}

void AsxResolver::feed(const QByteArray& body, const QString& contentType)
{
    if (m_done || m_current.kind != Kind::Playlist || m_outcome != Outcome::Pending)
        return;
    AsxParseResult result = parseAsx(body, m_current.url);
    if (result.ok()) {
        Frame frame;
        frame.entries = std::move(result.entries);
        frame.depth = m_current.depth;
        m_stack.append(frame);
        m_outcome = Outcome::Fed;
    } else if (looksLikeMedia(body, contentType)) {
        m_outcome = Outcome::Media;
    } else {
        m_lastError = result.error;
        m_outcome = Outcome::Failed;
    }
}

void AsxResolver::failed(const QString& reason)
{
    if (m_done || m_current.kind == Kind::None || m_outcome != Outcome::Pending)
        return;
    m_outcome = Outcome::Failed;
    if (!reason.isEmpty())
        m_lastError = reason;
    else
        m_lastError = m_current.kind == Kind::Playlist ? QStringLiteral("Playlist could not be fetched")
                                                       : QStringLiteral("Could not open the location");
}

// Moves past the current candidate: to the entry's next ref when it failed (or a playlist was never fed),
// to the next entry when it played. A fed playlist's frame already sits on top.
void AsxResolver::settle()
{
    if (m_current.kind == Kind::None || m_outcome == Outcome::Fed || m_stack.isEmpty())
        return;
    Frame& frame = m_stack.last();
    if (m_outcome == Outcome::Pending && m_current.kind == Kind::Media) {
        frame.played = true;
        ++frame.entry;
        frame.ref = 0;
    } else {
        ++frame.ref;
    }
}

// A nested playlist is spent: it counts as its parent's ref having played if any of its entries did.
void AsxResolver::popFrame()
{
    const bool played = m_stack.last().played;
    m_stack.removeLast();
    if (m_stack.isEmpty())
        return;
    Frame& parent = m_stack.last();
    if (played) {
        parent.played = true;
        ++parent.entry;
        parent.ref = 0;
    } else {
        ++parent.ref;
    }
}

AsxResolver::Candidate AsxResolver::finish(const QString& error)
{
    if (!error.isEmpty())
        m_lastError = error;
    m_done = true;
    m_stack.clear();
    m_current = {};
    return {};
}

} // namespace orvane
