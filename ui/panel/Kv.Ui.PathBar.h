// The folder of a file panel as a row of clickable pieces, one per folder level.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

namespace kv {

// Width in pixels of a text as it will be drawn (also declared by Kv.Ui.TitleText.h).
using TKvTextWidth = std::function<int(const QString&)>;

// A folder level: what is shown and where a click goes (empty: not clickable). Paths stay bytes;
// they become QStrings only to be measured and drawn.
struct TKvPathPart {
    std::string Text;
    std::string Target;
    bool operator==(const TKvPathPart&) const = default;
};

struct TKvPathParts {
    std::string Separator;
    std::vector<TKvPathPart> Parts; // the root first
};

// A laid-out item: a piece, a separator or the ellipsis (these two without a target).
struct TKvPathItem {
    std::string Text;
    std::string Target;
    int X1 = 0;
    int X2 = 0;
};

// Pieces of APath. A "/" path has the root piece APrefix (a server's display prefix), or "/"
// itself when there is no prefix, so the root of the local disk can be clicked too.
TKvPathParts PathBarParts(const std::string& APath, const std::string& APrefix);
// The items that fit in AWidth: the root, and when not everything fits "..." and as many
// trailing pieces as fit, at least the last one.
std::vector<TKvPathItem> PathBarLayout(const TKvPathParts& AParts, int AWidth,
                                       const TKvTextWidth& AMeasure);
// Index of the item at x that has a target, or -1.
int PathBarHit(const std::vector<TKvPathItem>& AItems, int AX);

class TKvPathBar final : public QWidget {
public:
    using TPart = TKvPathPart;
    using TItem = TKvPathItem;
    using TNavigateEvent = std::function<void(TKvPathBar* ASender, const std::string& APath)>;

    explicit TKvPathBar(QWidget* AParent = nullptr);

    void SetPath(const std::string& APath);
    void SetPrefix(const std::string& APrefix);
    const std::string& Path() const { return FPath; }
    const std::string& Prefix() const { return FPrefix; }
    // Runs the layout for the current size and font.
    const std::vector<TItem>& Items();
    int Hot() const { return FHot; }

    TNavigateEvent OnNavigate;

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void leaveEvent(QEvent* AEvent) override;

private:
    void SetHot(int AHot);

    std::string FPath;
    std::string FPrefix;
    std::vector<TItem> FItems;
    int FHot = -1;
    int FDown = -1;
};

} // namespace kv
