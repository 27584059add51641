#include "control/FormEvents.h"

#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QStyleOptionSlider>
#include <QToolTip>

namespace orvane {

OwnerDrawDelegate::OwnerDrawDelegate(QAbstractItemView* list, DrawItem drawItem)
    : QAbstractItemDelegate(list)
    , m_drawItem(std::move(drawItem))
{
    list->setItemDelegate(this);
}

void OwnerDrawDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // The highlight does not fade when the list loses the focus.
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    const QColor textColor = palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text);

    painter->save();
    painter->setClipRect(option.rect);
    painter->setFont(option.font);
    painter->setBrush(palette.brush(QPalette::Active, selected ? QPalette::Highlight : QPalette::Base));
    painter->setPen(textColor);
    m_drawItem(painter, index.row(), option.rect, option.state);
    painter->restore();

    if (option.state & QStyle::State_HasFocus) {
        painter->save();
        painter->setPen(QPen(textColor, 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }
}

QSize OwnerDrawDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(0, rowHeight);
}

DoubleClickNotifier::DoubleClickNotifier(QAbstractItemView* list)
    : QObject(list)
{
    list->viewport()->installEventFilter(this);
}

bool DoubleClickNotifier::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        emit doubleClicked();
    return QObject::eventFilter(watched, event);
}

SliderTracking::SliderTracking(QAbstractSlider* slider)
    : QObject(slider)
    , m_slider(slider)
{
    slider->installEventFilter(this);
    connect(slider, &QAbstractSlider::sliderMoved, this, &SliderTracking::showValueTip);
    connect(slider, &QAbstractSlider::sliderReleased, this, [this] {
        QToolTip::hideText();
        emit trackingEnded();
    });
}

bool SliderTracking::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_slider)
        return false;
    if (event->type() == QEvent::MouseButtonRelease) {
        // A dragged thumb's release comes as sliderReleased; this is the end of a click on the groove.
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && !m_slider->isSliderDown())
            emit trackingEnded();
    } else if (event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
            // X repeats a held key as release-press pairs; only the real release ends the key press.
            if (!key->isAutoRepeat())
                emit trackingEnded();
            break;
        default:
            break;
        }
    }
    return false;
}

void SliderTracking::showValueTip()
{
    QStyleOptionSlider option;
    option.initFrom(m_slider);
    option.orientation = m_slider->orientation();
    option.minimum = m_slider->minimum();
    option.maximum = m_slider->maximum();
    option.sliderPosition = m_slider->sliderPosition();
    option.sliderValue = m_slider->value();
    option.singleStep = m_slider->singleStep();
    option.pageStep = m_slider->pageStep();
    option.upsideDown = m_slider->orientation() == Qt::Horizontal
                            ? m_slider->invertedAppearance() != (m_slider->layoutDirection() == Qt::RightToLeft)
                            : !m_slider->invertedAppearance();
    option.subControls = QStyle::SC_SliderHandle;
    const QRect handle =
        m_slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, m_slider);
    const QString text = QString::number(m_slider->sliderPosition());
    // The tip opens below and right of the point it is given; lift it by its own height and that offset.
    const int lift = m_slider->fontMetrics().height() + 24;
    const QPoint anchor = m_slider->mapToGlobal(QPoint(handle.center().x(), handle.top() - lift));
    QToolTip::showText(anchor, text, m_slider);
}

ResizeQuery::ResizeQuery(QWidget* window, CanResize canResize)
    : QObject(window)
    , m_window(window)
    , m_canResize(std::move(canResize))
{
    window->installEventFilter(this);
}

bool ResizeQuery::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::Resize)
        return false;
    const auto* resize = static_cast<QResizeEvent*>(event);
    const QSize kept = m_window->minimumSize();
    if (!resize->oldSize().isValid() || resize->size() == kept)
        return false;
    int width = resize->size().width();
    int height = resize->size().height();
    bool accepted = true;
    m_canResize(width, height, accepted);
    // The window stays fixed at its accepted size, so the window manager offers no other.
    const QSize target = accepted ? QSize(width, height) : kept;
    QMetaObject::invokeMethod(
        this,
        [this, target] {
            m_window->setFixedSize(target);
            m_window->resize(target);
        },
        Qt::QueuedConnection);
    return false;
}

} // namespace orvane
