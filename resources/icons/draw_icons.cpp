// Draws the dashboard's two icons, a robot head, into PNG files. The PNGs are
// committed next to this file; run it again only to change the artwork:
//   g++ -std=c++17 -fPIC draw_icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o draw_icons
//   QT_QPA_PLATFORM=offscreen ./draw_icons resources/icons
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>

namespace {

const QColor kArmorRed(214, 59, 46);
const QColor kArmorDark(150, 34, 28);
const QColor kChestGold(219, 173, 122);
const QColor kServoBlack(41, 43, 51);
const QColor kReactorCyan(46, 209, 255);
const QColor kLensDark(20, 23, 28);

// The head on a 256 x 256 canvas: antenna, ear servos, a red shell with a
// gold face plate and a cyan visor. `withBackground` puts it on a dark
// rounded tile, which reads better in task bars than a free-floating head.
QImage drawHead(int size, bool withBackground)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    if (withBackground) {
        QLinearGradient tile(0, 0, 0, 256);
        tile.setColorAt(0, QColor(38, 40, 50));
        tile.setColorAt(1, QColor(18, 19, 24));
        p.setPen(QPen(QColor(0, 173, 181), 6));
        p.setBrush(tile);
        p.drawRoundedRect(QRectF(6, 6, 244, 244), 44, 44);
    }

    // Antenna with a glowing tip.
    p.setPen(QPen(kServoBlack, 10, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(128, 64), QPointF(128, 36));
    QRadialGradient glow(QPointF(128, 30), 16);
    glow.setColorAt(0, QColor(210, 250, 255));
    glow.setColorAt(1, kReactorCyan);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(128, 30), 13, 13);

    // Ear servos.
    p.setBrush(kServoBlack);
    p.drawRoundedRect(QRectF(30, 104, 28, 64), 8, 8);
    p.drawRoundedRect(QRectF(198, 104, 28, 64), 8, 8);
    p.setBrush(kReactorCyan);
    p.drawEllipse(QPointF(44, 136), 6, 6);
    p.drawEllipse(QPointF(212, 136), 6, 6);

    // Shell.
    QLinearGradient shell(0, 60, 0, 220);
    shell.setColorAt(0, kArmorRed.lighter(115));
    shell.setColorAt(1, kArmorDark);
    p.setPen(QPen(kArmorDark.darker(140), 4));
    p.setBrush(shell);
    p.drawRoundedRect(QRectF(52, 62, 152, 156), 36, 36);

    // Face plate.
    QLinearGradient plate(0, 92, 0, 200);
    plate.setColorAt(0, kChestGold.lighter(112));
    plate.setColorAt(1, kChestGold.darker(118));
    p.setPen(Qt::NoPen);
    p.setBrush(plate);
    p.drawRoundedRect(QRectF(72, 92, 112, 106), 22, 22);

    // Visor with two eyes.
    p.setBrush(kLensDark);
    p.drawRoundedRect(QRectF(82, 108, 92, 38), 18, 18);
    QRadialGradient eye(QPointF(0, 0), 13);
    eye.setColorAt(0, QColor(220, 252, 255));
    eye.setColorAt(0.45, kReactorCyan);
    eye.setColorAt(1, QColor(10, 90, 130));
    for (const double x : {106.0, 150.0}) {
        p.save();
        p.translate(x, 127);
        p.setBrush(eye);
        p.drawEllipse(QPointF(0, 0), 12, 12);
        p.restore();
    }

    // Mouth grille.
    p.setPen(QPen(kServoBlack, 5, Qt::SolidLine, Qt::RoundCap));
    for (const double x : {104.0, 118.0, 132.0, 146.0, 160.0} )
        p.drawLine(QPointF(x - 4, 168), QPointF(x - 4, 182));
    p.end();
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const bool ok = drawHead(256, false).save(folder + "/kestro_head.png") &&
                    drawHead(256, true).save(folder + "/kestro_icon.png");
    if (!ok)
        std::fprintf(stderr, "draw_icons: cannot write into %s\n", qPrintable(folder));
    return ok ? 0 : 1;
}
