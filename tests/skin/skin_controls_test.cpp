// The skinned controls drawn offscreen: what the button paints in each state, when it lights up,
// the clicks it gives, and where the label puts its text.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include "skin/skin_button.h"
#include "skin/skin_label.h"

namespace {

const QColor kBackdrop(0, 128, 128);
const QColor kIconColour(255, 0, 255);

class Backdrop : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kBackdrop); }
};

QPixmap SolidIcon() {
    QPixmap icon(16, 16);
    icon.fill(kIconColour);
    return icon;
}

void SendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QImage Render(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

TEST(SkinButton, PaintsHoversAndClicksAsTheSkinNeeds) {
    Backdrop window;
    window.resize(100, 60);
    CSkinButton button(&window);
    CSkinButton other(&window);
    button.setGeometry(10, 10, 18, 18);
    other.setGeometry(40, 10, 18, 18);
    button.UseParentBackground(true);
    button.SetIconHandles(SolidIcon(), QPixmap());
    window.show();

    QImage idle = Render(button);
    EXPECT_EQ(idle.pixelColor(0, 0), kBackdrop) << "the parent shows through, no edge";
    EXPECT_EQ(idle.pixelColor(1, 1), kIconColour) << "icon centred: 1 px in on 18 px";

    button.setDown(true);
    QImage pressed = Render(button);
    EXPECT_EQ(pressed.pixelColor(1, 1), kBackdrop) << "pressed: icon moves by one pixel";
    EXPECT_EQ(pressed.pixel(0, 0), button.palette().color(QPalette::Dark).rgb()) << "sunken edge";
    button.setDown(false);

    const QPoint centre(9, 9);
    QApplication::setActiveWindow(nullptr);
    ASSERT_FALSE(QApplication::activeWindow());
    SendMouse(&button, QEvent::MouseMove, centre, Qt::NoButton);
    EXPECT_FALSE(button.IsHovered()) << "no active window, no light";
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QApplication::activeWindow());
    SendMouse(&button, QEvent::MouseMove, centre, Qt::LeftButton);
    EXPECT_FALSE(button.IsHovered()) << "dragging onto the button does not light it";
    SendMouse(&button, QEvent::MouseMove, centre, Qt::NoButton);
    EXPECT_TRUE(button.IsHovered());
    EXPECT_EQ(Render(button).pixel(0, 0), button.palette().color(QPalette::Light).rgb());
    SendMouse(&button, QEvent::MouseMove, centre, Qt::LeftButton);
    EXPECT_TRUE(button.IsHovered()) << "a lit button stays lit while the button is held";
    SendMouse(&button, QEvent::MouseMove, QPoint(40, 40), Qt::NoButton);
    EXPECT_FALSE(button.IsHovered()) << "a move elsewhere puts it out";

    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease})
        SendMouse(&button, type, centre,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton);
    EXPECT_EQ(clicks, 2) << "a double click is two clicks";

    button.setFocus();
    button.setEnabled(false);
    EXPECT_EQ(window.focusWidget(), &other) << "disabling passes the focus on";
    EXPECT_NE(Render(button).pixelColor(8, 8), kIconColour) << "disabled icon is greyed";
}

TEST(SkinLabel, PlacesTextByTheControlStyle) {
    const QString longText = QStringLiteral("one two three four five six seven");
    // Placement: horizontal (Left, Centre, Right), vertical (Top, Middle), number of lines.
    const struct {
        uint32_t style;
        QString text;
        const char* place;
    } rows[] = {
        {CSkinLabel::SS_LEFT, "ab", "LT1"},
        {CSkinLabel::SS_CENTER, "ab", "CT1"},
        {CSkinLabel::SS_RIGHT, "ab", "RT1"},
        {CSkinLabel::SS_LEFT, longText, "LT2"},
        {CSkinLabel::SS_LEFTNOWORDWRAP, longText, "LT1"},
        {CSkinLabel::SS_CENTERIMAGE, "ab", "CM1"},
        {CSkinLabel::SS_CENTERIMAGE, "ab\r\ncd", "CT2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.toStdString() + " style " + std::to_string(row.style));
        QWidget window;
        window.setStyleSheet(QStringLiteral("background: white"));
        CSkinLabel label(&window, row.style);
        label.setGeometry(0, 0, 120, 50);
        label.SetText(row.text);
        label.SetTransparent(true);
        window.show();
        const QImage image = Render(label);
        QRect ink;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) < 128) ink |= QRect(x, y, 1, 1);
        const char h = row.place[0], v = row.place[1];
        EXPECT_NEAR(h == 'L'   ? ink.left()
                    : h == 'C' ? ink.center().x()
                               : ink.right(),
                    h == 'L'   ? 0
                    : h == 'C' ? 60
                               : 119,
                    4);
        EXPECT_NEAR(v == 'T' ? ink.top() : ink.center().y(), v == 'T' ? 0 : 25, 5);
        EXPECT_EQ(ink.height() > QFontMetrics(label.font()).height(), row.place[2] == '2');
    }
}

}  // namespace
