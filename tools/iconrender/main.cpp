// Writes the program's icon as PNG files for the desktop's icon theme, one per
// size the window carries, drawn by the same code the window uses.
//
//   dovetrail_iconrender OUTDIR NAME
// writes OUTDIR/<S>x<S>/apps/NAME.png for every size S. Runs without a display.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <cstdio>

#include "shell/program_icon.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR NAME\n", argc > 0 ? argv[0] : "dovetrail_iconrender");
    return 2;
  }
  // Pixmaps need a GUI application; the offscreen platform needs no display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int appArgc = 1;
  QGuiApplication app(appArgc, argv);
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  const QString name = QString::fromLocal8Bit(argv[2]);

  const QIcon icon = dt::shell::ProgramIcon();
  for (int size : dt::shell::kIconSizes) {
    const QImage image =
        icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
    // A theme directory promises exactly its size; anything else is a fault.
    if (image.size() != QSize(size, size)) {
      std::fprintf(stderr, "icon drawn at %dx%d instead of %d\n", image.width(), image.height(),
                   size);
      return 1;
    }
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
    const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!QDir().mkpath(folder) || !image.save(file, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
