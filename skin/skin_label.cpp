#include "skin/skin_label.h"

#include <QEvent>
#include <QPainter>

CSkinLabel::CSkinLabel(QWidget* parent, uint32_t style)
    : QWidget(parent),
      m_style(style),
      m_textColour(palette().color(QPalette::WindowText)),
      m_background(palette().color(QPalette::Button)) {}

void CSkinLabel::SetText(const QString& text) {
    m_text = text;
    Redraw();
}

void CSkinLabel::SetTransparent(bool transparent) {
    m_transparent = transparent;
    Redraw();
}

int CSkinLabel::TextFormat(uint32_t style, const QString& text) {
    if (style & SS_CENTERIMAGE) {
        if (text.contains(QStringLiteral("\r\n"))) return Qt::AlignHCenter | Qt::AlignTop;
        return Qt::AlignCenter | Qt::TextSingleLine;
    }
    switch (style & SS_TYPEMASK) {
        case SS_CENTER:
            return Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;
        case SS_RIGHT:
            return Qt::AlignRight | Qt::AlignTop | Qt::TextWordWrap;
        case SS_LEFTNOWORDWRAP:
            return Qt::AlignLeft | Qt::AlignTop;
        default:
            return Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
    }
}

void CSkinLabel::Redraw() {
    repaint();
    if (QWidget* parent = parentWidget()) parent->repaint(geometry());
}

void CSkinLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!m_transparent) painter.fillRect(rect(), m_background);
    painter.setPen(m_textColour);
    QString text = m_text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    painter.drawText(rect(), TextFormat(m_style, m_text), text);
}

void CSkinLabel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The background follows the system colours; the text colour stays as it was read.
    if (event->type() == QEvent::PaletteChange) {
        m_background = palette().color(QPalette::Button);
        Redraw();
    }
}
