#include "ui/StatusIcon.h"

#include "ui/KitewellSyncApp.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace kitewell {

namespace {

// Draws the program's icon with its mark in the lower right corner, at any size.
class MarkedIconEngine : public QIconEngine {
public:
    explicit MarkedIconEngine(StatusIcon::Mark mark) : m_mark(mark) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        QSvgRenderer(KitewellSyncApp::applicationIconPath()).render(painter, rect);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        // The mark takes the lower right corner, a little over half the icon.
        const qreal side = std::min(rect.width(), rect.height());
        painter->translate(QPointF(rect.right() + 1 - side * 0.58, rect.bottom() + 1 - side * 0.58));
        painter->scale(side * 0.58 / 100, side * 0.58 / 100);
        if (m_mark == StatusIcon::Mark::Syncing)
            drawSyncing(*painter);
        else
            drawWarning(*painter);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paint(&painter, image.rect(), mode, state);
        painter.end();
        return QPixmap::fromImage(std::move(image));
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        // The sizes trays ask for; any other is drawn as well.
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }

    QIconEngine* clone() const override { return new MarkedIconEngine(m_mark); }
    QString key() const override { return QStringLiteral("kitewell-status"); }

private:
    // In a 100 × 100 box. A blue disc, ringed white to stand off the camera, with a white
    // arrow turning round.
    static void drawSyncing(QPainter& painter) {
        painter.setPen(QPen(Qt::white, 8));
        painter.setBrush(QColor(0x1f, 0x6f, 0xd9));
        painter.drawEllipse(QRectF(6, 6, 88, 88));
        painter.setPen(QPen(Qt::white, 11, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(28, 28, 44, 44), 90 * 16, 270 * 16);
        QPainterPath head;
        head.moveTo(50, 12);
        head.lineTo(67, 28);
        head.lineTo(50, 44);
        head.closeSubpath();
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawPath(head);
    }

    // In a 100 × 100 box. An amber triangle with a dark edge and a dark exclamation mark.
    static void drawWarning(QPainter& painter) {
        QPainterPath triangle;
        triangle.moveTo(50, 4);
        triangle.lineTo(97, 92);
        triangle.lineTo(3, 92);
        triangle.closeSubpath();
        painter.setPen(QPen(QColor(0x4a, 0x30, 0x00), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(QColor(0xf5, 0xb0, 0x14));
        painter.drawPath(triangle);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1c, 0x1c, 0x1c));
        painter.drawRoundedRect(QRectF(43, 30, 14, 36), 6, 6);
        painter.drawEllipse(QRectF(42.5, 71, 15, 15));
    }

    const StatusIcon::Mark m_mark;
};

} // namespace

QIcon StatusIcon::icon(Mark mark) {
    if (mark == Mark::None)
        return KitewellSyncApp::applicationIcon();
    return QIcon(new MarkedIconEngine(mark));
}

} // namespace kitewell
