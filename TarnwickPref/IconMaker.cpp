// Draws the pane's icon (a graphics card under a clock dial) and writes it as
// TIFF: IconMaker <output.tiff>. Run by the build, so no image is kept in the
// source tree.
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: IconMaker <output.tiff>\n");
        return 2;
    }
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // The card: a green board with a fan and gold contacts.
    QLinearGradient board(0, 40, 0, 112);
    board.setColorAt(0, QColor(46, 125, 70));
    board.setColorAt(1, QColor(24, 80, 44));
    p.setPen(QPen(QColor(16, 52, 30), 2));
    p.setBrush(board);
    p.drawRoundedRect(QRectF(10, 44, 108, 60), 6, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(212, 175, 55));
    for (int i = 0; i < 10; ++i) p.drawRect(QRectF(22 + i * 9, 104, 6, 10));
    p.setBrush(QColor(40, 40, 44));
    p.drawEllipse(QPointF(42, 74), 20, 20);
    p.setBrush(QColor(90, 90, 96));
    for (int blade = 0; blade < 6; ++blade) {
        QPainterPath path;
        const double a = blade * M_PI / 3;
        path.moveTo(42, 74);
        path.lineTo(42 + 18 * std::cos(a), 74 + 18 * std::sin(a));
        path.lineTo(42 + 18 * std::cos(a + 0.5), 74 + 18 * std::sin(a + 0.5));
        path.closeSubpath();
        p.drawPath(path);
    }
    p.setBrush(QColor(30, 30, 30));
    p.drawRect(QRectF(72, 56, 34, 34));

    // The dial: white face, red arc above stock, needle raised.
    p.setPen(QPen(QColor(60, 60, 60), 3));
    p.setBrush(QColor(250, 250, 245));
    p.drawEllipse(QPointF(84, 36), 30, 30);
    p.setPen(QPen(QColor(200, 40, 40), 5, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(60, 12, 48, 48), 0 * 16, 60 * 16);
    p.setPen(QPen(QColor(30, 30, 30), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(84, 36), QPointF(84 + 22 * std::cos(-0.7), 36 + 22 * std::sin(-0.7)));
    p.setBrush(QColor(30, 30, 30));
    p.drawEllipse(QPointF(84, 36), 4, 4);
    p.end();

    QImageWriter writer(QString::fromLocal8Bit(argv[1]), "tiff");
    if (!writer.write(image)) {
        std::fprintf(stderr, "IconMaker: %s\n", writer.errorString().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
