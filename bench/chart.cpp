// Draws a grouped bar chart of time to first sound as a PNG.
//
//   orvane_bench_chart DATA.tsv OUT.png TITLE
//
// DATA.tsv: a header "kind<TAB>player..." and one line per stream kind with each player's median in
// milliseconds, "-" where the player does not play that kind.
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTextStream>

#include <algorithm>
#include <cmath>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 4)
        return 2;
    QFile data(QString::fromLocal8Bit(argv[1]));
    if (!data.open(QIODevice::ReadOnly | QIODevice::Text))
        return 1;
    QTextStream in(&data);
    const QStringList players = in.readLine().split(u'\t').mid(1);
    QStringList kinds;
    QList<QList<double>> values; // NaN: does not play
    double top = 0;
    while (!in.atEnd()) {
        const QStringList cells = in.readLine().split(u'\t');
        if (cells.size() < 2)
            continue;
        kinds << cells.first();
        QList<double> row;
        for (int i = 1; i <= players.size(); ++i) {
            bool ok = false;
            const double value = cells.value(i).toDouble(&ok);
            row << (ok ? value : std::nan(""));
            if (ok)
                top = std::max(top, value);
        }
        values << row;
    }

    const QColor colours[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
                              QColor(0xd6, 0x27, 0x28), QColor(0x94, 0x67, 0xbd)};
    const int width = 960, height = 540, left = 80, right = 20, upper = 70, lower = 60;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(13);
    painter.setFont(font);

    // A logarithmic scale from 10 ms: the kinds differ by two orders of magnitude. Values below it (a launched
    // player's difference of two launches can come out at zero or below) sit on the floor.
    const double floorValue = 10;
    const double topValue = std::pow(10, std::ceil(std::log10(std::max(top, floorValue * 10))));
    const int plotHeight = height - upper - lower;
    const auto yOf = [&](double value) {
        const double clamped = std::clamp(value, floorValue, topValue);
        return upper + plotHeight - std::log10(clamped / floorValue) / std::log10(topValue / floorValue) * plotHeight;
    };

    for (double decade = floorValue; decade <= topValue; decade *= 10) {
        for (double tick : {decade, decade * 2, decade * 5}) {
            if (tick > topValue)
                break;
            painter.setPen(QColor(0xdd, 0xdd, 0xdd));
            painter.drawLine(QPointF(left, yOf(tick)), QPointF(width - right, yOf(tick)));
            painter.setPen(Qt::black);
            painter.drawText(QRectF(0, yOf(tick) - 10, left - 8, 20), Qt::AlignRight | Qt::AlignVCenter,
                             QString::number(tick));
        }
    }
    painter.save();
    painter.translate(18, upper + plotHeight / 2);
    painter.rotate(-90);
    painter.drawText(QRectF(-160, -10, 320, 20), Qt::AlignCenter, QStringLiteral("milliseconds, median (log scale)"));
    painter.restore();

    font.setPixelSize(16);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(0, 8, width, 24), Qt::AlignCenter, QString::fromLocal8Bit(argv[3]));
    font.setPixelSize(13);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(QRectF(0, 32, width, 20), Qt::AlignCenter,
                     QStringLiteral("Orvane, libmpv: from the URL put; mpv, cvlc: launch to sound less their launch "
                                    "to the sound of a local file"));

    const double groupWidth = double(width - left - right) / std::max<qsizetype>(kinds.size(), 1);
    const double barWidth = groupWidth * 0.8 / std::max<qsizetype>(players.size(), 1);
    for (qsizetype k = 0; k < kinds.size(); ++k) {
        const double groupLeft = left + k * groupWidth + groupWidth * 0.1;
        for (qsizetype p = 0; p < players.size(); ++p) {
            const double value = values.at(k).at(p);
            const QRectF slot(groupLeft + p * barWidth, upper, barWidth, plotHeight);
            if (std::isnan(value)) {
                painter.setPen(QColor(0x88, 0x88, 0x88));
                painter.save();
                painter.translate(slot.center().x(), upper + plotHeight - 30);
                painter.rotate(-90);
                painter.drawText(QRectF(-30, -8, 60, 16), Qt::AlignCenter, QStringLiteral("fails"));
                painter.restore();
                continue;
            }
            const QRectF bar(slot.left() + 1, yOf(value), barWidth - 2, std::max(1.0, upper + plotHeight - yOf(value)));
            painter.fillRect(bar, colours[p % 5]);
            painter.setPen(Qt::black);
            painter.drawText(QRectF(slot.left() - 10, bar.top() - 18, barWidth + 20, 16), Qt::AlignCenter,
                             value < floorValue ? QStringLiteral("<%1").arg(floorValue)
                                                : QString::number(qRound(value)));
        }
        painter.setPen(Qt::black);
        painter.drawText(QRectF(left + k * groupWidth, upper + plotHeight + 6, groupWidth, 20), Qt::AlignCenter,
                         kinds.at(k));
    }
    painter.drawLine(left, upper + plotHeight, width - right, upper + plotHeight);

    double legendX = left;
    for (qsizetype p = 0; p < players.size(); ++p) {
        painter.fillRect(QRectF(legendX, height - 26, 14, 14), colours[p % 5]);
        const QString name = players.at(p);
        painter.setPen(Qt::black);
        painter.drawText(QPointF(legendX + 20, height - 14), name);
        legendX += 40 + painter.fontMetrics().horizontalAdvance(name);
    }
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
