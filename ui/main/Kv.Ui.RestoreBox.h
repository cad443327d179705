// Fills a half that showed a connection when Kolvan last closed; reconnects when clicked.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace kv {

class TKvRestoreBox final : public QWidget {
public:
    explicit TKvRestoreBox(QWidget* AParent = nullptr);

    // The connection's title and what kind of connection it was.
    void Describe(const QString& ATitle, const QString& AWhat);
    const QString& Title() const { return FTitle; }
    const QString& What() const { return FWhat; }
    // The three lines, top to bottom.
    QStringList Lines() const;

    std::function<void(TKvRestoreBox*)> OnReconnect;

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;

private:
    QString FTitle;
    QString FWhat;
};

} // namespace kv
