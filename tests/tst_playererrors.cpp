// The player's result and error rules, its saved state and its start-up failures, with a fault-injecting
// engine in place of libmpv.
#include "support/FaultEngine.h"

#include "player/WMPLib_TLB.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QtTest>

using namespace orvane;
using Op = FaultEngine::Op;

Q_DECLARE_METATYPE(orvane::FaultEngine::Op)

class TestPlayerErrors : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void errorWording_data();
    void errorWording();
    void operationResults_data();
    void operationResults();
    void missingPlayerInterface_data();
    void missingPlayerInterface();
    void settingsFetchedAfresh();
    void savedState();
    void malformedState_data();
    void malformedState();
    void activationFailures_data();
    void activationFailures();
    void contextMenuAtPointer();

private:
    static QByteArray stateBytes();
};

static void initResources()
{
    Q_INIT_RESOURCE(orvane);
}

void TestPlayerErrors::initTestCase()
{
    initResources();
    FaultEngine::install();
}

void TestPlayerErrors::cleanupTestCase()
{
    TWindowsMediaPlayer::setEngineFactory({});
}

QByteArray TestPlayerErrors::stateBytes()
{
    QFile file(QStringLiteral(":/wmp_state.bin"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void TestPlayerErrors::errorWording_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<HResult>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("own, trailing junk") << "Server not found. \r\n.." << hr::fail << "Server not found";
    QTest::newRow("own, control chars") << QString("Timed out\t\x01") << hr::fail << "Timed out";
    QTest::newRow("own, inner periods kept")
        << "Version 2.0 of a.b failed..." << hr::fail << "Version 2.0 of a.b failed";
    QTest::newRow("own beats system") << "Bad stream" << hr::invalidArg << "Bad stream";
    QTest::newRow("empty own: system") << "" << hr::fail << "Unspecified error";
    QTest::newRow("blank own: system, trimmed") << " .\r\n" << hr::invalidArg << "The parameter is incorrect";
    QTest::newRow("no interface") << "" << hr::noInterface << "Interface not supported";
    QTest::newRow("S_FALSE") << "" << hr::falseResult << "Incorrect function";
    QTest::newRow("unknown code") << "" << HResult(0x8ABCDEF0) << "OLE error 8ABCDEF0";
    QTest::newRow("unknown small code") << "" << HResult(0x2A) << "OLE error 0000002A";
}

void TestPlayerErrors::errorWording()
{
    QFETCH(QString, description);
    QFETCH(HResult, code);
    QFETCH(QString, text);
    QCOMPARE(errorText(description, code), text);
}

static void runOperation(TWindowsMediaPlayer& player, Op op)
{
    switch (op) {
    case Op::PutUrl:
        player.setURL(QStringLiteral("MMS://Example.org/live a "));
        break;
    case Op::GetStatus:
        player.status();
        break;
    case Op::QuerySettings:
        player.settings();
        break;
    case Op::GetVolume:
        player.settings()->volume();
        break;
    case Op::PutVolume:
        player.settings()->setVolume(30);
        break;
    case Op::Close:
        player.close();
        break;
    default:
        QFAIL("not an operation of the player");
    }
}

void TestPlayerErrors::operationResults_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<HResult>("result");
    QTest::addColumn<bool>("fails");
    const struct {
        const char* name;
        Op op;
        bool falseFails; // URL and status take anything but zero as failure
    } ops[] = {
        {"URL", Op::PutUrl, true},
        {"status", Op::GetStatus, true},
        {"settings", Op::QuerySettings, false},
        {"volume get", Op::GetVolume, false},
        {"volume put", Op::PutVolume, false},
        {"close", Op::Close, false},
    };
    for (const auto& op : ops) {
        QTest::addRow("%s ok", op.name) << op.op << hr::ok << false;
        QTest::addRow("%s S_FALSE", op.name) << op.op << hr::falseResult << op.falseFails;
        QTest::addRow("%s E_FAIL", op.name) << op.op << hr::fail << true;
    }
}

void TestPlayerErrors::operationResults()
{
    QFETCH(Op, op);
    QFETCH(HResult, result);
    QFETCH(bool, fails);
    TWindowsMediaPlayer player;
    FaultEngine* engine = FaultEngine::current();
    engine->setResult(op, result, QStringLiteral("Engine says no.\r\n"));

    try {
        runOperation(player, op);
        QVERIFY2(!fails, "the operation should have failed");
    } catch (const PlayerError& error) {
        QVERIFY2(fails, qPrintable(error.text()));
        QCOMPARE(error.text(), QStringLiteral("Engine says no"));
        QCOMPARE(error.code(), result);
    }
    QCOMPARE(engine->calls(op), 1);
    if (op == Op::PutUrl)
        QCOMPARE(engine->lastUrl, QStringLiteral("MMS://Example.org/live a "));
}

void TestPlayerErrors::missingPlayerInterface_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<Op>("failing");
    QTest::newRow("volume get") << Op::GetVolume << Op::QuerySettings;
    QTest::newRow("volume put") << Op::PutVolume << Op::QuerySettings;
    QTest::newRow("close") << Op::Close << Op::Close;
}

// An engine without the full player interface: the volume never reaches it, and the words are the system's.
void TestPlayerErrors::missingPlayerInterface()
{
    QFETCH(Op, op);
    QFETCH(Op, failing);
    TWindowsMediaPlayer player;
    FaultEngine* engine = FaultEngine::current();
    engine->setResult(failing, hr::noInterface);
    try {
        runOperation(player, op);
        QFAIL("the operation should have failed");
    } catch (const PlayerError& error) {
        QCOMPARE(error.text(), QStringLiteral("Interface not supported"));
    }
    QCOMPARE(engine->calls(Op::GetVolume) + engine->calls(Op::PutVolume), 0);
}

void TestPlayerErrors::settingsFetchedAfresh()
{
    TWindowsMediaPlayer player;
    FaultEngine* engine = FaultEngine::current();
    player.settings()->setVolume(30);
    QCOMPARE(player.settings()->volume(), 30);
    QCOMPARE(engine->calls(Op::QuerySettings), 2);
    QCOMPARE(engine->volumesWritten, QList<int>{30});
}

void TestPlayerErrors::savedState()
{
    const QByteArray bytes = stateBytes();
    QCOMPARE(bytes.size(), 164);
    const PersistedState state = PersistedState::parse(bytes);

    using Type = PersistedState::Value::Type;
    const QString none = QStringLiteral("none");
    const struct {
        Type type;
        QVariant value;
    } expected[] = {
        {Type::Text, QString()}, {Type::Double, 1.0},     {Type::Int, 0},          {Type::Double, 0.0},
        {Type::Text, QString()}, {Type::Int, 1},          {Type::Bool, true},      {Type::Int, 0},
        {Type::Bool, true},      {Type::Text, QString()}, {Type::Int, 100},        {Type::Bool, false},
        {Type::Text, none},      {Type::Bool, true},      {Type::Bool, false},     {Type::Bool, false},
        {Type::Bool, true},      {Type::Bool, false},     {Type::Text, QString()}, {Type::Text, QString()},
        {Type::Text, QString()}, {Type::Text, QString()}, {Type::Bool, false},
    };
    QCOMPARE(state.values.size(), 23);
    for (int i = 0; i < 23; ++i) {
        const PersistedState::Value& value = state.values.at(i);
        QCOMPARE(value.type, expected[i].type);
        switch (value.type) {
        case Type::Int:
            QCOMPARE(value.intValue, expected[i].value.toInt());
            break;
        case Type::Double:
            QCOMPARE(value.doubleValue, expected[i].value.toDouble());
            break;
        case Type::Bool:
            QCOMPARE(value.boolValue, expected[i].value.toBool());
            break;
        case Type::Text:
            QCOMPARE(value.textValue, expected[i].value.toString());
            break;
        }
    }
    QCOMPARE(state.uiMode(), none);
    QCOMPARE(state.volume(), 100);
    QCOMPARE(state.mute(), false);
    QCOMPARE(state.autoStart(), true);
    QCOMPARE(state.extentX, 6588);
    QCOMPARE(state.extentY, 5239);

    // The player hands the compiled-in state to its engine when created.
    TWindowsMediaPlayer player;
    QCOMPARE(FaultEngine::current()->appliedVolume, 100);
    QCOMPARE(FaultEngine::current()->appliedUiMode, none);
}

void TestPlayerErrors::malformedState_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = stateBytes();
    auto patched = [&good](int at, const QByteArray& with) { return QByteArray(good).replace(at, with.size(), with); };
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated") << good.chopped(1);
    QTest::newRow("extra byte") << good + '\0';
    QTest::newRow("bad header") << patched(1, QByteArray(1, '\x02'));
    QTest::newRow("bad type") << patched(4, QByteArray(1, '\x09'));
    QTest::newRow("odd text count") << patched(6, QByteArray(1, '\x03'));
    QTest::newRow("text count below terminator") << patched(6, QByteArray(1, '\x00'));
    QTest::newRow("text count past end") << patched(6, QByteArray("\xff\xff\xff\x7f", 4));
    QTest::newRow("text without terminator") << patched(0x62, QByteArray("x", 1));
    QTest::newRow("bool neither 0 nor -1") << patched(0x52, QByteArray(1, '\x01'));
}

void TestPlayerErrors::malformedState()
{
    QFETCH(QByteArray, bytes);
    try {
        PersistedState::parse(bytes);
        QFAIL("a malformed state was accepted");
    } catch (const PlayerError& error) {
        QCOMPARE(error.text(), QStringLiteral("OLE control activation failed"));
    }
}

void TestPlayerErrors::activationFailures_data()
{
    QTest::addColumn<int>("failing"); // -1: the engine can't be made at all
    QTest::addColumn<QString>("text");
    QTest::newRow("no engine") << -1 << "OLE control activation failed";
    QTest::newRow("state refused") << int(Op::ApplyState) << "OLE control activation failed";
    QTest::newRow("no surface") << int(Op::CreateSurface) << "Could not obtain OLE control window handle";
}

void TestPlayerErrors::activationFailures()
{
    QFETCH(int, failing);
    QFETCH(QString, text);
    TWindowsMediaPlayer::setEngineFactory([failing]() -> std::unique_ptr<PlayerEngine> {
        if (failing < 0)
            return nullptr;
        auto engine = std::make_unique<FaultEngine>();
        engine->setResult(Op(failing), hr::fail, QStringLiteral("ignored"));
        return engine;
    });
    auto restore = qScopeGuard([] { FaultEngine::install(); });
    try {
        TWindowsMediaPlayer player;
        QFAIL("the player was created");
    } catch (const PlayerError& error) {
        QCOMPARE(error.text(), text);
    }
}

// A right-click on the video surface opens the popup menu where the pointer is.
void TestPlayerErrors::contextMenuAtPointer()
{
    QWidget window;
    auto* player = new TWindowsMediaPlayer(&window);
    window.resize(249, 198);
    player->resize(window.size());
    QMenu menu;
    menu.addAction(QStringLiteral("Close"));
    player->setPopupMenu(&menu);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QWidget* surface = player->findChild<QWidget*>();
    QVERIFY(surface);
    QCOMPARE(surface->geometry(), player->rect());
    const QPoint local(40, 30);
    const QPoint global = surface->mapToGlobal(local);
    QContextMenuEvent event(QContextMenuEvent::Mouse, local, global);
    QApplication::sendEvent(surface, &event);
    QTRY_VERIFY(menu.isVisible());
    QCOMPARE(menu.pos(), global);
    menu.close();
}

QTEST_MAIN(TestPlayerErrors)
#include "tst_playererrors.moc"
