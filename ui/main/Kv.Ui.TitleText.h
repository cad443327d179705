// The title of a terminal half, shortened in the middle when too long, from which text can be
// copied by dragging or double-clicking; and the switch between a hybrid connection's terminal
// and its files.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace kv {

// Width in pixels of a text as it will be drawn.
using TKvTextWidth = std::function<int(const QString&)>;

// What is drawn of a title: positions are 1-based; CutFrom..CutTo of the text became "...".
struct TKvTitleCut {
    QString Shown;
    int CutFrom = 0;
    int CutTo = 0;
};

// The 0-based positions of "@" and of the first ":" after it when the text reads
// user@host:path (a user and a host present); false otherwise.
bool SplitUserHostPath(const QString& AText, int& AAt, int& AColon);
// Keeps a user@host:path title's user, host and the start of the path; other titles their
// first three characters; then as much of the end as fits in AWidth.
TKvTitleCut ShortenTitle(const QString& AText, int AWidth, const TKvTextWidth& AMeasure);
// The shown character (1-based) under x; 0 left of the text, the shown length right of it.
int TitleCharAt(const QString& AShown, int AX, const TKvTextWidth& AMeasure);
// A shown position back in the full text; inside the "..." a selection's start takes the first
// hidden character and its end the last.
int TitleTextPosition(const TKvTitleCut& ACut, int AShownPos, bool AEnd);
// The range (1-based, inclusive) a double click at text position APos selects: the user, host
// or path of a user@host:path title, otherwise (or on "@" or ":") the whole text.
std::pair<int, int> TitleWordAt(const QString& AText, int APos);

// What the title control does, without painting: shortening, drag selection and double clicks.
class TKvTitleModel {
public:
    void SetText(const QString& AText);
    const QString& Text() const { return FText; }
    void Layout(int AWidth, const TKvTextWidth& AMeasure);
    const TKvTitleCut& Cut() const { return FCut; }

    // Mouse actions at x (after Layout). MouseUp and DoubleClick return the text to copy, empty
    // when nothing is selected.
    void MouseDown(int AX, const TKvTextWidth& AMeasure);
    void MouseMove(int AX, const TKvTextWidth& AMeasure);
    QString MouseUp();
    QString DoubleClick(int AX, const TKvTextWidth& AMeasure);

    int SelFrom() const { return FSelFrom; }
    int SelTo() const { return FSelTo; }
    QString SelectedText() const;
    // Whether the shown character at APos (1-based) is drawn selected.
    bool ShownSelected(int APos) const;
    bool Dragging() const { return FDragging; }

private:
    QString FText;
    TKvTitleCut FCut;
    int FSelFrom = 0;
    int FSelTo = 0;
    int FAnchor = 0;
    int FCaret = 0;
    bool FDragging = false;
};

class TKvTitleText final : public QWidget {
public:
    explicit TKvTitleText(QWidget* AParent = nullptr);

    void SetText(const QString& AText);
    const QString& Text() const { return FModel.Text(); }
    TKvTitleModel& Model() { return FModel; }

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* AEvent) override;

private:
    TKvTextWidth Measure() const;
    void Relayout();
    void Copy(const QString& AText);

    TKvTitleModel FModel;
};

enum TKvHybridView { hvShell, hvFiles };

// Two positions drawn as a pill: a terminal on the left, a folder on the right.
class TKvHybridSwitch final : public QWidget {
public:
    explicit TKvHybridSwitch(QWidget* AParent = nullptr);

    void SetView(TKvHybridView AView);
    TKvHybridView View() const { return FView; }
    bool Hover() const { return FHover; }
    QSize sizeHint() const override;

    std::function<void(TKvHybridSwitch*)> OnClick;

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void enterEvent(QEnterEvent* AEvent) override;
    void leaveEvent(QEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
    TKvHybridView FView = hvShell;
    bool FHover = false;
};

} // namespace kv
