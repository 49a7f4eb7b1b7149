#include "skin/skin_button.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include "platform/resources.h"

namespace {

QPixmap LoadIcon(int id) {
    if (id == 0) return QPixmap();
    return QPixmap(platform::ResourcePath(platform::ResourceType::Icon, id));
}

}  // namespace

CSkinButton::CSkinButton(QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    setMouseTracking(true);
    setAttribute(Qt::WA_AlwaysShowToolTips);
    m_face = palette().color(QPalette::Button);
}

void CSkinButton::UseParentBackground(bool repaint) {
    m_parentBackground = true;
    m_background = QPixmap();
    if (repaint) update();
}

void CSkinButton::SetToolTip(const QString& text, bool activate) {
    if (text.isNull()) return;
    setToolTip(text);
    m_toolTipActive = activate;
}

void CSkinButton::SetIcons(int iconId, int secondIconId) {
    SetIconHandles(LoadIcon(iconId), LoadIcon(secondIconId));
}

void CSkinButton::SetIconHandles(const QPixmap& icon, const QPixmap& secondIcon) {
    m_icon = icon;
    m_secondIcon = secondIcon;
    update();
}

void CSkinButton::CancelHover() {
    if (!m_hover) return;
    m_hover = false;
    update();
}

bool CSkinButton::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && !m_toolTipActive) {
        event->ignore();
        return true;
    }
    return QPushButton::event(event);
}

void CSkinButton::mouseMoveEvent(QMouseEvent* event) {
    QPushButton::mouseMoveEvent(event);
    // Dragging onto a button does not light it; moving while it is lit keeps it lit.
    if ((event->buttons() & Qt::LeftButton) && !m_hover) return;
    // Buttons light up only while the program has an active window.
    if (QApplication::activeWindow() &&
        QApplication::widgetAt(event->globalPosition().toPoint()) == this) {
        if (!m_hover) {
            m_hover = true;
            update();
        }
        return;
    }
    CancelHover();
}

void CSkinButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    CancelHover();
}

void CSkinButton::focusOutEvent(QFocusEvent* event) {
    QPushButton::focusOutEvent(event);
    CancelHover();
}

void CSkinButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    switch (event->type()) {
        case QEvent::ActivationChange:
            if (!isActiveWindow()) CancelHover();
            break;
        case QEvent::EnabledChange:
            if (!isEnabled()) {
                FocusNextTabStop();
                CancelHover();
            }
            break;
        case QEvent::PaletteChange:
            m_background = QPixmap();
            break;
        default:
            break;
    }
}

void CSkinButton::FocusNextTabStop() {
    QWidget* parent = parentWidget();
    if (!parent) return;
    for (QWidget* next = nextInFocusChain(); next && next != this;
         next = next->nextInFocusChain()) {
        const bool tabStop = (next->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
        if (next->parentWidget() == parent && tabStop && next->isEnabled() && !next->isHidden()) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    parent->setFocus(Qt::OtherFocusReason);
}

void CSkinButton::CaptureParentBackground() {
    QWidget* parent = parentWidget();
    m_background = QPixmap(size());
    m_background.fill(Qt::transparent);
    if (!parent) return;
    // The parent alone, without its children, as it paints the area under the button.
    parent->render(&m_background, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
}

void CSkinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    m_pressed = isDown();
    m_disabled = !isEnabled();
    const QRect rect = this->rect();
    if (m_parentBackground) {
        if (m_background.isNull()) CaptureParentBackground();
        painter.drawPixmap(0, 0, m_background);
    } else {
        OnDrawBackground(painter, rect);
    }
    if (m_pressed || m_hover) OnDrawBorder(painter, rect);
    DrawIcon(painter, rect);
}

void CSkinButton::DrawIcon(QPainter& painter, const QRect& rect) {
    QPixmap icon = m_icon;
    if (!m_pressed && !m_hover && !m_secondIcon.isNull()) icon = m_secondIcon;
    if (icon.isNull()) return;
    const QSize size = icon.deviceIndependentSize().toSize();
    QPoint corner(rect.left() + (rect.width() - size.width()) / 2,
                  rect.top() + (rect.height() - size.height()) / 2);
    if (m_pressed) corner += QPoint(1, 1);
    if (m_disabled) {
        QStyleOption option;
        option.initFrom(this);
        icon = style()->generatedIconPixmap(QIcon::Disabled, icon, &option);
    }
    painter.drawPixmap(corner, icon);
}

void CSkinButton::OnDrawBackground(QPainter& painter, const QRect& rect) {
    painter.fillRect(rect, m_face);
}

void CSkinButton::OnDrawBorder(QPainter& painter, const QRect& rect) {
    const QColor highlight = palette().color(QPalette::Light);
    const QColor shadow = palette().color(QPalette::Dark);
    const QColor topLeft = m_pressed ? shadow : highlight;
    const QColor bottomRight = m_pressed ? highlight : shadow;
    const int right = rect.right();
    const int bottom = rect.bottom();
    painter.fillRect(QRect(rect.left(), rect.top(), rect.width() - 1, 1), topLeft);
    painter.fillRect(QRect(rect.left(), rect.top(), 1, rect.height() - 1), topLeft);
    painter.fillRect(QRect(right, rect.top(), 1, rect.height()), bottomRight);
    painter.fillRect(QRect(rect.left(), bottom, rect.width(), 1), bottomRight);
}
