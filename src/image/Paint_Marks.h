#pragma once
// Drawing a star's marks into the display bitmap: white circles one pixel wide, outlines
// only, and the star's name in 24-point type of the given colour, transparent behind.

#include "image/Overlay.h"

#include <QColor>
#include <QString>

class QImage;

void Paint_Mark(QImage& Bitmap, const TMark_Geometry& Mark, const QString& Label, const QColor& Label_Colour);

// The label colours: green (0, 128, 0) for the variable, yellow for the comparison star.
QColor Object_Label_Colour();
QColor Reference_Label_Colour();
// Cyan for the check star, apart from both.
QColor Check_Label_Colour();
