#pragma once

class QApplication;

// What every process showing the window sets up once: the style, and a small pixmap
// cache. The style caches a picture per button look, and the blinking auto-write button
// keeps making new looks; the default 10 MB cache would make memory climb for a few
// hundred tags before it levels off.
void setUpApplication(QApplication &app);
