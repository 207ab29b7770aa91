#include "appsetup.h"

#include <QApplication>
#include <QPixmapCache>
#include <QStyleFactory>

void setUpApplication(QApplication &app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPixmapCache::setCacheLimit(1024);
}
