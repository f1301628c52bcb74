#pragma once

#include <QIcon>
#include <QImage>

namespace lumavane {

// The application's icon: the SVG and PNG sizes under resources/AppIcon, and the images the
// interface shows resized from the 1024-pixel master.
namespace LumavaneBrandAssets {

// The window and taskbar icon; empty when the resources are missing.
QIcon applicationIcon();
// "AppIcon-1024.png"; when missing, the application's current window icon at 1024 pixels.
QImage masterIcon();
// The master drawn at 2 x pointSize pixels with smooth scaling, device pixel ratio 2.
QImage resizedIcon(double pointSize);
QImage sidebarIcon(); // 44 points
QImage aboutIcon();   // 176 points

} // namespace LumavaneBrandAssets
} // namespace lumavane
