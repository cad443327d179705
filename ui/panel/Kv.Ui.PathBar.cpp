#include "Kv.Ui.PathBar.h"

#include <QMouseEvent>
#include <QPainter>

namespace kv {

namespace {

// Left margin of the first item, and the room kept free at the right.
constexpr int KLeft = 8;
constexpr int KSpare = 16;

std::vector<std::string> SplitKeepEmpty(const std::string& AText, char ASeparator) {
    std::vector<std::string> result;
    size_t start = 0;
    for (;;) {
        size_t at = AText.find(ASeparator, start);
        if (at == std::string::npos) {
            result.push_back(AText.substr(start));
            return result;
        }
        result.push_back(AText.substr(start, at - start));
        start = at + 1;
    }
}

int Width(const TKvTextWidth& AMeasure, const std::string& AText) {
    return AMeasure(QString::fromStdString(AText));
}

// The root of "/" with no prefix already shows the separator; no second one follows it.
std::string SeparatorAfterRoot(const TKvPathParts& AParts) {
    const std::string& root = AParts.Parts.front().Text;
    bool endsWithSeparator = root.size() >= AParts.Separator.size() &&
                             root.compare(root.size() - AParts.Separator.size(), std::string::npos,
                                          AParts.Separator) == 0;
    return endsWithSeparator ? std::string() : AParts.Separator;
}

} // namespace

TKvPathParts PathBarParts(const std::string& APath, const std::string& APrefix) {
    TKvPathParts result;
    bool slashPath = !APath.empty() && APath[0] == '/';
    result.Separator = slashPath ? "/" : "\\";
    if (APath.empty())
        return result;
    if (slashPath) {
        result.Parts.push_back({APrefix.empty() ? std::string("/") : APrefix, "/"});
        std::string target;
        for (const auto& element : SplitKeepEmpty(APath.substr(1), '/')) {
            if (element.empty())
                continue;
            target += "/" + element;
            result.Parts.push_back({element, target});
        }
        return result;
    }

    std::string rootText;
    std::vector<std::string> elements;
    size_t first = 0;
    if (APath.size() >= 2 && APath[0] == '\\' && APath[1] == '\\') {
        elements = SplitKeepEmpty(APath.substr(2), '\\');
        if (elements.size() < 2) {
            result.Parts.push_back({APath, ""});
            return result;
        }
        rootText = "\\\\" + elements[0] + "\\" + elements[1];
        first = 2;
    } else if (APath.size() >= 2 && APath[1] == ':') {
        rootText = APath.substr(0, 2);
        elements = SplitKeepEmpty(APath.substr(2), '\\');
    } else {
        // Relative or unknown: shown as it is, not clickable.
        result.Parts.push_back({APath, ""});
        return result;
    }
    std::string rootTarget = rootText == APath ? std::string() : rootText + result.Separator;
    result.Parts.push_back({rootText, rootTarget});
    std::string running = rootTarget;
    for (size_t i = first; i < elements.size(); ++i) {
        if (elements[i].empty())
            continue;
        std::string target = running + elements[i];
        result.Parts.push_back({elements[i], target});
        running = target + result.Separator;
    }
    return result;
}

std::vector<TKvPathItem> PathBarLayout(const TKvPathParts& AParts, int AWidth,
                                       const TKvTextWidth& AMeasure) {
    std::vector<TKvPathItem> items;
    if (AParts.Parts.empty())
        return items;
    const auto& parts = AParts.Parts;
    const std::string& sep = AParts.Separator;
    const std::string rootSep = SeparatorAfterRoot(AParts);
    const int n = static_cast<int>(parts.size()) - 1;

    auto fits = [&](int k) {
        std::string text = parts[0].Text + rootSep;
        if (k > 1)
            text += "..." + sep;
        for (int i = k; i <= n; ++i) {
            if (i > k)
                text += sep;
            text += parts[i].Text;
        }
        return Width(AMeasure, text) <= AWidth - KSpare;
    };
    int k = n;
    for (int candidate = 1; candidate <= n - 1; ++candidate) {
        if (fits(candidate)) {
            k = candidate;
            break;
        }
    }

    auto add = [&](const std::string& AText, const std::string& ATarget) {
        if (!AText.empty() || !ATarget.empty())
            items.push_back({AText, ATarget, 0, 0});
    };
    add(parts[0].Text, parts[0].Target);
    if (n > 0) {
        add(rootSep, "");
        if (k > 1) {
            add("...", "");
            add(sep, "");
        }
        for (int i = k; i <= n; ++i) {
            if (i > k)
                add(sep, "");
            add(parts[i].Text, parts[i].Target);
        }
    } else if (!parts[0].Target.empty()) {
        add(rootSep, "");
    }

    int x = KLeft;
    for (auto& item : items) {
        item.X1 = x;
        item.X2 = x + Width(AMeasure, item.Text);
        x = item.X2;
    }
    return items;
}

int PathBarHit(const std::vector<TKvPathItem>& AItems, int AX) {
    for (size_t i = 0; i < AItems.size(); ++i)
        if (!AItems[i].Target.empty() && AX >= AItems[i].X1 && AX < AItems[i].X2)
            return static_cast<int>(i);
    return -1;
}

TKvPathBar::TKvPathBar(QWidget* AParent) : QWidget(AParent) {
    setMouseTracking(true);
}

void TKvPathBar::SetPath(const std::string& APath) {
    if (APath == FPath)
        return;
    FPath = APath;
    FHot = -1;
    update();
}

void TKvPathBar::SetPrefix(const std::string& APrefix) {
    if (APrefix == FPrefix)
        return;
    FPrefix = APrefix;
    FHot = -1;
    update();
}

const std::vector<TKvPathItem>& TKvPathBar::Items() {
    QFontMetrics metrics = fontMetrics();
    FItems = PathBarLayout(PathBarParts(FPath, FPrefix), width(), [&metrics](const QString& AText) {
        return metrics.horizontalAdvance(AText);
    });
    return FItems;
}

void TKvPathBar::SetHot(int AHot) {
    if (AHot == FHot)
        return;
    FHot = AHot;
    setCursor(AHot >= 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
    update();
}

void TKvPathBar::paintEvent(QPaintEvent*) {
    const auto& items = Items();
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    QFontMetrics metrics = fontMetrics();
    int textHeight = metrics.height();
    int top = (height() - textHeight) / 2;
    painter.setPen(palette().color(QPalette::WindowText));
    for (size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        painter.drawText(QRect(item.X1, top, item.X2 - item.X1 + 1, textHeight),
                         Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(item.Text));
        if (static_cast<int>(i) == FHot && !item.Target.empty())
            painter.drawLine(item.X1, top + textHeight, item.X2, top + textHeight);
    }
}

void TKvPathBar::mouseMoveEvent(QMouseEvent* AEvent) {
    SetHot(PathBarHit(Items(), AEvent->position().toPoint().x()));
}

void TKvPathBar::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton)
        FDown = PathBarHit(Items(), AEvent->position().toPoint().x());
}

void TKvPathBar::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton)
        return;
    int down = FDown;
    FDown = -1;
    const auto& items = Items();
    int up = PathBarHit(items, AEvent->position().toPoint().x());
    if (down < 0 || up != down || !rect().contains(AEvent->position().toPoint()))
        return;
    std::string target = items[up].Target;
    if (OnNavigate)
        OnNavigate(this, target);
}

void TKvPathBar::leaveEvent(QEvent*) {
    SetHot(-1);
}

} // namespace kv
