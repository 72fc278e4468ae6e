#include "icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace ostrel::vessolt {
namespace {

// Drawn on a 16-unit grid and scaled, so that they stay sharp at any size.
void draw(QPainter& p, const QString& name) {
    const QPen outline(QColor(40, 40, 40), 1.0);
    p.setPen(outline);
    if (name == "IMAGE_UPARROW" || name == "IMAGE_DOWNARROW") {
        const bool up = name == "IMAGE_UPARROW";
        QPolygonF arrow;
        arrow << QPointF(8, up ? 3 : 13) << QPointF(14, up ? 11 : 5) << QPointF(2, up ? 11 : 5);
        p.setBrush(QColor(0, 0, 128));
        p.drawPolygon(arrow);
    } else if (name == "IMAGE_GO") {
        QPolygonF go;
        go << QPointF(4, 2) << QPointF(14, 8) << QPointF(4, 14);
        p.setBrush(QColor(0, 150, 0));
        p.drawPolygon(go);
    } else if (name == "IMAGE_WINDOW") {
        p.setBrush(Qt::white);
        p.drawRect(QRectF(1.5, 2.5, 13, 11));
        p.fillRect(QRectF(2, 3, 12, 3), QColor(0, 0, 160));
    } else if (name == "IMAGE_CONFIG" || name == "BUTTON_TESTCONFIG") {
        p.setBrush(QColor(120, 120, 120));
        p.drawEllipse(QPointF(8, 8), 5.5, 5.5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 8), 2, 2);
        for (int i = 0; i < 4; ++i) {
            p.save();
            p.translate(8, 8);
            p.rotate(45.0 * i);
            p.fillRect(QRectF(-1, -7.5, 2, 15), QColor(120, 120, 120));
            p.restore();
        }
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 8), 2, 2);
    } else if (name == "BUTTON_HELP") {
        p.setBrush(QColor(30, 90, 200));
        p.drawEllipse(QPointF(8, 8), 7, 7);
        p.setPen(Qt::white);
        QFont font = p.font();
        font.setPixelSize(12);
        font.setBold(true);
        p.setFont(font);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
    } else if (name == "BUTTON_NETCONFIG") {
        p.drawLine(QPointF(1, 12), QPointF(15, 12));
        p.setBrush(QColor(0, 120, 180));
        for (int x : {2, 7, 12}) {
            p.drawLine(QPointF(x + 1.5, 8), QPointF(x + 1.5, 12));
            p.drawRect(QRectF(x, 3.5, 3, 4.5));
        }
    } else if (name == "BUTTON_NSMCONFIG") {
        p.setBrush(QColor(0, 110, 60));
        p.drawRect(QRectF(2.5, 3.5, 11, 9));
        p.setPen(QColor(220, 220, 220));
        for (int x : {4, 7, 10})
            p.drawLine(QPointF(x + 1, 13), QPointF(x + 1, 15));
        p.fillRect(QRectF(5, 6, 6, 4), QColor(230, 200, 0));
    } else if (name == "BUTTON_GENREPORT" || name == "BUTTON_VIEWREPORT" || name == "BUTTON_CHECKREPORT") {
        p.setBrush(Qt::white);
        p.drawRect(QRectF(2.5, 1.5, 10, 13));
        for (int y : {4, 6, 8, 10})
            p.drawLine(QPointF(4.5, y + 0.5), QPointF(10.5, y + 0.5));
        if (name == "BUTTON_GENREPORT") {
            p.setBrush(QColor(240, 190, 0));
            p.drawEllipse(QPointF(12, 12), 3.5, 3.5);
        } else if (name == "BUTTON_VIEWREPORT") {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(0, 0, 140), 1.5));
            p.drawEllipse(QPointF(11, 11), 3, 3);
            p.drawLine(QPointF(13, 13), QPointF(15.5, 15.5));
        } else {
            p.setPen(QPen(QColor(0, 150, 0), 2));
            p.drawLine(QPointF(8, 12), QPointF(10.5, 14.5));
            p.drawLine(QPointF(10.5, 14.5), QPointF(15, 8));
        }
    } else if (name == "BUTTON_SAVECONFIG") {
        p.setBrush(QColor(40, 60, 160));
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.fillRect(QRectF(4, 2, 8, 5), Qt::white);
        p.fillRect(QRectF(5, 10, 6, 4.5), QColor(200, 200, 200));
    } else if (name == "BUTTON_OPENCONFIG") {
        p.setBrush(QColor(230, 190, 70));
        QPolygonF folder;
        folder << QPointF(1.5, 3.5) << QPointF(6, 3.5) << QPointF(7.5, 5) << QPointF(14.5, 5) << QPointF(14.5, 13.5)
               << QPointF(1.5, 13.5);
        p.drawPolygon(folder);
        p.setBrush(QColor(250, 220, 120));
        QPolygonF flap;
        flap << QPointF(3.5, 7.5) << QPointF(15.5, 7.5) << QPointF(14.5, 13.5) << QPointF(1.5, 13.5);
        p.drawPolygon(flap);
    } else if (name == "BUTTON_INTERNET") {
        p.setBrush(QColor(70, 140, 220));
        p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(8, 8), 3, 6.5);
        p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
    } else if (name == "BUTTON_RESET") {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(180, 30, 30), 2));
        p.drawArc(QRectF(3, 3, 10, 10), 90 * 16, 270 * 16);
        p.setBrush(QColor(180, 30, 30));
        p.setPen(Qt::NoPen);
        QPolygonF head;
        head << QPointF(8, 0.5) << QPointF(12, 3) << QPointF(8, 5.5);
        p.drawPolygon(head);
    } else if (name == "IMAGE_NBXLOGO") {
        p.setBrush(QColor(0, 100, 60));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        p.setPen(Qt::white);
        QFont font = p.font();
        font.setPixelSize(6);
        font.setBold(true);
        p.setFont(font);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("NBX"));
    } else if (name == "IMAGE_OSTLOGO") {
        p.setBrush(QColor(20, 60, 140));
        p.drawEllipse(QPointF(8, 8), 7, 7);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8, 8), 3.5, 3.5);
    }
}

bool known(const QString& name) {
    static const QStringList names{
        "BUTTON_HELP",      "BUTTON_NETCONFIG", "BUTTON_TESTCONFIG", "BUTTON_NSMCONFIG", "BUTTON_GENREPORT",
        "BUTTON_VIEWREPORT", "BUTTON_CHECKREPORT", "BUTTON_SAVECONFIG", "BUTTON_OPENCONFIG", "BUTTON_INTERNET",
        "BUTTON_RESET",     "IMAGE_UPARROW",    "IMAGE_DOWNARROW",   "IMAGE_GO",         "IMAGE_WINDOW",
        "IMAGE_CONFIG",     "IMAGE_NBXLOGO",    "IMAGE_OSTLOGO"};
    return names.contains(name);
}

} // namespace

QPixmap resourcePixmap(const QString& name, int size) {
    if (!known(name) || size <= 0)
        return {};
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    draw(painter, name);
    return pixmap;
}

QIcon resourceIcon(const QString& name) {
    QIcon icon;
    for (int size : {16, 24, 32}) {
        const QPixmap pixmap = resourcePixmap(name, size);
        if (pixmap.isNull())
            return {};
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace ostrel::vessolt
