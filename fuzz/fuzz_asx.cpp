// ASX parsing, detection and a full resolver walk over one input. Every nested playlist is answered with the
// input itself, so a self-referencing tree is walked as deep and wide as the limits allow; media fail or play
// by the input's bits. Whatever the input, nothing but a network location may come out, and the walk ends.
#include "player/AsxPlaylist.h"

#include <cstdint>
#include <cstdlib>

using namespace orvane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool isSafe(const QUrl& url)
{
    return url.isValid() && isNetworkScheme(url.scheme()) && !url.host().isEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const QUrl base(QStringLiteral("http://fuzz.example.invalid/d/list.asx"));
    static const QString types[] = {QString(), QStringLiteral("video/x-ms-asf"), QStringLiteral("text/html"),
                                    QStringLiteral("audio/mpeg")};
    const QString type = types[size % 4];
    looksLikeAsx(body, type, QString::fromLatin1(body.left(64)));

    const AsxParseResult result = parseAsx(body, base);
    check(result.ok() == !result.entries.isEmpty());
    check(result.entries.size() <= kAsxMaxEntries);
    qsizetype refs = 0;
    for (const AsxEntry& entry : result.entries) {
        check(!entry.refs.isEmpty());
        for (const AsxRef& ref : entry.refs)
            check(isSafe(ref.url));
        refs += entry.refs.size();
    }
    check(refs <= kAsxMaxRefs);

    // Fewer candidates than the player allows keep the runs quick; every limit is still reachable.
    AsxResolver::Limits limits;
    limits.maxCandidates = 30;
    AsxResolver resolver(limits);
    resolver.start(base);
    int steps = 0;
    for (;; ++steps) {
        check(steps <= limits.maxCandidates + 1);
        const AsxResolver::Candidate c = resolver.next();
        if (c.kind == AsxResolver::Kind::None)
            break;
        check(isSafe(c.url) && c.depth >= 1 && c.depth <= limits.maxDepth);
        if (c.kind == AsxResolver::Kind::Playlist)
            resolver.feed(body, type);
        else if (size == 0 || (data[steps % size] & 1))
            resolver.failed();
    }
    check(resolver.done());
    return 0;
}
