// The skinned window: its controls, the skin bitmap as shape and background, dragging, the date.

#include <QDateTime>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/answering_dlg.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/resources.h"

namespace {

// The template's dialog units: its 9-point font at 96 dots per inch makes one unit 1.5 pixels.
struct DialogRect {
    int x, y, width, height;
};
constexpr DialogRect kTemplateSize{0, 0, 225, 167};

// Each edge maps on its own, rounded half up, as the dialog manager maps a template.
int UnitsToPixels(int units) { return (units * 3 + 1) / 2; }

QRect ToPixels(const DialogRect& r) {
    const int left = UnitsToPixels(r.x);
    const int top = UnitsToPixels(r.y);
    return QRect(left, top, UnitsToPixels(r.x + r.width) - left,
                 UnitsToPixels(r.y + r.height) - top);
}

constexpr QRgb kSkinKey = 0xFFFF0000;  // pure red is cut away
constexpr int kRectGrowth = 40;
constexpr int kDialogFontPixels = 12;  // 9 points at 96 dots per inch
constexpr int kMaxDateCheckMs = 60 * 1000;
constexpr int kAfterMidnightMs = 50;

bool IsWayland() { return QGuiApplication::platformName().startsWith(QStringLiteral("wayland")); }

int ScreenBitsPerPixel() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int depth = screen ? screen->depth() : 32;
    if (depth <= 8) return 8;
    if (depth <= 16) return 16;
    if (depth <= 24) return 24;
    return 32;
}

// Tells, row by row, which pixels differ from the key as a screen of the given depth holds them.
class OpaqueTest {
public:
    OpaqueTest(const QImage& bitmap, QRgb key, int bitsPerPixel) : m_bits(bitsPerPixel) {
        switch (bitsPerPixel) {
            case 8:
                m_pixels = bitmap.convertToFormat(QImage::Format_Indexed8);
                m_key = key & 0xFFFFFF;
                break;
            case 16:
                m_pixels = bitmap.convertToFormat(QImage::Format_RGB16);
                m_key = ((qRed(key) & 0xF8) << 8) | ((qGreen(key) & 0xFC) << 3) | (qBlue(key) >> 3);
                break;
            case 24:
                m_pixels = bitmap.convertToFormat(QImage::Format_RGB888);
                m_key = key & 0xFFFFFF;
                break;
            default:
                m_pixels = bitmap.convertToFormat(QImage::Format_ARGB32);
                m_key = key;
                break;
        }
    }

    bool operator()(int x, int y) const {
        const uchar* row = m_pixels.constScanLine(y);
        switch (m_bits) {
            case 8:
                return (m_pixels.color(row[x]) & 0xFFFFFF) != m_key;
            case 16:
                return reinterpret_cast<const quint16*>(row)[x] != m_key;
            case 24:
                return qRgb(row[3 * x], row[3 * x + 1], row[3 * x + 2]) != (m_key | 0xFF000000);
            default:
                return reinterpret_cast<const QRgb*>(row)[x] != m_key;
        }
    }

private:
    int m_bits;
    QImage m_pixels;
    uint32_t m_key = 0;
};

}  // namespace

void CAnsweringDlg::BuildWindow() {
    setWindowTitle(QString::fromStdString(platform::ProgramCaption()));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_AlwaysShowToolTips);
    // A Wayland window's mask limits only its input: the cut-away parts must be see-through too.
    if (IsWayland()) setAttribute(Qt::WA_TranslucentBackground);
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(kDialogFontPixels);
    setFont(font);
    m_programIcon =
        QIcon(platform::ResourcePath(platform::ResourceType::Icon, platform::kIconProgram));
    resize(ToPixels(kTemplateSize).size());
    PlaceControls();
    m_skinButton.setEnabled(false);

    connect(&m_receiveFaxButton, &QPushButton::clicked, this, [this] { OnReceiveFax(); });
    connect(&m_stopButton, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(&m_exitButton, &QPushButton::clicked, this, [this] { OnExit(); });
    m_dateTimer.setSingleShot(true);
    connect(&m_dateTimer, &QTimer::timeout, this, [this] { RefreshDate(); });
}

void CAnsweringDlg::PlaceControls() {
    struct Placement {
        int id;
        DialogRect rect;
    };
    static const Placement kPlacements[] = {
        {IDC_RECEIVE_FAX, {135, 129, 10, 10}}, {IDC_STOP, {147, 117, 10, 10}},
        {IDC_EXIT, {108, 129, 12, 12}},        {IDC_FAX_FOLDER, {46, 56, 12, 12}},
        {IDC_WAV_FOLDER, {63, 56, 12, 12}},    {IDC_MINIMIZE, {80, 56, 12, 12}},
        {IDC_HELP, {97, 56, 12, 12}},          {IDC_SKIN, {77, 32, 12, 12}},
        {IDC_STATUS, {31, 105, 103, 9}},       {IDC_SPARE_LABEL, {57, 74, 60, 10}},
        {IDC_DATE, {58, 88, 60, 8}},
    };
    for (const Placement& placement : kPlacements)
        Control(placement.id)->setGeometry(ToPixels(placement.rect));
}

QWidget* CAnsweringDlg::Control(int id) {
    switch (id) {
        case IDC_RECEIVE_FAX:
            return &m_receiveFaxButton;
        case IDC_STOP:
            return &m_stopButton;
        case IDC_EXIT:
            return &m_exitButton;
        case IDC_FAX_FOLDER:
            return &m_faxFolderButton;
        case IDC_WAV_FOLDER:
            return &m_wavFolderButton;
        case IDC_MINIMIZE:
            return &m_minimizeButton;
        case IDC_HELP:
            return &m_helpButton;
        case IDC_SKIN:
            return &m_skinButton;
        case IDC_STATUS:
            return &m_statusLabel;
        case IDC_SPARE_LABEL:
            return &m_spareLabel;
        case IDC_DATE:
            return &m_dateLabel;
        default:
            return nullptr;
    }
}

bool CAnsweringDlg::ApplySkin(uint32_t) {
    // Only one skin exists: every skin number shows it.
    QImage bitmap(platform::ResourcePath(platform::ResourceType::Bitmap, platform::kBitmapSkin));
    if (bitmap.isNull()) return false;
    const QRegion region = MakeWindowRegion(bitmap, kSkinKey);
    QImage surface(bitmap.size(), QImage::Format_ARGB32_Premultiplied);
    surface.fill(Qt::transparent);
    QPainter painter(&surface);
    painter.setClipRegion(region);
    painter.drawImage(0, 0, bitmap);
    painter.end();
    m_skinSurface = QPixmap::fromImage(surface);
    setFixedSize(m_skinWidth, m_skinHeight);
    setMask(region);
    SetUpControls();
    m_statusLabel.SetText(QStringLiteral("等待呼叫..."));
    m_statusLabel.SetTransparent(true);
    m_spareLabel.SetTransparent(true);
    m_shownDate.clear();
    RefreshDate();
    m_dateLabel.SetTransparent(true);
    repaint();
    return true;
}

void CAnsweringDlg::SetUpControls() {
    for (CSkinButton* button : {&m_stopButton, &m_helpButton, &m_exitButton, &m_receiveFaxButton})
        button->UseParentBackground(true);
    m_stopButton.SetToolTip(QStringLiteral("停止"), true);
    m_helpButton.SetToolTip(QStringLiteral("帮助"), true);
    m_exitButton.SetToolTip(QStringLiteral("退出"), true);
    m_receiveFaxButton.SetToolTip(QStringLiteral("接收传真"), true);
    struct IconButton {
        CSkinButton* button;
        uint32_t icon;
        const char* tip;  // none: already set
    } iconButtons[] = {
        {&m_faxFolderButton, platform::kIconFaxFolder, "传真文件夹"},
        {&m_wavFolderButton, platform::kIconWavFolder, "留言文件夹"},
        {&m_helpButton, platform::kIconHelp, nullptr},
        {&m_skinButton, platform::kIconSkin, "换肤"},
        {&m_minimizeButton, platform::kIconMinimize, "最小化"},
    };
    for (const IconButton& entry : iconButtons) {
        entry.button->SetIcons(static_cast<int>(entry.icon), 0);
        entry.button->UseParentBackground(true);
        if (entry.tip) entry.button->SetToolTip(QString::fromUtf8(entry.tip), true);
    }
}

// The date label follows the calendar: checked at the next midnight, and at least every minute
// in case the clock is set or the machine sleeps through midnight.
void CAnsweringDlg::RefreshDate() {
    const platform::LocalTime now = platform::GetLocalTime();
    char text[64];
    std::snprintf(text, sizeof text, "%04d年%02d月%02d日", now.year, now.month, now.day);
    const QString date = QString::fromUtf8(text);
    if (date != m_shownDate) {
        m_shownDate = date;
        m_dateLabel.SetText(date);
    }
    ScheduleDateCheck();
}

void CAnsweringDlg::ScheduleDateCheck() {
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime midnight(now.date().addDays(1), QTime(0, 0));
    const qint64 untilMidnight = now.msecsTo(midnight) + kAfterMidnightMs;
    m_dateTimer.start(static_cast<int>(std::min<qint64>(untilMidnight, kMaxDateCheckMs)));
}

QRegion CAnsweringDlg::MakeWindowRegion(const QImage& bitmap, QRgb keyColour) {
    m_skinWidth = bitmap.width();
    m_skinHeight = bitmap.height();
    return RegionFromBitmap(bitmap, keyColour, ScreenBitsPerPixel());
}

QRegion CAnsweringDlg::RegionFromBitmap(const QImage& bitmap, QRgb keyColour, int bitsPerPixel) {
    const OpaqueTest opaque(bitmap, keyColour, bitsPerPixel);
    std::vector<QRect> runs;
    runs.reserve(static_cast<size_t>(bitmap.height()));
    const int width = bitmap.width();
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < width;) {
            while (x < width && !opaque(x, y)) ++x;
            const int start = x;
            while (x < width && opaque(x, y)) ++x;
            if (x == start) continue;
            if (runs.size() == runs.capacity()) runs.reserve(runs.capacity() + kRectGrowth);
            runs.emplace_back(start, y, x - start, 1);
        }
    }
    QRegion region;
    region.setRects(runs.data(), static_cast<int>(runs.size()));
    return region;
}

void CAnsweringDlg::paintEvent(QPaintEvent*) { OnPaint(); }

void CAnsweringDlg::OnPaint() {
    if (m_skinSurface.isNull()) return;
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_skinSurface, 0, 0, m_skinWidth, m_skinHeight);
}

void CAnsweringDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OnLButtonDown(event->position().toPoint());
    QDialog::mousePressEvent(event);
}

void CAnsweringDlg::mouseMoveEvent(QMouseEvent* event) {
    OnMouseMove(event->position().toPoint());
    QDialog::mouseMoveEvent(event);
}

void CAnsweringDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) OnLButtonUp();
    QDialog::mouseReleaseEvent(event);
}

void CAnsweringDlg::OnLButtonDown(const QPoint& point) {
    if (m_dragging) return;
    // A Wayland compositor moves windows only itself, and takes the drag from here.
    if (IsWayland() && windowHandle()) {
        windowHandle()->startSystemMove();
        return;
    }
    m_dragging = true;
    m_dragAnchor = point;
    grabMouse();
}

void CAnsweringDlg::OnMouseMove(const QPoint& point) {
    if (!m_dragging) return;
    move(pos() + point - m_dragAnchor);
}

void CAnsweringDlg::OnLButtonUp() {
    if (!m_dragging) return;
    m_dragging = false;
    releaseMouse();
}
