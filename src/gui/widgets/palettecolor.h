#pragma once

#include "gui/widgets/palette.h"

#include <QColor>

namespace Palette {

inline QColor toColor(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

} // namespace Palette
