#pragma once
// The program's own icons and row glyphs, by resource name ("BUTTON_HELP", "IMAGE_GO", ...).
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace ostrel::vessolt {

// A null pixmap for a name the program does not have.
[[nodiscard]] QPixmap resourcePixmap(const QString& name, int size = 16);
[[nodiscard]] QIcon resourceIcon(const QString& name);

} // namespace ostrel::vessolt
