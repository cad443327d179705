// Small icons drawn as vectors on a 16-unit grid, sharp at any scale: the pickers and the
// Connections window share them.
#pragma once

#include <QColor>
#include <QRect>
#include <optional>

#include "Kv.Connectors.h"

class QPainter;

namespace kv {

enum TKvIcon { icDrive, icFolder, icTerminal, icGear, icPlus, icGlobe };

// The largest square that fits ARect, centred in it.
QRect IconSquare(const QRect& ARect);
// A grid value (0..16) as a pixel offset in a square of side ASide.
int IconGrid(int ASide, double AValue);

// Nothing is drawn in a square smaller than 4 pixels. The badge (folder, terminal and globe
// only) is a small disc at the lower right.
void DrawIcon(QPainter& APainter, const QRect& ARect, TKvIcon AIcon,
              std::optional<QColor> ABadge = std::nullopt);
// Terminal for SSH and Telnet, globe for WebDAV, folder for the others, with a badge by kind.
void DrawConnectorIcon(QPainter& APainter, const QRect& ARect, TKvConnectorKind AKind);

} // namespace kv
