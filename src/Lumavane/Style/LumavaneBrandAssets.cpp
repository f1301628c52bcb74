#include "Lumavane/Style/LumavaneBrandAssets.hpp"

#include "Platform/Foundation/Resources.hpp"

#include <QDir>
#include <QGuiApplication>

namespace lumavane::LumavaneBrandAssets {
namespace {

QString iconFolder() { return QString::fromStdString((resourcesDirectory() / "AppIcon").string()); }

} // namespace

QIcon applicationIcon() {
    static const QIcon icon = [] {
        QIcon made;
        const QDir folder(iconFolder());
        if (folder.exists("lumavane.svg")) made.addFile(folder.filePath("lumavane.svg"));
        for (int side : {16, 24, 32, 48, 64, 128, 256, 512}) {
            const QString file = QString("hicolor/%1x%1/apps/lumavane.png").arg(side);
            if (folder.exists(file)) made.addFile(folder.filePath(file), QSize(side, side));
        }
        return made;
    }();
    return icon;
}

QImage masterIcon() {
    static const QImage master = [] {
        QImage image(QDir(iconFolder()).filePath("AppIcon-1024.png"));
        if (image.isNull()) image = QGuiApplication::windowIcon().pixmap(1024, 1024).toImage();
        return image;
    }();
    return master;
}

QImage resizedIcon(double pointSize) {
    const QImage master = masterIcon();
    const int side = int(2 * pointSize);
    if (master.isNull() || side <= 0) return master;
    QImage image = master.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                       .scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(2.0);
    return image;
}

QImage sidebarIcon() {
    static const QImage image = resizedIcon(44);
    return image;
}

QImage aboutIcon() {
    static const QImage image = resizedIcon(176);
    return image;
}

} // namespace lumavane::LumavaneBrandAssets
