#pragma once

#include <QAbstractItemDelegate>
#include <QObject>
#include <QSize>
#include <QStyle>

#include <functional>

class QAbstractItemView;
class QAbstractSlider;
class QWidget;

namespace orvane {

// Paints each row of a list by handing a prepared canvas to a draw-row handler: the list's font, and the
// window colours, or the highlight colours for a selected row. Afterwards the row with the keyboard focus gets
// a dotted focus rectangle. Rows are 16 pixels high.
class OwnerDrawDelegate : public QAbstractItemDelegate {
    Q_OBJECT
public:
    using DrawItem = std::function<void(QPainter* canvas, int index, const QRect& rect, QStyle::State state)>;

    OwnerDrawDelegate(QAbstractItemView* list, DrawItem drawItem);

    static constexpr int rowHeight = 16;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    DrawItem m_drawItem;
};

// A left double-click anywhere in a list, on a row or not: the list's selection is already up to date.
class DoubleClickNotifier : public QObject {
    Q_OBJECT
public:
    explicit DoubleClickNotifier(QAbstractItemView* list);

signals:
    void doubleClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The notification that ends a slider interaction, sent even when the value did not change then: the release
// of a dragged thumb, the release of the mouse after a click on the groove, the release of a stepping key.
// While the thumb is dragged a tip above it shows the value.
class SliderTracking : public QObject {
    Q_OBJECT
public:
    explicit SliderTracking(QAbstractSlider* slider);

signals:
    void trackingEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showValueTip();

    QAbstractSlider* m_slider;
};

// Asks a handler about every change of a window's size, including one that the window manager made on its own;
// a refused change is undone.
class ResizeQuery : public QObject {
    Q_OBJECT
public:
    using CanResize = std::function<void(int& newWidth, int& newHeight, bool& resize)>;

    ResizeQuery(QWidget* window, CanResize canResize);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    CanResize m_canResize;
};

} // namespace orvane
