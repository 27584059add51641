// The start-up baseline: a Qt widgets program that shows one 249 x 198 window and nothing else.
// Built once more with BENCH_LINKED, which only links libmpv: what its libraries cost when they load at exec.
#include <QApplication>
#include <QWidget>

#ifdef BENCH_LINKED
#include <mpv/client.h>
#endif

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal Qt window"));
    window.resize(249, 198);
#ifdef BENCH_LINKED
    // One call, so that the link to libmpv stays.
    if (mpv_client_api_version() == 0)
        return 1;
#endif
    window.show();
    return app.exec();
}
