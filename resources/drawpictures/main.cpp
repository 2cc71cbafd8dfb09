// drawpictures: draws every picture that garvinaserver ships (skin images,
// tray icons, menu pictures, program icon) with QPainter, so that all of them
// can be regenerated from source.
//
//   drawpictures draw  OUTDIR   write the pictures below OUTDIR
//   drawpictures check OUTDIR   read everything back (after rcc has made
//                               OUTDIR/programfolder/server.dll) and verify it
//
// Layout written by "draw":
//   OUTDIR/programfolder/skin/{bg,close,setting_bg,startmsg,dbunload}.jpg
//   OUTDIR/programfolder/{serverstart,serverstop}.ico
//   OUTDIR/menu/{2,5,6,7,8}.png, {2,5,6,7,8}@2x.png, server.qrc
//   OUTDIR/app/garvinaserver.png, OUTDIR/app/garvinaserver-256.png
//
// Run with QT_QPA_PLATFORM=offscreen (set automatically when unset).

#include <QByteArray>
#include <QColor>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QResource>
#include <QString>
#include <QStringList>
#include <QtMath>

#include <cstdio>
#include <cstdlib>

namespace {

// ---------------------------------------------------------------- palette

const QColor kBlue(19, 179, 253);       // accent used by the windows' buttons
const QColor kBlueLight(118, 212, 255); // top faces of the blue cylinders
const QColor kBlueTop(44, 192, 255);    // band gradient, top
const QColor kBlueBottom(12, 158, 238); // band gradient, bottom
const QColor kBody(243, 247, 251);      // main window body
const QColor kBorder(201, 215, 227);    // thin window border
const QColor kRed(224, 67, 67);
const QColor kGreen(40, 188, 98);
const QColor kTeal(24, 186, 140);
const QColor kOrange(255, 158, 36);
const QColor kSlate(84, 104, 122);
const QColor kGreyBody(150, 160, 170);
const QColor kGreyTop(202, 208, 214);

const char *const kFontFamilies[] = {"WenQuanYi Micro Hei", "Noto Sans CJK SC"};

[[noreturn]] void fail(const QString &msg)
{
    std::fprintf(stderr, "drawpictures: %s\n", qPrintable(msg));
    std::exit(1);
}

void info(const QString &msg)
{
    std::printf("%s\n", qPrintable(msg));
    std::fflush(stdout);
}

// ---------------------------------------------------------------- output

void makeDir(const QString &path)
{
    if (!QDir().mkpath(path))
        fail(QStringLiteral("cannot create folder %1").arg(path));
}

void saveJpeg(const QImage &img, const QString &path)
{
    QImageWriter w(path, "jpeg");
    w.setQuality(92);
    if (!w.write(img.convertToFormat(QImage::Format_RGB32)))
        fail(QStringLiteral("cannot write %1: %2").arg(path, w.errorString()));
    info(QStringLiteral("wrote %1 (%2x%3)").arg(path).arg(img.width()).arg(img.height()));
}

void savePng(const QImage &img, const QString &path)
{
    QImageWriter w(path, "png");
    if (!w.write(img.convertToFormat(QImage::Format_ARGB32)))
        fail(QStringLiteral("cannot write %1: %2").arg(path, w.errorString()));
    info(QStringLiteral("wrote %1 (%2x%3)").arg(path).arg(img.width()).arg(img.height()));
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        fail(QStringLiteral("cannot write %1").arg(path));
}

// Qt's ico writer stores a single image per file, so the multi-size icon
// files are assembled here: an ICONDIR followed by one 32-bit BGRA DIB (with
// its 1-bit AND mask) per size.
void saveIco(const QList<QImage> &images, const QString &path)
{
    QByteArray out;
    QDataStream ds(&out, QIODevice::WriteOnly);
    ds.setByteOrder(QDataStream::LittleEndian);

    const quint16 count = quint16(images.size());
    ds << quint16(0) << quint16(1) << count; // reserved, type = icon, count

    QList<QByteArray> blobs;
    for (const QImage &src : images) {
        const QImage img = src.convertToFormat(QImage::Format_ARGB32);
        const int w = img.width();
        const int h = img.height();
        if (w > 255 || h > 255 || w < 1 || h < 1)
            fail(QStringLiteral("icon size %1x%2 not supported").arg(w).arg(h));
        const int maskStride = ((w + 31) / 32) * 4;

        QByteArray blob;
        QDataStream bs(&blob, QIODevice::WriteOnly);
        bs.setByteOrder(QDataStream::LittleEndian);
        // BITMAPINFOHEADER; the height counts the colour and the mask rows.
        bs << quint32(40) << qint32(w) << qint32(2 * h) << quint16(1) << quint16(32) << quint32(0)
           << quint32(w * h * 4 + maskStride * h) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
        for (int y = h - 1; y >= 0; --y) { // rows bottom-up
            const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
            for (int x = 0; x < w; ++x)
                bs << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
                   << quint8(qAlpha(line[x]));
        }
        for (int y = h - 1; y >= 0; --y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
            QByteArray row(maskStride, '\0');
            for (int x = 0; x < w; ++x)
                if (qAlpha(line[x]) == 0)
                    row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            bs.writeRawData(row.constData(), row.size());
        }
        blobs << blob;
    }

    quint32 offset = 6 + 16 * quint32(count);
    for (int i = 0; i < images.size(); ++i) {
        ds << quint8(images[i].width()) << quint8(images[i].height()) << quint8(0) << quint8(0) << quint16(1)
           << quint16(32) << quint32(blobs[i].size()) << offset;
        offset += quint32(blobs[i].size());
    }
    for (const QByteArray &b : blobs)
        ds.writeRawData(b.constData(), b.size());

    writeFile(path, out);
    QStringList sizes;
    for (const QImage &img : images)
        sizes << QStringLiteral("%1").arg(img.width());
    info(QStringLiteral("wrote %1 (sizes %2)").arg(path, sizes.join(QLatin1Char(','))));
}

// ---------------------------------------------------------------- fonts

QString fontFamily()
{
    const QStringList have = QFontDatabase::families();
    for (const char *wanted : kFontFamilies) {
        const QString name = QString::fromLatin1(wanted);
        for (const QString &f : have)
            if (f.compare(name, Qt::CaseInsensitive) == 0)
                return f;
    }
    fail(QStringLiteral("font \"WenQuanYi Micro Hei\" (or \"Noto Sans CJK SC\") is not installed;"
                        " apt-get install fonts-wqy-microhei"));
}

QFont textFont(qreal pixelSize, bool bold)
{
    QFont f;
    QStringList families;
    for (const char *name : kFontFamilies)
        families << QString::fromLatin1(name);
    f.setFamilies(families);
    f.setPixelSize(qRound(pixelSize));
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

void requireGlyphs(const QFont &font, const QString &text)
{
    const QFontMetricsF fm(font);
    for (const QChar c : text)
        if (!fm.inFont(c))
            fail(QStringLiteral("font %1 has no glyph for '%2'").arg(font.family(), QString(c)));
}

// ---------------------------------------------------------------- shapes

QImage transparentImage(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void smooth(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// A stacked database cylinder inside r. The bands between the tiers are cut
// out: painted with gapColor, or made transparent if gapColor is invalid.
void drawDatabase(QPainter &p, const QRectF &r, const QColor &body, const QColor &top, int tiers, qreal gap,
                  const QColor &gapColor, qreal ellipseRatio = 0.34)
{
    const qreal eh = r.width() * ellipseRatio;
    const QRectF topRect(r.left(), r.top(), r.width(), eh);
    const QRectF bottomRect(r.left(), r.bottom() - eh, r.width(), eh);

    QPainterPath shape;
    shape.moveTo(r.left(), r.top() + eh / 2);
    shape.lineTo(r.left(), r.bottom() - eh / 2);
    shape.arcTo(bottomRect, 180, 180);
    shape.lineTo(r.right(), r.top() + eh / 2);
    shape.arcTo(topRect, 0, 180);
    shape.closeSubpath();

    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawPath(shape);

    // separators: lower halves of ellipses, clipped to the body
    p.setClipPath(shape, Qt::IntersectClip);
    if (!gapColor.isValid())
        p.setCompositionMode(QPainter::CompositionMode_Clear);
    QPen gapPen(gapColor.isValid() ? gapColor : QColor(Qt::black), gap, Qt::SolidLine, Qt::FlatCap);
    p.setPen(gapPen);
    p.setBrush(Qt::NoBrush);
    const qreal y0 = r.top() + eh / 2;
    const qreal y1 = r.bottom() - eh / 2;
    for (int k = 1; k < tiers; ++k) {
        const qreal yb = y0 + (y1 - y0) * k / tiers + eh * 0.12;
        QPainterPath arc;
        const QRectF er(r.left() - gap, yb - eh / 2, r.width() + 2 * gap, eh);
        arc.arcMoveTo(er, 180);
        arc.arcTo(er, 180, 180);
        p.drawPath(arc);
    }
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setClipping(false);

    p.setPen(Qt::NoPen);
    p.setBrush(top);
    p.drawEllipse(topRect);
    p.restore();
}

// Gear outline (with its centre hole) centred at c.
QPainterPath gearPath(const QPointF &c, qreal outer, qreal inner, qreal hole, int teeth)
{
    const qreal period = 2 * M_PI / teeth;
    const qreal baseHalf = period * 0.27; // half width of a tooth at its foot
    const qreal tipHalf = period * 0.17;  // half width of a tooth at its tip
    auto at = [&](qreal radius, qreal angle) {
        return QPointF(c.x() + radius * std::cos(angle), c.y() + radius * std::sin(angle));
    };
    QPolygonF poly;
    for (int i = 0; i < teeth; ++i) {
        const qreal a = -M_PI / 2 + i * period;
        poly << at(inner, a - baseHalf) << at(outer, a - tipHalf) << at(outer, a + tipHalf)
             << at(inner, a + baseHalf);
        const qreal gapStart = a + baseHalf;
        const qreal gapEnd = a + period - baseHalf;
        for (int s = 1; s < 4; ++s)
            poly << at(inner, gapStart + (gapEnd - gapStart) * s / 4);
    }
    poly << poly.first();
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    path.addPolygon(poly);
    path.addEllipse(c, hole, hole);
    return path;
}

// Circular arrow: arc of radius R around c from startDeg sweeping sweepDeg
// (Qt angles: counter-clockwise, 0 = 3 o'clock), arrow head at the end.
void drawCircularArrow(QPainter &p, const QPointF &c, qreal R, qreal startDeg, qreal sweepDeg, qreal width,
                       const QColor &color)
{
    const qreal headLen = width * 2.0;
    const qreal headHalf = width * 1.45;
    // shorten the arc so that its round cap hides under the head
    const qreal trimDeg = qRadiansToDegrees((headLen * 0.55) / R) * (sweepDeg < 0 ? -1 : 1);

    QRectF box(c.x() - R, c.y() - R, 2 * R, 2 * R);
    QPainterPath arc;
    arc.arcMoveTo(box, startDeg);
    arc.arcTo(box, startDeg, sweepDeg - trimDeg);
    p.save();
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);

    const qreal endRad = qDegreesToRadians(startDeg + sweepDeg - trimDeg);
    const QPointF tip0(c.x() + R * std::cos(endRad), c.y() - R * std::sin(endRad));
    // direction of travel on screen
    const qreal sgn = sweepDeg < 0 ? -1 : 1;
    QPointF dir(-std::sin(endRad) * sgn, -std::cos(endRad) * sgn);
    const QPointF normal(-dir.y(), dir.x());
    const QPointF base = tip0 - dir * (headLen * 0.25);
    QPolygonF head;
    head << base + dir * headLen << base + normal * headHalf << base - normal * headHalf;
    p.setPen(QPen(color, width * 0.35, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(color);
    p.drawPolygon(head);
    p.restore();
}

void drawCross(QPainter &p, const QPointF &c, qreal size, qreal width, const QColor &color)
{
    p.save();
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    const qreal h = size / 2;
    p.drawLine(QPointF(c.x() - h, c.y() - h), QPointF(c.x() + h, c.y() + h));
    p.drawLine(QPointF(c.x() + h, c.y() - h), QPointF(c.x() - h, c.y() + h));
    p.restore();
}

// ---------------------------------------------------------------- skin

QImage drawMainBackground()
{
    const int W = 604, H = 416, band = 124;
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(kBody);
    QPainter p(&img);
    smooth(p);

    QLinearGradient g(0, 0, 0, band);
    g.setColorAt(0.0, kBlueTop);
    g.setColorAt(1.0, kBlueBottom);
    p.fillRect(QRect(0, 0, W, band), g);
    // a faint lighter line along the top edge and a soft shade under the band
    p.fillRect(QRect(0, 0, W, 1), QColor(120, 214, 255));
    QLinearGradient shade(0, band, 0, band + 6);
    shade.setColorAt(0.0, QColor(0, 60, 110, 28));
    shade.setColorAt(1.0, QColor(0, 60, 110, 0));
    p.fillRect(QRect(0, band, W, 6), shade);

    // window border around the body
    p.setPen(QPen(kBorder, 1));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(0.5, band), QPointF(0.5, H - 0.5));
    p.drawLine(QPointF(W - 0.5, band), QPointF(W - 0.5, H - 0.5));
    p.drawLine(QPointF(0.5, H - 0.5), QPointF(W - 0.5, H - 0.5));

    // close cross, 10x10 around (588, 13)
    drawCross(p, QPointF(588, 13), 10, 1.6, Qt::white);

    const qreal cy = 224;
    // (1) database
    drawDatabase(p, QRectF(124 - 31, cy - 38, 62, 76), kBlue, kBlueLight, 3, 4, kBody);

    // (2) gear
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawPath(gearPath(QPointF(303, cy), 39, 30, 12.5, 9));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBlueLight, 3.5));
    p.drawEllipse(QPointF(303, cy), 19.5, 19.5);

    // (3) database with a circular arrow (restore)
    drawDatabase(p, QRectF(488 - 20, cy - 24, 40, 48), kBlue, kBlueLight, 3, 3, kBody);
    drawCircularArrow(p, QPointF(488, cy), 37, 150, 300, 5.5, kTeal);

    return img;
}

QImage drawCloseHighlight()
{
    QImage img(17, 17, QImage::Format_RGB32);
    img.fill(kRed);
    QPainter p(&img);
    smooth(p);
    drawCross(p, QPointF(8.5, 8.5), 9, 1.6, Qt::white);
    return img;
}

QImage drawSettingBackground()
{
    const int W = 547, H = 416, strip = 25;
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(QColor(250, 252, 254));
    QPainter p(&img);
    smooth(p);
    QLinearGradient g(0, 0, 0, strip);
    g.setColorAt(0.0, kBlueTop);
    g.setColorAt(1.0, kBlueBottom);
    p.fillRect(QRect(0, 0, W, strip), g);
    p.fillRect(QRect(0, 0, W, 1), QColor(120, 214, 255));

    p.setPen(QPen(kBorder, 1));
    p.drawLine(QPointF(0.5, strip), QPointF(0.5, H - 0.5));
    p.drawLine(QPointF(W - 0.5, strip), QPointF(W - 0.5, H - 0.5));
    p.drawLine(QPointF(0.5, H - 0.5), QPointF(W - 0.5, H - 0.5));

    drawCross(p, QPointF(533, 12.5), 9, 1.6, Qt::white);
    return img;
}

QImage drawMessage(const QString &text)
{
    const int W = 251, H = 51;
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(kRed);
    QPainter p(&img);
    smooth(p);
    p.setPen(QPen(QColor(196, 50, 50), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, W - 1, H - 1));

    const QFont f = textFont(17, true);
    requireGlyphs(f, text);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0, W, H), Qt::AlignCenter, text);
    return img;
}

// ---------------------------------------------------------------- tray icons

// Database with a round status badge at the lower right; transparent cut-outs
// keep the shapes apart on any panel colour.
QImage drawTrayIcon(int s, bool running)
{
    QImage img = transparentImage(s, s);
    QPainter p(&img);
    smooth(p);

    const qreal unit = s / 16.0;
    // whole pixels for the outline keeps the small sizes crisp
    const QRectF cyl(qRound(s * 0.06), 0, qRound(s * 0.68), qRound(s * 0.88));
    const QColor body = running ? kBlue : kGreyBody;
    const QColor top = running ? kBlueLight : kGreyTop;
    drawDatabase(p, cyl, body, top, 3, qMax(1.2, unit * 1.0), QColor(), 0.36);

    const QPointF bc(s * 0.70, s * 0.70);
    const qreal br = s * 0.29;
    p.setPen(Qt::NoPen);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setBrush(Qt::black);
    p.drawEllipse(bc, br + qMax(1.0, unit), br + qMax(1.0, unit));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setBrush(running ? kGreen : kRed);
    p.drawEllipse(bc, br, br);

    p.setBrush(Qt::white);
    if (running) {
        const qreal h = br * 1.0;
        QPolygonF tri;
        tri << QPointF(bc.x() - h * 0.42, bc.y() - h * 0.55) << QPointF(bc.x() + h * 0.60, bc.y())
            << QPointF(bc.x() - h * 0.42, bc.y() + h * 0.55);
        p.drawPolygon(tri);
    } else {
        const qreal h = br * 0.46;
        p.drawRect(QRectF(bc.x() - h, bc.y() - h, 2 * h, 2 * h));
    }
    return img;
}

// The running database with a red warning triangle: no good backup for too long.
QImage drawAlarmTrayIcon(int s)
{
    QImage img = transparentImage(s, s);
    QPainter p(&img);
    smooth(p);

    const qreal unit = s / 16.0;
    const QRectF cyl(qRound(s * 0.06), 0, qRound(s * 0.68), qRound(s * 0.88));
    drawDatabase(p, cyl, kBlue, kBlueLight, 3, qMax(1.2, unit * 1.0), QColor(), 0.36);

    QPolygonF tri;
    tri << QPointF(s * 0.70, s * 0.36) << QPointF(s * 1.0, s * 0.98) << QPointF(s * 0.40, s * 0.98);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(QPen(Qt::black, qMax(2.0, unit * 2.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::black);
    p.drawPolygon(tri);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(Qt::NoPen);
    p.setBrush(kRed);
    p.drawPolygon(tri);

    p.setBrush(Qt::white);
    const qreal w = qMax(1.0, s * 0.07);
    p.drawRect(QRectF(s * 0.70 - w / 2, s * 0.55, w, s * 0.22));
    p.drawRect(QRectF(s * 0.70 - w / 2, s * 0.83, w, w));
    return img;
}

// ---------------------------------------------------------------- menu

// The menu pictures are designed on a 16x16 grid and scaled for @2x.
QImage drawMenuIcon(int number, int s)
{
    QImage img = transparentImage(s, s);
    QPainter p(&img);
    smooth(p);
    p.scale(s / 16.0, s / 16.0);

    switch (number) {
    case 2: { // show the main window: a small window with a blue title bar
        p.setPen(QPen(kSlate, 1));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 1.5, 1.5);
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawRect(QRectF(2, 3, 12, 3));
        p.setBrush(QColor(190, 205, 218));
        p.drawRect(QRectF(4, 8, 8, 1));
        p.drawRect(QRectF(4, 10, 5, 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(11.5, 4, 1, 1));
        break;
    }
    case 5: { // start: green play triangle
        QPolygonF tri;
        tri << QPointF(4.2, 2.8) << QPointF(13.2, 8) << QPointF(4.2, 13.2);
        p.setPen(QPen(kGreen, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(kGreen);
        p.drawPolygon(tri);
        break;
    }
    case 6: { // stop: red square
        p.setPen(Qt::NoPen);
        p.setBrush(kRed);
        p.drawRoundedRect(QRectF(3, 3, 10, 10), 1.6, 1.6);
        break;
    }
    case 7: { // exit: red power symbol
        p.setPen(QPen(kRed, 1.8, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        const QRectF box(2.6, 3.4, 10.8, 10.8);
        QPainterPath arc;
        arc.arcMoveTo(box, 55);
        arc.arcTo(box, 55, -290);
        p.drawPath(arc);
        p.drawLine(QPointF(8, 1.6), QPointF(8, 8));
        break;
    }
    case 8: { // settings: gear
        p.setPen(Qt::NoPen);
        p.setBrush(kSlate);
        p.drawPath(gearPath(QPointF(8, 8), 7.3, 5.4, 2.2, 8));
        break;
    }
    default:
        fail(QStringLiteral("unknown menu picture %1").arg(number));
    }
    return img;
}

const int kMenuNumbers[] = {2, 5, 6, 7, 8};

// ---------------------------------------------------------------- app icon

QImage drawAppIcon(int s)
{
    QImage img = transparentImage(s, s);
    QPainter p(&img);
    smooth(p);
    p.scale(s / 64.0, s / 64.0);

    // rounded tile
    const QRectF tile(2, 2, 60, 60);
    QLinearGradient g(0, 2, 0, 62);
    g.setColorAt(0.0, kBlueTop);
    g.setColorAt(1.0, QColor(8, 140, 222));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(tile, 13, 13);

    // white database, bands cut out so the tile shows through
    QImage layer = transparentImage(s, s);
    {
        QPainter lp(&layer);
        smooth(lp);
        lp.scale(s / 64.0, s / 64.0);
        drawDatabase(lp, QRectF(13, 10, 30, 40), Qt::white, QColor(200, 236, 255), 3, 2.4, QColor());

        // price tag, tilted, with a cut-out outline and a hole
        lp.translate(44, 42);
        lp.rotate(-45);
        const qreal tw = 15, th = 22;
        QPolygonF tag;
        tag << QPointF(0, -th / 2) << QPointF(tw / 2, -th / 2 + tw / 2) << QPointF(tw / 2, th / 2)
            << QPointF(-tw / 2, th / 2) << QPointF(-tw / 2, -th / 2 + tw / 2);
        lp.setCompositionMode(QPainter::CompositionMode_Clear);
        lp.setPen(QPen(Qt::black, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        lp.setBrush(Qt::black);
        lp.drawPolygon(tag);
        lp.setCompositionMode(QPainter::CompositionMode_SourceOver);
        lp.setPen(QPen(kOrange, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        lp.setBrush(kOrange);
        lp.drawPolygon(tag);
        lp.setCompositionMode(QPainter::CompositionMode_Clear);
        lp.setPen(Qt::NoPen);
        lp.drawEllipse(QPointF(0, -th / 2 + tw * 0.42), 2.3, 2.3);
    }
    // Everything cleared in the layer lets the tile show through.
    p.resetTransform();
    p.drawImage(0, 0, layer);
    return img;
}

// ---------------------------------------------------------------- modes

QString menuQrc()
{
    QString qrc = QStringLiteral("<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/menu\">\n");
    for (int n : kMenuNumbers) {
        qrc += QStringLiteral("    <file alias=\"%1.png\">%1.png</file>\n").arg(n);
        qrc += QStringLiteral("    <file alias=\"%1@2x.png\">%1@2x.png</file>\n").arg(n);
    }
    qrc += QStringLiteral("  </qresource>\n</RCC>\n");
    return qrc;
}

int drawAll(const QString &outDir)
{
    const QString family = fontFamily();
    info(QStringLiteral("text font: %1").arg(family));

    const QString prog = outDir + QStringLiteral("/programfolder");
    const QString skin = prog + QStringLiteral("/skin");
    const QString menu = outDir + QStringLiteral("/menu");
    const QString app = outDir + QStringLiteral("/app");
    makeDir(skin);
    makeDir(menu);
    makeDir(app);

    saveJpeg(drawMainBackground(), skin + QStringLiteral("/bg.jpg"));
    saveJpeg(drawCloseHighlight(), skin + QStringLiteral("/close.jpg"));
    saveJpeg(drawSettingBackground(), skin + QStringLiteral("/setting_bg.jpg"));
    saveJpeg(drawMessage(QStringLiteral("服务器启动中，请销等")), skin + QStringLiteral("/startmsg.jpg"));
    saveJpeg(drawMessage(QStringLiteral("整理优化数据库，请销等")), skin + QStringLiteral("/dbunload.jpg"));

    for (bool running : {true, false}) {
        QList<QImage> sizes;
        for (int s : {16, 24, 32, 48})
            sizes << drawTrayIcon(s, running);
        saveIco(sizes,
                prog + (running ? QStringLiteral("/serverstart.ico") : QStringLiteral("/serverstop.ico")));
    }

    {
        QList<QImage> sizes;
        for (int s : {16, 24, 32, 48})
            sizes << drawAlarmTrayIcon(s);
        saveIco(sizes, app + QStringLiteral("/serveralarm.ico"));
    }

    for (int n : kMenuNumbers) {
        savePng(drawMenuIcon(n, 16), menu + QStringLiteral("/%1.png").arg(n));
        savePng(drawMenuIcon(n, 32), menu + QStringLiteral("/%1@2x.png").arg(n));
    }
    writeFile(menu + QStringLiteral("/server.qrc"), menuQrc().toUtf8());
    info(QStringLiteral("wrote %1/server.qrc").arg(menu));

    savePng(drawAppIcon(64), app + QStringLiteral("/garvinaserver.png"));
    savePng(drawAppIcon(256), app + QStringLiteral("/garvinaserver-256.png"));
    return 0;
}

int problems = 0;

void problem(const QString &msg)
{
    std::fprintf(stderr, "check: %s\n", qPrintable(msg));
    ++problems;
}

QImage expectImage(const QString &path, const QByteArray &format, QSize size)
{
    QImageReader r(path);
    if (r.format() != format) {
        problem(QStringLiteral("%1: format '%2', expected '%3'")
                    .arg(path, QString::fromLatin1(r.format()), QString::fromLatin1(format)));
        return {};
    }
    const QImage img = r.read();
    if (img.isNull()) {
        problem(QStringLiteral("%1: cannot read: %2").arg(path, r.errorString()));
        return {};
    }
    if (img.size() != size)
        problem(QStringLiteral("%1: size %2x%3, expected %4x%5")
                    .arg(path)
                    .arg(img.width())
                    .arg(img.height())
                    .arg(size.width())
                    .arg(size.height()));
    else
        info(QStringLiteral("ok %1 %2x%3").arg(path).arg(img.width()).arg(img.height()));
    return img;
}

// A drawn picture must not be a single flat colour.
void expectDrawn(const QImage &img, const QString &what)
{
    if (img.isNull())
        return;
    const QImage a = img.convertToFormat(QImage::Format_ARGB32);
    const QRgb first = a.pixel(0, 0);
    int opaque = 0;
    bool varied = false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb px = a.pixel(x, y);
            varied = varied || px != first;
            opaque += qAlpha(px) > 128;
        }
    if (!varied || opaque == 0)
        problem(QStringLiteral("%1 looks empty").arg(what));
}

int checkAll(const QString &outDir)
{
    const QString prog = outDir + QStringLiteral("/programfolder");
    const QString skin = prog + QStringLiteral("/skin");
    struct Jpeg
    {
        const char *name;
        QSize size;
    };
    const Jpeg jpegs[] = {{"bg.jpg", {604, 416}},
                          {"close.jpg", {17, 17}},
                          {"setting_bg.jpg", {547, 416}},
                          {"startmsg.jpg", {251, 51}},
                          {"dbunload.jpg", {251, 51}}};
    for (const Jpeg &j : jpegs) {
        const QString path = skin + QLatin1Char('/') + QString::fromLatin1(j.name);
        expectDrawn(expectImage(path, "jpeg", j.size), path);
    }

    for (const char *name : {"serverstart.ico", "serverstop.ico"}) {
        const QString path = prog + QLatin1Char('/') + QString::fromLatin1(name);
        QImageReader r(path, "ico");
        const QList<int> want{16, 24, 32, 48};
        if (r.imageCount() != want.size()) {
            problem(
                QStringLiteral("%1: %2 images, expected %3").arg(path).arg(r.imageCount()).arg(want.size()));
            continue;
        }
        for (int i = 0; i < want.size(); ++i) {
            if (!r.jumpToImage(i)) {
                problem(QStringLiteral("%1: cannot select image %2").arg(path).arg(i));
                break;
            }
            const QImage img = r.read();
            if (img.size() != QSize(want[i], want[i]) || !img.hasAlphaChannel())
                problem(QStringLiteral("%1: image %2 is %3x%4 (alpha %5)")
                            .arg(path)
                            .arg(i)
                            .arg(img.width())
                            .arg(img.height())
                            .arg(img.hasAlphaChannel()));
            else
                expectDrawn(img, QStringLiteral("%1 #%2").arg(path).arg(i));
        }
        info(QStringLiteral("ok %1 (%2 images)").arg(path).arg(r.imageCount()));
    }

    const QString dll = prog + QStringLiteral("/server.dll");
    if (!QResource::registerResource(dll)) {
        problem(QStringLiteral("%1: not a loadable binary resource").arg(dll));
    } else {
        for (int n : kMenuNumbers) {
            const QString p1 = QStringLiteral(":/menu/%1.png").arg(n);
            const QString p2 = QStringLiteral(":/menu/%1@2x.png").arg(n);
            expectDrawn(expectImage(p1, "png", {16, 16}), p1);
            expectDrawn(expectImage(p2, "png", {32, 32}), p2);
        }
        QResource::unregisterResource(dll);
    }

    const QString app = outDir + QStringLiteral("/app");
    expectDrawn(expectImage(app + QStringLiteral("/garvinaserver.png"), "png", {64, 64}),
                QStringLiteral("app icon"));
    expectDrawn(expectImage(app + QStringLiteral("/garvinaserver-256.png"), "png", {256, 256}),
                QStringLiteral("app icon 256"));

    if (problems) {
        std::fprintf(stderr, "check: %d problem(s)\n", problems);
        return 1;
    }
    info(QStringLiteral("all pictures verified"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication guiApp(argc, argv);

    const QStringList args = QGuiApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("draw"))
        return drawAll(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("check"))
        return checkAll(args[2]);
    std::fprintf(stderr, "usage: drawpictures draw|check OUTDIR\n");
    return 2;
}
