#include "Kv.Ui.Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <numbers>

namespace kv {

QRect IconSquare(const QRect& ARect) {
    const int side = std::min(ARect.width(), ARect.height());
    return QRect(ARect.left() + (ARect.width() - side) / 2,
                 ARect.top() + (ARect.height() - side) / 2, side, side);
}

int IconGrid(int ASide, double AValue) {
    return static_cast<int>(std::lround(ASide * AValue / 16.0));
}

namespace {

class TGrid {
public:
    TGrid(QPainter& APainter, const QRect& ASquare) : FPainter(APainter), FSquare(ASquare) {}

    int X(double AValue) const { return FSquare.left() + IconGrid(FSquare.width(), AValue); }
    int Y(double AValue) const { return FSquare.top() + IconGrid(FSquare.width(), AValue); }
    QPoint P(double AX, double AY) const { return QPoint(X(AX), Y(AY)); }
    QRect R(double ALeft, double ATop, double ARight, double ABottom) const {
        return QRect(QPoint(X(ALeft), Y(ATop)), QPoint(X(ARight) - 1, Y(ABottom) - 1));
    }

    void Pen(QColor AColor, double AWidth = 0) {
        int width = std::max(1, IconGrid(FSquare.width(), AWidth));
        FPainter.setPen(
            QPen(AColor, AWidth > 0 ? width : 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }
    void Brush(QColor AColor) { FPainter.setBrush(AColor); }
    void NoBrush() { FPainter.setBrush(Qt::NoBrush); }

    QPainter& Painter() { return FPainter; }

private:
    QPainter& FPainter;
    QRect FSquare;
};

QColor Hex(const char* AText) {
    return QColor(AText);
}

} // namespace

void DrawIcon(QPainter& APainter, const QRect& ARect, TKvIcon AIcon, std::optional<QColor> ABadge) {
    const QRect square = IconSquare(ARect);
    if (square.width() < 4)
        return;
    APainter.save();
    APainter.setRenderHint(QPainter::Antialiasing, true);
    TGrid g(APainter, square);
    switch (AIcon) {
    case icDrive:
        g.Pen(Hex("#404040"));
        g.Brush(Hex("#c8c8c8"));
        APainter.drawRect(g.R(1, 5, 15, 12));
        APainter.setPen(Qt::NoPen);
        g.Brush(Hex("#e8e8e8"));
        APainter.drawRect(g.R(2, 6, 14, 7.5));
        g.Brush(Hex("#00c000"));
        APainter.drawRect(g.R(11, 9, 13, 10.5));
        break;
    case icFolder:
        g.Pen(Hex("#804000"));
        g.Brush(Hex("#f0c840"));
        APainter.drawRect(g.R(1, 3, 7, 6));
        APainter.drawRect(g.R(1, 5, 15, 13));
        break;
    case icTerminal:
        g.Pen(Hex("#a0a0a0"));
        g.Brush(Hex("#000000"));
        APainter.drawRect(g.R(1, 2, 15, 14));
        g.Pen(Hex("#00ff00"), 1.3);
        g.NoBrush();
        APainter.drawPolyline(QPolygon({g.P(3.5, 5.5), g.P(6.5, 8), g.P(3.5, 10.5)}));
        APainter.drawLine(g.P(8, 11), g.P(12, 11));
        break;
    case icGear: {
        g.Pen(Hex("#c0c0c0"), 2);
        const QPoint centre = g.P(8, 8);
        const double side = square.width();
        for (int k = 0; k < 8; ++k) {
            const double angle = k * std::numbers::pi / 4;
            auto at = [&](double ARadius) {
                return QPointF(centre.x() + std::cos(angle) * side * ARadius / 16,
                               centre.y() + std::sin(angle) * side * ARadius / 16);
            };
            APainter.drawLine(at(4.5), at(7));
        }
        g.Pen(Hex("#404040"));
        g.Brush(Hex("#c0c0c0"));
        APainter.drawEllipse(g.R(3.5, 3.5, 12.5, 12.5));
        g.Brush(Hex("#404040"));
        APainter.drawEllipse(g.R(6, 6, 10, 10));
        break;
    }
    case icPlus:
        g.Pen(Hex("#40e040"), 3);
        APainter.drawLine(g.P(8, 2.5), g.P(8, 13.5));
        APainter.drawLine(g.P(2.5, 8), g.P(13.5, 8));
        break;
    case icGlobe:
        g.Pen(Hex("#004080"));
        g.Brush(Hex("#60c0f0"));
        APainter.drawEllipse(g.R(1, 1, 15, 15));
        g.NoBrush();
        APainter.drawEllipse(g.R(5, 1, 11, 15));
        APainter.drawLine(g.P(8, 1), g.P(8, 15));
        APainter.drawLine(g.P(1, 8), g.P(15, 8));
        APainter.drawLine(g.P(2.5, 4.5), g.P(13.5, 4.5));
        APainter.drawLine(g.P(2.5, 11.5), g.P(13.5, 11.5));
        break;
    }
    if (ABadge && (AIcon == icFolder || AIcon == icTerminal || AIcon == icGlobe)) {
        g.Pen(Qt::white);
        g.Brush(*ABadge);
        APainter.drawEllipse(g.R(8.5, 8, 15.5, 15.5));
    }
    APainter.restore();
}

void DrawConnectorIcon(QPainter& APainter, const QRect& ARect, TKvConnectorKind AKind) {
    TKvIcon icon = IsTerminalKind(AKind) ? icTerminal : IsWebDavKind(AKind) ? icGlobe : icFolder;
    QColor badge;
    switch (AKind) {
    case ckSsh:
    case ckSftp:
        badge = Hex("#00a000");
        break;
    case ckTelnet:
    case ckFtp:
        badge = Hex("#ff8000");
        break;
    default:
        badge = Hex("#0080a0");
        break;
    }
    DrawIcon(APainter, ARect, icon, badge);
}

} // namespace kv
