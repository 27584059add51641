// The start-up baseline: a Qt widgets program that shows one 249 x 198 window and nothing else.
// Built three more times to show where the program's start-up goes: BENCH_LINKED only links libmpv (its libraries
// load at exec), BENCH_GL fills the window with a QOpenGLWidget (as the player's video surface does), BENCH_MPV
// also initialises a libmpv handle and its render context.
#include <QApplication>
#include <QVBoxLayout>
#include <QWidget>

#ifdef BENCH_GL
#include <QOpenGLContext>
#include <QOpenGLWidget>
#endif
#if defined(BENCH_MPV) || defined(BENCH_LINKED)
#include <mpv/client.h>
#endif
#ifdef BENCH_MPV
#include <clocale>
#include <mpv/client.h>
#include <mpv/render_gl.h>
#endif

#ifdef BENCH_GL
class Surface : public QOpenGLWidget {
public:
    using QOpenGLWidget::QOpenGLWidget;
#ifdef BENCH_MPV
    mpv_handle* mpv = nullptr;
    mpv_render_context* render = nullptr;

protected:
    void initializeGL() override
    {
        mpv_opengl_init_params glParams{[](void*, const char* name) -> void* {
                                            return reinterpret_cast<void*>(
                                                QOpenGLContext::currentContext()->getProcAddress(name));
                                        },
                                        nullptr};
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
            {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glParams},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        mpv_render_context_create(&render, mpv, params);
    }
#endif
};
#endif

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal Qt window"));
    window.resize(249, 198);
#ifdef BENCH_GL
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* surface = new Surface(&window);
    layout->addWidget(surface);
#endif
#ifdef BENCH_MPV
    std::setlocale(LC_NUMERIC, "C");
    surface->mpv = mpv_create();
    mpv_set_option_string(surface->mpv, "vo", "libmpv");
    mpv_initialize(surface->mpv);
#endif
#ifdef BENCH_LINKED
    // One call, so that the link to libmpv stays.
    if (mpv_client_api_version() == 0)
        return 1;
#endif
    window.show();
    return app.exec();
}
