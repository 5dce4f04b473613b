#include "image/Paint_Marks.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPen>

void Paint_Mark(QImage& Bitmap, const TMark_Geometry& Mark, const QString& Label,
                const QColor& Label_Colour) {
  if (Bitmap.isNull())
    return;
  QPainter Painter(&Bitmap);
  Painter.setPen(QPen(QColor(255, 255, 255), 1, Qt::SolidLine));
  Painter.setBrush(Qt::NoBrush);
  for (int k = 0; k < Mark.Circles; ++k) {
    const int R = Mark.Radii[k];
    // The ellipse inscribed in the square from centre - R to centre + R, right and bottom
    // edges excluded.
    Painter.drawEllipse(QRectF(Mark.Centre_X - R, Mark.Centre_Y - R, 2.0 * R - 1.0, 2.0 * R - 1.0));
  }
  if (Label.isEmpty())
    return;
  // The family is asked for by name; font matching substitutes the nearest face there is.
  QFont Font(QStringLiteral("Aerial"));
  Font.setPointSize(24);
  Painter.setFont(Font);
  Painter.setPen(Label_Colour);
  // Text is placed by its baseline: the label's top edge goes to Label_Y.
  Painter.drawText(QPointF(Mark.Label_X, static_cast<double>(Mark.Label_Y) + QFontMetricsF(Font).ascent()),
                   Label);
}

QColor Object_Label_Colour() {
  return QColor(0, 128, 0);
}
QColor Reference_Label_Colour() {
  return QColor(255, 255, 0);
}
QColor Check_Label_Colour() {
  return QColor(0, 255, 255);
}
