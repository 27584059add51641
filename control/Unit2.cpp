#include "control/Unit2.h"

#include "app/Desktop.h"
#include "app/Icons.h"
#include "app/OrvaneApplication.h"
#include "app/Unit1.h"
#include "control/ChannelCatalogue.h"
#include "control/FormEvents.h"
#include "player/WMPLib_TLB.h"
#include "ui_Unit2.h"

#include <QPainter>

#include <exception>
#include <utility>

namespace orvane {

Tcontrol_form* control_form = nullptr;

namespace {

// A handler that another handler sets off synchronously through a signal (the show handler moving the slider)
// must not throw back through Qt's signal code. Its failure is parked here and the outer handler rethrows it
// once the signal has returned, so that it ends both handlers, as it would if it could travel the whole way.
int handlerDepth = 0;
std::exception_ptr nestedFailure;

struct HandlerScope {
    HandlerScope() { ++handlerDepth; }
    ~HandlerScope() { --handlerDepth; }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
};

void rethrowNestedFailure()
{
    if (std::exception_ptr failure = std::exchange(nestedFailure, nullptr))
        std::rethrow_exception(failure);
}

template <typename Handler> void runHandler(Handler&& handler)
{
    if (handlerDepth > 0) {
        HandlerScope scope;
        try {
            handler();
        } catch (...) {
            if (!nestedFailure)
                nestedFailure = std::current_exception();
        }
        return;
    }
    nestedFailure = nullptr;
    // The scope closes before the error box opens, so handlers run from the box's loop count as outermost.
    OrvaneApplication::guarded([&] {
        {
            HandlerScope scope;
            handler();
        }
        rethrowNestedFailure();
    });
}

// Play: the selected line's location, or the empty text for a line without a name; nothing without a selection.
void playSelectedLine(const QListWidget* list)
{
    const QModelIndexList selected = list->selectionModel()->selectedIndexes();
    if (selected.isEmpty())
        return;
    main_form->WMP->setURL(ChannelEntry(list->item(selected.first().row())->text()).playLocation());
}

// Row drawing on the canvas the list prepared: fill with its brush, then the name, or the whole line when the
// name is empty, 2 pixels right of and 1 below the row's corner. The location is never shown.
void drawLine(const QListWidget* list, QPainter* canvas, int index, const QRect& rect)
{
    if (index < 0 || index >= list->count())
        return;
    canvas->fillRect(rect, canvas->brush());
    const QString text = ChannelEntry(list->item(index)->text()).displayText();
    canvas->drawText(rect.left() + 2, rect.top() + 1 + canvas->fontMetrics().ascent(), text);
}

} // namespace

Tcontrol_form::Tcontrol_form(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::Tcontrol_form>())
{
    m_ui->setupUi(this);
    btnHide = m_ui->btnHide;
    PageControl = m_ui->PageControl;
    tTv = m_ui->tTv;
    tRadio = m_ui->tRadio;
    tInternet = m_ui->tInternet;
    tbVolume = m_ui->tbVolume;
    lblVolume = m_ui->lblVolume;
    tvList = m_ui->tvList;
    radioList = m_ui->radioList;
    internetList = m_ui->internetList;
    btnStop = m_ui->btnStop;

    setWindowIcon(mainIcon());
    // The layout's label width fits Tahoma; its stand-in here (DejaVu Sans) is wider.
    lblVolume->adjustSize();
    // The frame keeps its size; the window manager is told so, and any change it makes anyway is refused.
    setFixedSize(size());
    move(0, 0);
    new ScreenSnap(this, 20);
    loadCatalogue(ChannelCatalogue::builtIn());
    // Focus for the first activation; later ones find whatever had it when the panel was hidden.
    btnHide->setFocus();

    const auto bind = [this](void (Tcontrol_form::*handler)()) {
        return [this, handler] { runHandler([this, handler] { (this->*handler)(); }); };
    };
    using DrawHandler = void (Tcontrol_form::*)(QPainter*, int, const QRect&, QStyle::State);
    const auto bindDraw = [this](DrawHandler handler) {
        return [this, handler](QPainter* canvas, int index, const QRect& rect, QStyle::State state) {
            runHandler([&] { (this->*handler)(canvas, index, rect, state); });
        };
    };

    connect(this, &Tcontrol_form::showing, this, bind(&Tcontrol_form::FormShow));
    connect(btnHide, &QPushButton::clicked, this, bind(&Tcontrol_form::btnHideClick));
    connect(tbVolume, &QSlider::valueChanged, this, bind(&Tcontrol_form::tbVolumeChange));
    connect(new SliderTracking(tbVolume), &SliderTracking::trackingEnded, this, bind(&Tcontrol_form::tbVolumeChange));
    new ResizeQuery(this, [this](int& newWidth, int& newHeight, bool& resize) {
        runHandler([&] { FormCanResize(newWidth, newHeight, resize); });
    });
    connect(new DoubleClickNotifier(tvList), &DoubleClickNotifier::doubleClicked, this,
            bind(&Tcontrol_form::tvListDblClick));
    new OwnerDrawDelegate(tvList, bindDraw(&Tcontrol_form::tvListDrawItem));
    connect(btnStop, &QPushButton::clicked, this, bind(&Tcontrol_form::btnStopClick));
    connect(new DoubleClickNotifier(radioList), &DoubleClickNotifier::doubleClicked, this,
            bind(&Tcontrol_form::radioListDblClick));
    new OwnerDrawDelegate(radioList, bindDraw(&Tcontrol_form::radioListDrawItem));
    connect(new DoubleClickNotifier(internetList), &DoubleClickNotifier::doubleClicked, this,
            bind(&Tcontrol_form::internetListDblClick));
    new OwnerDrawDelegate(internetList, bindDraw(&Tcontrol_form::internetListDrawItem));
}

Tcontrol_form::~Tcontrol_form() = default;

void Tcontrol_form::loadCatalogue(const ChannelCatalogue& catalogue)
{
    const std::pair<QListWidget*, const QStringList*> lists[] = {
        {tvList, &catalogue.tv()}, {radioList, &catalogue.radio()}, {internetList, &catalogue.internet()}};
    for (const auto& [list, lines] : lists) {
        list->clear();
        list->addItems(*lines);
    }
}

void Tcontrol_form::setVisible(bool visible)
{
    if (visible && !isVisible())
        emit showing();
    QWidget::setVisible(visible);
}

void Tcontrol_form::showPanel()
{
    show();
    raise();
    activateWindow();
}

void Tcontrol_form::FormShow()
{
    // The slider clamps; when its position changes, its change signal writes the value back at once.
    tbVolume->setValue(main_form->WMP->settings()->volume());
    rethrowNestedFailure();

    // Top first, then left, so that the outer frame's bottom-right corner lies on the work area's. The frame's
    // current corner comes from the client's, as Qt knows no frame before the first map.
    const QRect work = primaryWorkArea();
    const QSize outer = outerSize(this);
    const QMargins frame = frameExtents(this);
    moveFrameTo(this, QPoint(geometry().left() - frame.left(), work.top() + work.height() - outer.height()));
    moveFrameTo(this, QPoint(work.left() + work.width() - outer.width(), geometry().top() - frame.top()));
}

void Tcontrol_form::btnHideClick()
{
    hide();
}

void Tcontrol_form::tbVolumeChange()
{
    main_form->WMP->settings()->setVolume(tbVolume->value());
}

void Tcontrol_form::FormCanResize(int&, int&, bool& resize)
{
    resize = false;
}

void Tcontrol_form::tvListDblClick()
{
    playSelectedLine(tvList);
}

void Tcontrol_form::tvListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State)
{
    drawLine(tvList, canvas, index, rect);
}

void Tcontrol_form::btnStopClick()
{
    main_form->WMP->close();
}

void Tcontrol_form::radioListDblClick()
{
    playSelectedLine(radioList);
}

void Tcontrol_form::radioListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State)
{
    drawLine(radioList, canvas, index, rect);
}

void Tcontrol_form::internetListDblClick()
{
    playSelectedLine(internetList);
}

void Tcontrol_form::internetListDrawItem(QPainter* canvas, int index, const QRect& rect, QStyle::State)
{
    drawLine(internetList, canvas, index, rect);
}

} // namespace orvane
