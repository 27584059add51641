// The program as a user starts it: the Close command's exit code and a start-up that fails.
#include "support/Rig.h"

#include <QProcess>
#include <QtTest>

namespace {

QString binary(const QString& relative)
{
    return qEnvironmentVariable("ORVANE_BINARY_DIR") + u'/' + relative;
}

// The X id of the first visible window with exactly this name, once it is mapped.
QString waitForWindow(const QString& name)
{
    QProcess search;
    search.start(QStringLiteral("timeout"),
                 {"20", "xdotool", "search", "--sync", "--onlyvisible", "--name", u'^' + name + u'$'});
    search.waitForFinished(25000);
    return QString::fromUtf8(search.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts).value(0);
}

bool xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(5000) && process.exitCode() == 0;
}

} // namespace

class TestProgram : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(orvane::test::inRig(), "runs inside tests/rig/rig.sh"); }
    void closeCommandEndsWithZero();
    void startupFailureShowsApplicationError();
};

void TestProgram::closeCommandEndsWithZero()
{
    QProcess program;
    program.start(binary("orvane"), {});
    QVERIFY(program.waitForStarted());
    const QString window = waitForWindow("Orvane 2.2");
    QVERIFY(!window.isEmpty());
    // The popup menu over the video surface, then its last item, "Close".
    QVERIFY(xdotool({"mousemove", "--window", window, "120", "100", "click", "3"}));
    QTest::qWait(500);
    QVERIFY(xdotool({"key", "Up", "Return"}));
    QVERIFY(program.waitForFinished(15000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void TestProgram::startupFailureShowsApplicationError()
{
    QProcess program;
    program.start(binary("tests/failing_orvane"), {});
    QVERIFY(program.waitForStarted());
    const QString box = waitForWindow("Application Error");
    QVERIFY2(!box.isEmpty(), "no \"Application Error\" box");
    QVERIFY(xdotool({"windowactivate", "--sync", box}));
    QVERIFY(xdotool({"key", "Return"}));
    QVERIFY(program.waitForFinished(15000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
