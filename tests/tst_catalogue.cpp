// The built-in catalogue, the splitting rule and how a list row is drawn.
#include "support/FaultEngine.h"

#include "app/Unit1.h"
#include "control/ChannelCatalogue.h"
#include "control/Unit2.h"
#include "player/WMPLib_TLB.h"

#include <QApplication>
#include <QFontMetrics>
#include <QListWidget>
#include <QPainter>
#include <QSet>
#include <QTest>
#include <QTextLayout>

using namespace orvane;

class TestCatalogue : public QObject {
    Q_OBJECT
private slots:
    void builtInLists();
    void splitting_data();
    void splitting();
    void listFileKeepsLinesWhole();
    void namesHaveAllGlyphs();
    void rowDrawing_data();
    void rowDrawing();
};

void TestCatalogue::builtInLists()
{
    const ChannelCatalogue catalogue = ChannelCatalogue::builtIn();
    struct Expected {
        const QStringList* lines;
        int count;
        QString top;
        QString bottom;
    };
    const Expected lists[] = {
        {&catalogue.tv(), 60, QStringLiteral("서울 MBC"), QStringLiteral("UW TV방송")},
        {&catalogue.radio(), 49, QStringLiteral("MBC FM4U"), QStringLiteral("연변조선말 FM 라디오")},
        {&catalogue.internet(), 7, QStringLiteral("퍼니엠"), QStringLiteral("사랑의가로등 음악방송")},
    };
    QSet<QString> names;
    int withLocation = 0;
    for (const Expected& list : lists) {
        QCOMPARE(list.lines->size(), list.count);
        QCOMPARE(ChannelEntry(list.lines->front()).name(), list.top);
        QCOMPARE(ChannelEntry(list.lines->back()).name(), list.bottom);
        for (const QString& line : *list.lines) {
            const ChannelEntry entry(line);
            QVERIFY2(entry.name().size() >= 3 && entry.name().size() <= 14, qPrintable(line));
            names.insert(entry.name());
            if (!entry.location().isEmpty())
                ++withLocation;
        }
    }
    QCOMPARE(names.size(), 116);
    QCOMPARE(withLocation, 40);
}

void TestCatalogue::splitting_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("played");

    QTest::newRow("name and location") << "KBS 1TV=mms://a/b"
                                       << "KBS 1TV"
                                       << "mms://a/b"
                                       << "KBS 1TV"
                                       << "mms://a/b";
    QTest::newRow("no separator") << "서울 MBC mms://a/b"
                                  << ""
                                  << ""
                                  << "서울 MBC mms://a/b"
                                  << "";
    QTest::newRow("leading separator") << "=mms://a/b"
                                       << ""
                                       << "mms://a/b"
                                       << "=mms://a/b"
                                       << "";
    QTest::newRow("separator last") << "국회방송="
                                    << "국회방송"
                                    << ""
                                    << "국회방송"
                                    << "";
    QTest::newRow("several separators") << "MBN=http://h/x.php?a=&b=1&c=&d=123456789"
                                        << "MBN"
                                        << "http://h/x.php?a=&b=1&c=&d=123456789"
                                        << "MBN"
                                        << "http://h/x.php?a=&b=1&c=&d=123456789";
    QTest::newRow("token ending in ==") << "MBC FM=mms://h/fm?AbC dE==x"
                                        << "MBC FM"
                                        << "mms://h/fm?AbC dE==x"
                                        << "MBC FM"
                                        << "mms://h/fm?AbC dE==x";
    QTest::newRow("spaces beside separator") << "SBS FM = mms://h/a"
                                             << "SBS FM "
                                             << " mms://h/a"
                                             << "SBS FM "
                                             << " mms://h/a";
    QTest::newRow("full-width equals") << "A＝mms://h/a"
                                       << ""
                                       << ""
                                       << "A＝mms://h/a"
                                       << "";
    QTest::newRow("full-width before separator") << "A＝B=mms://h/a"
                                                 << "A＝B"
                                                 << "mms://h/a"
                                                 << "A＝B"
                                                 << "mms://h/a";
    QTest::newRow("trailing space") << "SBS파워 FM라디오=mms://h/p?t.k+n "
                                    << "SBS파워 FM라디오"
                                    << "mms://h/p?t.k+n "
                                    << "SBS파워 FM라디오"
                                    << "mms://h/p?t.k+n ";
    QTest::newRow("inner space") << "SCC TV=mms://h/scc tv"
                                 << "SCC TV"
                                 << "mms://h/scc tv"
                                 << "SCC TV"
                                 << "mms://h/scc tv";
    QTest::newRow("character entity") << "사랑선교 라디오=http://1.2.3.4:80/p?1.2.3&amp;x=y.asf"
                                      << "사랑선교 라디오"
                                      << "http://1.2.3.4:80/p?1.2.3&amp;x=y.asf"
                                      << "사랑선교 라디오"
                                      << "http://1.2.3.4:80/p?1.2.3&amp;x=y.asf";
    QTest::newRow("upper-case scheme") << "CTS 기독교방송=MMS://h/cts"
                                       << "CTS 기독교방송"
                                       << "MMS://h/cts"
                                       << "CTS 기독교방송"
                                       << "MMS://h/cts";
    QTest::newRow("empty line") << ""
                                << ""
                                << ""
                                << ""
                                << "";
}

void TestCatalogue::splitting()
{
    QFETCH(QString, line);
    const ChannelEntry entry(line);
    QTEST(entry.name(), "name");
    QTEST(entry.location(), "location");
    QTEST(entry.displayText(), "shown");
    QTEST(entry.playLocation(), "played");
}

void TestCatalogue::listFileKeepsLinesWhole()
{
    const QByteArray file = QStringLiteral("가=mms://h/a \n=b\nc\n\n").toUtf8();
    QCOMPARE(ChannelCatalogue::parseLines(file), (QStringList{"가=mms://h/a ", "=b", "c", ""}));
}

// Every name lays out in the lists' font, Hangul included, with no missing glyph.
void TestCatalogue::namesHaveAllGlyphs()
{
    Tcontrol_form form;
    const ChannelCatalogue catalogue = ChannelCatalogue::builtIn();
    for (const QListWidget* list : {form.tvList, form.radioList, form.internetList}) {
        const QFont font = list->font();
        QCOMPARE(font.family(), QStringLiteral("Tahoma"));
        const QFontMetrics metrics(font);
        for (int row = 0; row < list->count(); ++row) {
            const QString name = ChannelEntry(list->item(row)->text()).name();
            for (char32_t ch : name.toUcs4())
                QVERIFY2(metrics.inFontUcs4(ch), qPrintable(name));
            QTextLayout layout(name, font);
            layout.beginLayout();
            layout.createLine();
            layout.endLayout();
            for (const QGlyphRun& run : layout.glyphRuns())
                QVERIFY2(!run.glyphIndexes().contains(0), qPrintable(name + " in " + run.rawFont().familyName()));
        }
    }
}

void TestCatalogue::rowDrawing_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("shown");

    QTest::newRow("name only") << "KBS 1TV=mms://a/b" << false << "KBS 1TV";
    QTest::newRow("Hangul name") << "서울 MBC=http://h/x" << false << "서울 MBC";
    QTest::newRow("selected") << "KBS 2TV=mms://a/c" << true << "KBS 2TV";
    QTest::newRow("no separator") << "국회방송 mms://h/a" << false << "국회방송 mms://h/a";
    QTest::newRow("leading separator") << "=mms://h/a" << false << "=mms://h/a";
    QTest::newRow("wider than the row") << "아주 긴 이름 아주 긴 이름 아주 긴 이름=x" << false
                                        << "아주 긴 이름 아주 긴 이름 아주 긴 이름";
}

// A row is the fill colour with the shown text at 2 right and 1 down, cut at the row's edge; compared pixel for
// pixel with that text painted by hand.
void TestCatalogue::rowDrawing()
{
    QFETCH(QString, line);
    QFETCH(bool, selected);
    QFETCH(QString, shown);

    // Showing the panel reads the player's volume.
    FaultEngine::install();
    Tmain_form main;
    main_form = &main;
    Tcontrol_form form;
    QListWidget* list = form.tvList;
    list->clear();
    list->addItems({QStringLiteral("Above=x"), line});
    if (selected)
        list->setCurrentRow(1);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    list->clearFocus();

    const QRect row = list->visualItemRect(list->item(1));
    QCOMPARE(row.height(), 16);
    QCOMPARE(row.left(), 0);
    QCOMPARE(row.width(), list->viewport()->width());
    const QImage actual = list->viewport()->grab(row).toImage().convertToFormat(QImage::Format_RGB32);

    const QPalette& palette = list->palette();
    QImage expected(actual.size(), QImage::Format_RGB32);
    expected.setDevicePixelRatio(actual.devicePixelRatio());
    expected.fill(palette.color(QPalette::Active, selected ? QPalette::Highlight : QPalette::Base));
    {
        QPainter painter(&expected);
        painter.setFont(list->font());
        painter.setPen(palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(2, 1 + painter.fontMetrics().ascent(), shown);
    }
    main_form = nullptr;
    TWindowsMediaPlayer::setEngineFactory({});
    QCOMPARE(actual, expected);
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestCatalogue test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_catalogue.moc"
