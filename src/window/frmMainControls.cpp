// The chat window's controls: built once at their design places and re-placed by
// every arrangement.
#include "platform/Twips.h"
#include "resources/BuiltinResources.h"
#include "setup/JapaneseFont.h"
#include "window/ClickLabel.h"
#include "window/EntryBox.h"
#include "window/FindBar.h"
#include "window/OptionCheckBox.h"
#include "window/PictureButton.h"
#include "window/frmMain.h"

#include <QComboBox>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

using namespace Qt::StringLiterals;
using platform::twipsRect;
using platform::twipsToPixels;
using window::Control;

namespace {

const QColor kWindowBackground(230, 240, 250);
const QColor kTitleBackground(0, 0, 128);
const QColor kEdgeBar(128, 128, 255);

// The inner size the window starts with. The design gives the outer height; the
// title bar and frame take about 30 pixels of it.
constexpr int kStartupInnerWidth = 6780;
constexpr int kStartupInnerHeight = 5700 - 450;

QFont gothic(qreal points, bool bold) {
    QFont font = setup::japaneseUiFont(9, bold);
    font.setPointSizeF(points);
    return font;
}

void setBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QWidget* box(QWidget* parent, const QString& name, const QColor& background) {
    auto* widget = new QWidget(parent);
    widget->setObjectName(name);
    setBackground(widget, background);
    return widget;
}

QLabel* label(QWidget* parent, const QString& name, const QString& text, const QRect& twips) {
    auto* widget = new QLabel(text, parent);
    widget->setObjectName(name);
    widget->setGeometry(twipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
    widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return widget;
}

// A panel's title: white bold text on navy.
QLabel* titleBar(QWidget* panel, const QString& name, const QString& text) {
    QLabel* title = label(panel, name, text, QRect(120, 120, 1995, 255));
    title->setFont(gothic(9, true));
    title->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette palette = title->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    title->setPalette(palette);
    setBackground(title, kTitleBackground);
    return title;
}

// The coloured bar at a panel's right edge.
void edgeBar(QWidget* panel, const QString& name, int top, int height) {
    QLabel* bar = label(panel, name, QString(), QRect(2200, top, 135, height));
    setBackground(bar, kEdgeBar);
}

QLabel* picture(QWidget* parent, const QString& name, QLatin1StringView path, bool stretched) {
    auto* image = new QLabel(parent);
    image->setObjectName(name);
    image->setPixmap(QPixmap(QString(path)));
    image->setScaledContents(stretched);
    image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return image;
}

window::ClickLabel* helpLabel(QWidget* panel, const QString& name, int top, int height) {
    auto* help = new window::ClickLabel(panel);
    help->setObjectName(name);
    help->setText(window::kHelpCaption.toString());
    help->setGeometry(twipsRect(120, top, 1935, height));
    help->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    help->setWordWrap(true);
    setBackground(help, Qt::white);
    return help;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, const QRect& twips) {
    auto* widget = new QPushButton(caption, parent);
    widget->setObjectName(name);
    widget->setGeometry(twipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
    return widget;
}

} // namespace

void frmMain::buildControls() {
    setBackground(this, kWindowBackground);
    setFont(gothic(9, false));

    // Stacking: later siblings lie above earlier ones.
    imgHeader = picture(this, u"imgHeader"_s, resources::pictures::kHeader, true);
    for (std::size_t i = 0; i < picRgn.size(); ++i) {
        picRgn[i] = box(this, u"picRgn(%1)"_s.arg(i), Qt::white);
    }
    buildUsersPanel(picRgn[0]);
    buildExtendedSendPanel(picRgn[1]);
    buildOptionsPanel(picRgn[2]);
    buildVersionPanel(picRgn[3]);
    buildTabStrip();

    lblMesTag = new QLabel(this);
    lblMesTag->setObjectName(u"lblMesTag"_s);
    lblMesTag->setText(u"メッセージ"_s);
    lblMesTag->setFont(gothic(9.75, true));
    lblMesTag->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette tagPalette = lblMesTag->palette();
    tagPalette.setColor(QPalette::WindowText, Qt::white);
    lblMesTag->setPalette(tagPalette);
    setBackground(lblMesTag, kTitleBackground);

    txtLog = new QPlainTextEdit(this);
    txtLog->setObjectName(u"txtLog"_s);
    txtLog->setReadOnly(true);
    txtLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setFont(gothic(9, false));
    // Moves without a button pressed too, for the pointer over addresses.
    txtLog->viewport()->setMouseTracking(true);
    // The designed colours: the system's window text on window background.
    QPalette logPalette = txtLog->palette();
    logPalette.setColor(QPalette::Text, palette().color(QPalette::WindowText));
    logPalette.setColor(QPalette::Base, palette().color(QPalette::Base));
    txtLog->setPalette(logPalette);

    txtEntry = new window::EntryBox(this);
    txtEntry->setObjectName(u"txtEntry"_s);
    txtEntry->setFont(gothic(9.75, false));
    txtEntry->setTabChangesFocus(true);
    // One line high by design: no room for scroll bars or a margin around the text.
    txtEntry->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtEntry->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtEntry->document()->setDocumentMargin(0);

    findBar = new window::FindBar(txtLog, txtEntry);

    buildFooter();
}

void frmMain::buildUsersPanel(QWidget* panel) {
    titleBar(panel, u"Label2"_s, u"ユーザー"_s);
    lstRoster = new QListWidget(panel);
    lstRoster->setObjectName(u"lstRoster"_s);
    lstRoster->setGeometry(twipsRect(120, 540, 1995, 2580));
    lstRoster->setSelectionMode(QAbstractItemView::SingleSelection);
    // Alt+W chooses the extended-send tab, so the button has no access key: its
    // caption shows the letter without the underline that would promise one.
    cmdWhisper = button(panel, u"cmdWhisper"_s, u"プライベート送信(W)"_s, QRect(120, 3300, 2000, 375));
    cmdWhisper->setEnabled(false);
    lblHelp1 = helpLabel(panel, u"lblHelp1"_s, 3780, 855);
    edgeBar(panel, u"Label9"_s, 300, 890);
}

void frmMain::buildExtendedSendPanel(QWidget* panel) {
    titleBar(panel, u"Label3"_s, u"拡張送信"_s);
    label(panel, u"Label1"_s, u"サウンドスクリプトの挿入"_s, QRect(120, 540, 1890, 180));
    cmbSndScript = new QComboBox(panel);
    cmbSndScript->setObjectName(u"cmbSndScript"_s);
    cmbSndScript->setGeometry(twipsRect(120, 780, 1935, 300));
    cmdInsSnd = button(panel, u"cmdInsSnd"_s, u"挿入(&S)"_s, QRect(960, 1140, 1095, 375));
    lblHelp2 = helpLabel(panel, u"lblHelp2"_s, 1620, 855);
    label(panel, u"Label5"_s, u"フェースマークの挿入"_s, QRect(120, 2700, 1665, 180));
    cmbFaceMark = new QComboBox(panel);
    cmbFaceMark->setObjectName(u"cmbFaceMark"_s);
    cmbFaceMark->setEditable(true);
    cmbFaceMark->setInsertPolicy(QComboBox::NoInsert);
    cmbFaceMark->setGeometry(twipsRect(120, 2940, 1935, 300));
    cmdInsMark = button(panel, u"cmdInsMark"_s, u"挿入(&F)"_s, QRect(960, 3300, 1095, 375));
    lblHelp3 = helpLabel(panel, u"lblHelp3"_s, 3780, 855);
    edgeBar(panel, u"Label10"_s, 900, 1250);
}

void frmMain::buildOptionsPanel(QWidget* panel) {
    titleBar(panel, u"Label4"_s, u"オプション"_s);
    chkLog = new window::OptionCheckBox(u"終了時にログを保存"_s, panel);
    chkLog->setObjectName(u"chkLog"_s);
    chkLog->setGeometry(twipsRect(120, 540, 1935, 255));
    chkBTStyle = new window::OptionCheckBox(u"メニューを隠して起動"_s, panel);
    chkBTStyle->setObjectName(u"chkBTStyle"_s);
    chkBTStyle->setGeometry(twipsRect(120, 900, 1935, 255));
    lblHelp5 = helpLabel(panel, u"lblHelp5"_s, 1260, 975);
    edgeBar(panel, u"Label11"_s, 1870, 1270);
}

void frmMain::buildVersionPanel(QWidget* panel) {
    Image1 = picture(panel, u"Image1"_s, resources::pictures::kVersion, false);
    Image1->setGeometry(twipsRect(120, 120, 1905, 4545));
    edgeBar(panel, u"Label8"_s, 2880, 1670);
}

void frmMain::buildTabStrip() {
    picButtons = box(this, u"picButtons"_s, Qt::white);
    imgSpacer = picture(picButtons, u"imgSpacer"_s, resources::pictures::kSpacer, true);
    imgMenuBase = picture(picButtons, u"imgMenuBase"_s, resources::pictures::kMenuBase, false);
    imgMenuBase->setGeometry(twipsRect(0, 300, 300, 4245));
    imgHide = new window::ClickLabel(picButtons);
    imgHide->setObjectName(u"imgHide"_s);
    imgHide->setPixmap(QPixmap(QString(resources::pictures::kHide)));
    imgHide->setGeometry(twipsRect(0, 0, 300, 300));
    imgTerminator = picture(picButtons, u"imgTerminator"_s, resources::pictures::kTerminator, false);
    imgSelect = picture(picButtons, u"imgSelect"_s, resources::pictures::kSelect, false);
    imgSelect->setGeometry(twipsRect(0, window::MenuArea::kImgSelectStartTop, 300, 270));

    struct TabArea {
        int top;
        int height;
    };
    constexpr std::array<TabArea, 4> kTabAreas = {{{360, 615}, {1200, 735}, {2160, 735}, {3120, 1215}}};
    for (std::size_t i = 0; i < lblMenus.size(); ++i) {
        lblMenus[i] = new window::ClickLabel(picButtons);
        lblMenus[i]->setObjectName(u"lblMenus(%1)"_s.arg(i));
        lblMenus[i]->setGeometry(twipsRect(0, kTabAreas[i].top, 255, kTabAreas[i].height));
    }
}

void frmMain::buildFooter() {
    picFooter = box(this, u"picFooter"_s, kWindowBackground);
    imgFooter = picture(picFooter, u"imgFooter"_s, resources::pictures::kFooter, true);
    picSend = new window::PictureButton(QString(resources::pictures::kSend), u"picSend"_s, u"lblSend"_s, u"linSend"_s,
                                        picFooter);
    picExit = new window::PictureButton(QString(resources::pictures::kExit), u"picExit"_s, u"lblExit"_s, u"linExit"_s,
                                        picFooter);

    // The plain buttons sit out of sight above the strip's visible area; they are
    // there for their access keys, and never take the focus from the entry.
    const int top = window::layout::kPlainButtonTop;
    cmdSend = button(picFooter, u"cmdSend"_s, u"送信(&A)"_s, QRect(120, top, 1455, 280));
    cmdExit = button(picFooter, u"cmdExit"_s, u"終了(&X)"_s, QRect(1680, top, 1455, 280));
    cmdExit->setFont(gothic(9.75, false));
    for (QPushButton* plain : {cmdSend, cmdExit}) {
        plain->setFocusPolicy(Qt::NoFocus);
        plain->setAutoDefault(false);
    }
}

void frmMain::applyStartupGeometry() {
    setMinimumSize(twipsToPixels(window::layout::kMinimumInnerWidth),
                   twipsToPixels(window::layout::kMinimumInnerHeight));
    resize(twipsToPixels(kStartupInnerWidth), twipsToPixels(kStartupInnerHeight));
    const window::ControlLayout& startup = m_menu.layout();
    for (std::size_t i = 0; i < window::kArrangedControlCount; ++i) {
        const auto control = static_cast<Control>(i);
        applyMenuChange({{{control, startup[control]}}, std::nullopt, std::nullopt});
    }
    cmdSend->move(cmdSend->x(), twipsToPixels(window::layout::kPlainButtonTop));
    cmdExit->move(cmdExit->x(), twipsToPixels(window::layout::kPlainButtonTop));
}

QWidget* frmMain::arrangedWidget(Control control) const {
    switch (control) {
    case Control::picRgn0:
    case Control::picRgn1:
    case Control::picRgn2:
    case Control::picRgn3:
        return picRgn[static_cast<std::size_t>(static_cast<int>(control) - static_cast<int>(Control::picRgn0))];
    case Control::picButtons:
        return picButtons;
    case Control::lblMesTag:
        return lblMesTag;
    case Control::txtLog:
        return txtLog;
    case Control::txtEntry:
        return txtEntry;
    case Control::picFooter:
        return picFooter;
    case Control::picSend:
        return picSend;
    case Control::picExit:
        return picExit;
    case Control::imgHeader:
        return imgHeader;
    case Control::imgFooter:
        return imgFooter;
    case Control::imgSpacer:
        return imgSpacer;
    case Control::imgTerminator:
        return imgTerminator;
    }
    return nullptr;
}

void frmMain::applyMenuChange(const window::MenuChange& change) {
    for (const window::Placement& placement : change.placed) {
        QWidget* widget = arrangedWidget(placement.control);
        if (widget == nullptr) {
            continue;
        }
        const QRect& r = placement.geometry.rect;
        widget->setGeometry(twipsRect(r.x(), r.y(), r.width(), r.height()));
        // Only the panels are ever hidden by the arrangement.
        if (placement.control <= Control::picRgn3) {
            widget->setVisible(placement.geometry.visible);
        }
    }
    if (change.imgSelectTop) {
        imgSelect->move(0, twipsToPixels(*change.imgSelectTop));
    }
}
