#pragma once
#include <QPixmap>
#include <QPushButton>
#include <QString>

// A flat push button laid over the skin: it shows the parent's pixels under it, a raised edge
// while the mouse is over it and a sunken one while pressed, an optional icon, and a tooltip.
// Clicks reach the owner as the ordinary clicked() signal.
class CSkinButton : public QPushButton {
public:
    explicit CSkinButton(QWidget* parent);

    // Draw the parent's pixels under the button, captured again on the next draw.
    void UseParentBackground(bool repaint);
    void SetToolTip(const QString& text, bool activate);
    // Loads the icons of the program's resources by id; 0, or an id without an icon, is none.
    void SetIcons(int iconId, int secondIconId);
    // A null pixmap is no icon. The second icon, when set, is shown while the mouse is not over
    // the button and it is not pressed.
    void SetIconHandles(const QPixmap& icon, const QPixmap& secondIcon);
    void CancelHover();

    bool IsHovered() const { return m_hover; }
    bool HasBackgroundCapture() const { return !m_background.isNull(); }

protected:
    virtual void OnDrawBackground(QPainter& painter, const QRect& rect);
    virtual void OnDrawBorder(QPainter& painter, const QRect& rect);

    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CaptureParentBackground();
    void FocusNextTabStop();
    void DrawIcon(QPainter& painter, const QRect& rect);

    bool m_hover = false;
    bool m_pressed = false;
    bool m_disabled = false;
    bool m_parentBackground = false;
    bool m_toolTipActive = false;
    QPixmap m_background;
    QPixmap m_icon;
    QPixmap m_secondIcon;
    QColor m_face;
};
