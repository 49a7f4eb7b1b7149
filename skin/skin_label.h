#pragma once
#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>

// A static text drawn straight onto the skin, with no background of its own, in its parent's font
// and the window-text colour of the moment the label was made. The layout of the
// text follows the control's static-text style bits.
class CSkinLabel : public QWidget {
public:
    static constexpr uint32_t SS_LEFT = 0x0;
    static constexpr uint32_t SS_CENTER = 0x1;
    static constexpr uint32_t SS_RIGHT = 0x2;
    static constexpr uint32_t SS_LEFTNOWORDWRAP = 0xC;
    static constexpr uint32_t SS_TYPEMASK = 0x1F;
    static constexpr uint32_t SS_CENTERIMAGE = 0x200;

    CSkinLabel(QWidget* parent, uint32_t style);

    virtual void SetText(const QString& text);
    virtual void SetTransparent(bool transparent);

    const QString& Text() const { return m_text; }
    // The QPainter::drawText flags for a text under a control style.
    static int TextFormat(uint32_t style, const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Redraw();

    uint32_t m_style;
    QString m_text;
    QColor m_textColour;
    QColor m_background;
    bool m_transparent = false;
};
