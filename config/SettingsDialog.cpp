#include "config/SettingsDialog.h"

#include "config/AlertSettings.h"
#include "config/ReportMailSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTime>
#include <QTimeEdit>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>
#include <initializer_list>

#include "common/Errors.h"
#include "common/Text.h"
#include "platform/NetSource.h"
#include "platform/ProgramDir.h"
#include "platform/QtText.h"
#include "serial/PortControls.h"
#include "serial/SerialPort.h"

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}
using platform::FromAnsi;
using platform::ToAnsi;
// Memo text in the holder keeps its breaks as CR LF; the text control works with LF.
QString MemoFromAnsi(const std::string& s) {
    QString t = FromAnsi(s);
    t.replace(U("\r\n"), U("\n"));
    t.replace(QChar('\r'), QChar('\n'));
    return t;
}
std::string MemoToAnsi(const QPlainTextEdit* m) {
    QString t = m->toPlainText();
    t.replace(QChar('\n'), U("\r\n"));
    return ToAnsi(t);
}

// Each control carries the name the rest of the program and its tests find it by.
template <class W>
W* Named(W* w, const char* name) {
    w->setObjectName(name);
    return w;
}

// Enabled fields are painted in the window colour, greyed ones take their parent's colour.
void Paint(QWidget* w, bool windowColour) {
    QPalette p = w->palette();
    const QColor c = windowColour ? QApplication::palette().color(QPalette::Base)
                                  : w->parentWidget()->palette().color(QPalette::Window);
    p.setColor(QPalette::Base, c);
    w->setPalette(p);
}

void SetGroup(std::initializer_list<QWidget*> group, bool on) {
    for (QWidget* w : group) {
        w->setEnabled(on);
        Paint(w, on);
    }
}

// A check box set by the program runs its click handler only when its state changes.
void SetChecked(QCheckBox* box, bool on, TSettingsDialog* form = nullptr,
                void (TSettingsDialog::*handler)() = nullptr) {
    if (box->isChecked() == on) return;
    box->setChecked(on);
    if (handler) (form->*handler)();
}

// Names typed or pasted for a new template: only what the typed-name rule passes, upper case.
class TTemplateNameValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        std::string out;
        for (char c : ToAnsi(input)) {
            const char f = FilterTemplateNameKey(c);
            if (f == 0 || f == '\b') return Invalid;
            out += f;
        }
        input = FromAnsi(out);
        return Acceptable;
    }
};

// A limited field takes a longer text from the program whole (a stored value is never cut); the
// user can then shorten it but not lengthen it.
constexpr int kTextMax = 50;
constexpr int kNoLimit = 32767;  // a line edit's own
void SetLimitedText(QLineEdit* e, const QString& text, int limit) {
    e->setMaxLength(std::max<int>(limit, text.size()));
    e->setText(text);
    e->setCursorPosition(0);  // a long text shows its beginning
}

QLabel* Caption(const char* text, QWidget* buddy) {
    auto* l = new QLabel(U(text));
    l->setBuddy(buddy);
    return l;
}

constexpr int kColumnMax = 1000;
constexpr int kColumnDigits = 5;

// The template columns, their labels, a sample text for lines made up from a template, and the
// colour of their stretch in the preview; in the order of the template columns.
struct TColumnInfo {
    const char* name;
    const char* caption;
    const char* sample;
    const char* colour;
};
constexpr TColumnInfo kColumns[13] = {
    {"seRDay", "День", "12", "#ffd0d0"},
    {"seRMonth", "Месяц", "04", "#ffe0b0"},
    {"seRYear", "Год", "26", "#fff3a0"},
    {"seRHour", "Часы", "09", "#d8f5b0"},
    {"seRMin", "Минуты", "02", "#b8f0d0"},
    {"seRSec", "Секунды", "11", "#b0ece8"},
    {"seRAMPM", "AM/PM", "AM", "#b8dcff"},
    {"seRLine", "Номер линии (EXT)", "01", "#c8c8ff"},
    {"seTimeHour", "Часы разговора", "00", "#e0c8ff"},
    {"seTimeMin", "Минуты разговора", "02", "#f8c8f0"},
    {"seTimeSec", "Секунды разговора", "15", "#ffc8dc"},
    {"seNumberIn", "Номер внутренний (CO)", "201", "#e0e0c0"},
    {"seNumberOut", "№ телефона", "84951234567", "#c8e8c8"},
};

// Lines as the bundled templates' exchanges print them.
struct TSampleLine {
    const char* templateName;
    const char* line;
};
constexpr TSampleLine kSamples[] = {
    {"GENERIC24.ATS", "12/04/26 09:02:11 01 201 00:02:15 84951234567"},
    {"PANA12.ATS", "12/04/26  9:02AM  201 01 84951234567              00:02'15"},
};

// A line for a template of an unknown exchange: each field's sample text at its column, cut
// short of the next field's column so that the stretches stay apart.
std::string SynthesiseLine(const TTemplateColumns& c) {
    std::string line;
    for (int i = 0; i < 13; ++i) {
        const int32_t col = c.*kColumnMembers[i];
        if (col <= 0 || col > kColumnMax) continue;
        int32_t next = 0;
        for (int j = 0; j < 13; ++j) {
            const int32_t other = c.*kColumnMembers[j];
            if (other > col && (next == 0 || other < next)) next = other;
        }
        std::string text = kColumns[i].sample;
        if (next > 0) text.resize(std::min<size_t>(text.size(), std::max(1, next - col - 1)));
        const size_t at = static_cast<size_t>(col) - 1;
        if (line.size() < at + text.size()) line.resize(at + text.size(), ' ');
        if (line.compare(at, text.size(), std::string(text.size(), ' ')) == 0)
            line.replace(at, text.size(), text);
    }
    return line;
}

QString Escaped(const std::string& ansi) {
    return FromAnsi(ansi).toHtmlEscaped();
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TSpinEdit::TSpinEdit(int minimum, int maximum, int maxLength, QWidget* parent) : QSpinBox(parent) {
    setRange(minimum, maximum);
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    lineEdit()->setMaxLength(maxLength);
}

int TSpinEdit::Interpret(const QString& text) const {
    const std::optional<int32_t> v = TryStrToInt(Trim(text.toStdString()));
    if (!v) return minimum();
    return std::clamp<int>(*v, minimum(), maximum());
}

int TSpinEdit::Value() const {
    return Interpret(lineEdit()->text());
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    // Any run of digits may be typed; one outside the range is pulled in when the field is left.
    for (QChar ch : input)
        if (!ch.isDigit() && ch != '-' && ch != '+') return QValidator::Invalid;
    const std::optional<int32_t> v = TryStrToInt(input.toStdString());
    if (v && *v >= minimum() && *v <= maximum()) return QValidator::Acceptable;
    return QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const {
    input = textFromValue(Interpret(input));
}

int TSpinEdit::valueFromText(const QString& text) const {
    return Interpret(text);
}

// ---------------------------------------------------------------------------------------------

TSettingsDialog::TSettingsDialog(TStationSettings& settings, TSerialPort& port, QWidget* parent)
    : QDialog(parent), Settings(settings), Port(port) {
    setObjectName("SettingsDialog");
    setWindowTitle(U("Настройка"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    TreeView = Named(new QTreeWidget(this), "TreeView");
    Notebook = Named(new QStackedWidget(this), "Notebook");
    bbOk = Named(
        new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), U("Установить"), this),
        "bbOk");
    bbClose = Named(
        new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), U("Закрыть"), this),
        "bbClose");
    for (QPushButton* b : {bbOk, bbClose}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    BuildTree();
    auto* empty = Named(new QWidget, "Empty");
    Notebook->addWidget(empty);
    BuildGeneralPage();
    BuildTemplatePage();
    BuildRulesPage();
    BuildPortPage();
    BuildMailPage();
    BuildMessagesPage();

    auto* top = new QHBoxLayout;
    top->addWidget(TreeView);
    top->addWidget(Notebook, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(bbOk);
    buttons->addWidget(bbClose);
    auto* root = new QVBoxLayout(this);
    root->addLayout(top);
    root->addLayout(buttons);
    root->setSizeConstraint(QLayout::SetFixedSize);

    connect(bbOk, &QPushButton::clicked, this, [this] { bbOkClick(); });
    connect(bbClose, &QPushButton::clicked, this, [this] { bbCloseClick(); });

    FormCreate();
}

TSettingsDialog::~TSettingsDialog() = default;

void TSettingsDialog::BuildTree() {
    TreeView->setHeaderHidden(true);
    TreeView->setRootIsDecorated(false);
    TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView->setFixedWidth(130);

    QIcon rootIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    QIcon nodeIcon;
    nodeIcon.addPixmap(style()->standardPixmap(QStyle::SP_FileIcon), QIcon::Normal);
    nodeIcon.addPixmap(style()->standardPixmap(QStyle::SP_ArrowRight), QIcon::Selected);
    auto* rootItem = new QTreeWidgetItem(TreeView, QStringList{U("Параметры")});
    rootItem->setIcon(0, rootIcon);
    for (const char* caption : {"Общие", "Шаблон", "Правила", "Порт", "Рассылка", "Сообщения"}) {
        auto* node = new QTreeWidgetItem(rootItem, QStringList{U(caption)});
        node->setIcon(0, nodeIcon);
    }
    TreeView->expandAll();

    connect(TreeView, &QTreeWidget::currentItemChanged, this, [this] { TreeViewClick(); });
    connect(TreeView, &QTreeWidget::itemClicked, this, [this] { TreeViewClick(); });
    connect(TreeView, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem* item) { TreeViewCollapsing(item); });
}

void TSettingsDialog::BuildGeneralPage() {
    auto* page = Named(new QWidget, "General");
    eDBPath = Named(new QLineEdit(page), "eDBPath");
    eUserDB = Named(new QLineEdit(page), "eUserDB");
    ePasswordDB = Named(new QLineEdit(page), "ePasswordDB");
    ePasswordDB->setEchoMode(QLineEdit::Password);
    eRoleDB = Named(new QLineEdit(page), "eRoleDB");
    cbShowBuffer = Named(new QCheckBox(U("Показывать буфер"), page), "cbShowBuffer");
    cbAutoRun = Named(new QCheckBox(U("Автозапуск"), page), "cbAutoRun");
    cbHideRun = Named(new QCheckBox(U("Запуск в скрытом режиме"), page), "cbHideRun");
    // The submission ports 465 and 587 of today's servers, not only the 25 of old.
    sePortSMTP = Named(new TSpinEdit(1, 65535, 5, page), "sePortSMTP");
    eAddrSMTP = Named(new QLineEdit(page), "eAddrSMTP");
    eFromSMTP = Named(new QLineEdit(page), "eFromSMTP");
    cbSecurity = Named(new QComboBox(page), "cbSecurity");
    cbSecurity->addItems({U("Нет"), "STARTTLS", "TLS"});
    eUserSMTP = Named(new QLineEdit(page), "eUserSMTP");
    ePasswordSMTP = Named(new QLineEdit(page), "ePasswordSMTP");
    ePasswordSMTP->setEchoMode(QLineEdit::Password);

    auto* g = new QGridLayout(page);
    int row = 0;
    g->addWidget(Caption("База данных", eDBPath), row++, 0, 1, 2);
    g->addWidget(eDBPath, row++, 0, 1, 2);
    // The login beside the path it opens: a server's database wants its own user.
    for (auto [caption, edit] :
         {std::pair{"Пользователь базы", eUserDB}, std::pair{"Пароль базы", ePasswordDB},
          std::pair{"Роль", eRoleDB}}) {
        g->addWidget(Caption(caption, edit), row, 0);
        g->addWidget(edit, row++, 1);
    }
    g->addWidget(cbShowBuffer, row++, 0, 1, 2);
    g->addWidget(cbAutoRun, row++, 0, 1, 2);
    g->addWidget(cbHideRun, row++, 0, 1, 2);
    g->addWidget(Caption("Порт SMTP сервера", sePortSMTP), row, 0);
    g->addWidget(sePortSMTP, row++, 1, Qt::AlignLeft);
    g->addWidget(Caption("Адрес SMTP сервера", eAddrSMTP), row++, 0, 1, 2);
    g->addWidget(eAddrSMTP, row++, 0, 1, 2);
    g->addWidget(Caption("Обратный адрес", eFromSMTP), row++, 0, 1, 2);
    g->addWidget(eFromSMTP, row++, 0, 1, 2);
    g->addWidget(Caption("Защита соединения", cbSecurity), row, 0);
    g->addWidget(cbSecurity, row++, 1, Qt::AlignLeft);
    g->addWidget(Caption("Пользователь", eUserSMTP), row, 0);
    g->addWidget(eUserSMTP, row++, 1);
    g->addWidget(Caption("Пароль", ePasswordSMTP), row, 0);
    g->addWidget(ePasswordSMTP, row++, 1);
    g->setRowStretch(row, 1);
    Notebook->addWidget(page);
}

void TSettingsDialog::BuildTemplatePage() {
    auto* page = Named(new QWidget, "TemplatePage");
    cbTemplates = Named(new QComboBox(page), "cbTemplates");
    cbTemplates->setEditable(false);
    cbTemplates->setMinimumContentsLength(20);
    eNameFile = Named(new QLineEdit(page), "eNameFile");
    eNameFile->setMaxLength(kTemplateNameMax);
    eNameFile->setValidator(new TTemplateNameValidator(eNameFile));
    eNameFile->setContextMenuPolicy(Qt::NoContextMenu);
    eNameFile->setAcceptDrops(false);
    eNameFile->installEventFilter(this);
    eNameFile->hide();

    auto tool = [page](const char* name, const char* hint, QStyle::StandardPixmap icon) {
        auto* b = Named(new QToolButton(page), name);
        b->setToolTip(U(hint));
        b->setIcon(page->style()->standardIcon(icon));
        b->setAutoRaise(true);
        return b;
    };
    sbRefresh = tool("sbRefresh", "Обновить", QStyle::SP_BrowserReload);
    sbNew = tool("sbNew", "Новый", QStyle::SP_FileDialogNewFolder);
    sbSave = tool("sbSave", "Сохранить", QStyle::SP_DialogSaveButton);
    sbSave->setEnabled(false);

    eComment = Named(new QLineEdit(page), "eComment");
    eComment->setMaxLength(kTextMax);
    eComment->setReadOnly(true);

    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(cbTemplates, 1);
    nameRow->addWidget(eNameFile, 1);
    nameRow->addWidget(sbRefresh);
    nameRow->addWidget(sbNew);
    nameRow->addWidget(sbSave);
    bDetect = Named(new QPushButton(U("Подобрать шаблон"), page), "bDetect");
    bDetect->setToolTip(U("Выбрать шаблон, который читает принятые строки"));
    nameRow->addWidget(bDetect);

    auto* g = new QGridLayout(page);
    g->addWidget(Caption("Шаблон", cbTemplates), 0, 0);
    g->addLayout(nameRow, 0, 1, 1, 3);
    g->addWidget(Caption("Коментарий", eComment), 1, 0);
    g->addWidget(eComment, 1, 1, 1, 3);

    TSpinEdit** spins[13] = {&seRDay,    &seRMonth,  &seRYear,    &seRHour,    &seRMin,
                             &seRSec,    &seRAMPM,   &seRLine,    &seNumberIn, &seTimeHour,
                             &seTimeMin, &seTimeSec, &seNumberOut};
    // The column fields in page order: the call's date and time on the left, the rest on the
    // right; their order among the template columns is kept by TemplateSpins.
    const char* pageOrder[13] = {"seRDay",    "seRMonth",  "seRYear",    "seRHour",    "seRMin",
                                 "seRSec",    "seRAMPM",   "seRLine",    "seNumberIn", "seTimeHour",
                                 "seTimeMin", "seTimeSec", "seNumberOut"};
    for (int i = 0; i < 13; ++i) {
        const TColumnInfo* info = nullptr;
        for (const TColumnInfo& c : kColumns)
            if (std::string_view(c.name) == pageOrder[i]) info = &c;
        auto* se = Named(new TSpinEdit(0, kColumnMax, kColumnDigits, page), info->name);
        se->setEnabled(false);
        *spins[i] = se;
        const int row = 2 + (i < 7 ? i : i - 7);
        const int col = i < 7 ? 0 : 2;
        g->addWidget(Caption(info->caption, se), row, col);
        g->addWidget(se, row, col + 1, Qt::AlignLeft);
        connect(se, &QSpinBox::valueChanged, this, [this] { UpdatePreview(); });
    }

    lPreview = Named(new QLabel(page), "lPreview");
    lPreview->setTextFormat(Qt::RichText);
    lPreview->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lPreview->setFrameShape(QFrame::StyledPanel);
    lPreview->setFixedWidth(480);
    lPreview->setToolTip(U("Последняя принятая строка и поля, как их выделит шаблон"));
    lPreviewFields = Named(new QLabel(page), "lPreviewFields");
    lPreviewFields->setTextFormat(Qt::RichText);
    lPreviewFields->setWordWrap(true);
    lPreviewFields->setFixedWidth(480);
    lFormat = Named(new QLabel(page), "lFormat");
    lFormat->setWordWrap(true);
    lFormat->setFixedWidth(480);
    g->addWidget(lFormat, 9, 0, 1, 4);
    g->addWidget(lPreview, 10, 0, 1, 4);
    g->addWidget(lPreviewFields, 11, 0, 1, 4);
    g->setRowStretch(12, 1);

    connect(cbTemplates, &QComboBox::currentIndexChanged, this, [this] { cbTemplatesChange(); });
    connect(sbRefresh, &QToolButton::clicked, this, [this] { sbRefreshClick(); });
    connect(sbNew, &QToolButton::clicked, this, [this] { sbNewClick(); });
    connect(sbSave, &QToolButton::clicked, this, [this] { sbSaveClick(); });
    connect(bDetect, &QPushButton::clicked, this, [this] { bDetectClick(); });
    Notebook->addWidget(page);
}

void TSettingsDialog::BuildRulesPage() {
    auto* page = Named(new QWidget, "Rules");
    cbIncomLog = Named(new QCheckBox(U("Протоколировать входящие звонки"), page), "cbIncomLog");
    cbEmptyLen = Named(new QCheckBox(U("Игнорировать разговоры продолжительностью менее"), page),
                       "cbEmptyLen");
    seMinEmpty = Named(new TSpinEdit(0, 59, 2, page), "seMinEmpty");
    seMinLenPhon = Named(new TSpinEdit(0, 99, 2, page), "seMinLenPhon");
    seMaxLenPhon = Named(new TSpinEdit(0, 99, 2, page), "seMaxLenPhon");

    auto* g = new QGridLayout(page);
    g->addWidget(cbIncomLog, 0, 0, 1, 3);
    g->addWidget(cbEmptyLen, 1, 0);
    g->addWidget(seMinEmpty, 1, 1);
    g->addWidget(Caption("сек.", seMinEmpty), 1, 2);
    g->addWidget(Caption("Минимальная длина номера телефона (исходящие)", seMinLenPhon), 2, 0);
    g->addWidget(seMinLenPhon, 2, 1);
    g->addWidget(Caption("зн.", seMinLenPhon), 2, 2);
    g->addWidget(Caption("Максимальная длина номера телефона (исходящие)", seMaxLenPhon), 3, 0);
    g->addWidget(seMaxLenPhon, 3, 1);
    g->addWidget(Caption("зн.", seMaxLenPhon), 3, 2);
    g->setRowStretch(4, 1);
    g->setColumnStretch(3, 1);
    connect(cbEmptyLen, &QCheckBox::clicked, this, [this] { cbEmptyLenClick(); });
    Notebook->addWidget(page);
}

void TSettingsDialog::BuildPortPage() {
    auto* page = Named(new QWidget, "PortPage");
    auto* g = new QGridLayout(page);
    const char* captions[6] = {"Порт",          "Скорость", "Биты данных",
                               "Стоповые биты", "Четность", "Контроль передачи"};
    const TPortProperty props[6] = {cpPort,     cpBaudRate, cpDataBits,
                                    cpStopBits, cpParity,   cpFlowControl};
    for (int i = 0; i < 6; ++i) {
        auto* box = new TPortComboBox(page);
        box->setObjectName(QString("ComComboBox%1").arg(i + 1));
        box->SetComProperty(props[i]);
        box->setMinimumContentsLength(12);
        ComComboBox[i] = box;
        g->addWidget(Caption(captions[i], box), i, 0);
        g->addWidget(box, i, 1);
    }
    // Wide enough for a network source's name and an allow list.
    ComComboBox[0]->setMinimumContentsLength(24);
    eNetLogin = Named(new QLineEdit(page), "eNetLogin");
    eNetPassword = Named(new QLineEdit(page), "eNetPassword");
    eNetPassword->setEchoMode(QLineEdit::Password);
    for (QLineEdit* e : {eNetLogin, eNetPassword})
        e->setMaxLength(static_cast<int>(TCustomSerialPort::kLoginMax));
    eNetAllow = Named(new QLineEdit(page), "eNetAllow");
    eNetAllow->setMaxLength(static_cast<int>(TCustomSerialPort::kAllowMax));
    eNetAllow->setPlaceholderText(U("только этот компьютер"));
    seKeepAlive = Named(
        new TSpinEdit(TCustomSerialPort::kKeepAliveMin, TCustomSerialPort::kKeepAliveMax, 4, page),
        "seKeepAlive");
    seIdle = Named(new TSpinEdit(0, TCustomSerialPort::kIdleMax, 5, page), "seIdle");
    g->addWidget(new QLabel(U("АТС в сети (tcp://, listen://)"), page), 6, 0, 1, 2);
    g->addWidget(Caption("Логин", eNetLogin), 7, 0);
    g->addWidget(eNetLogin, 7, 1);
    g->addWidget(Caption("Пароль АТС", eNetPassword), 8, 0);
    g->addWidget(eNetPassword, 8, 1);
    g->addWidget(Caption("Разрешённые адреса", eNetAllow), 9, 0);
    g->addWidget(eNetAllow, 9, 1);
    g->addWidget(Caption("Обрыв, если АТС не отвечает, сек.", seKeepAlive), 10, 0);
    g->addWidget(seKeepAlive, 10, 1, Qt::AlignLeft);
    g->addWidget(Caption("Переподключение без данных, мин. (0 — нет)", seIdle), 11, 0);
    g->addWidget(seIdle, 11, 1, Qt::AlignLeft);
    g->setRowStretch(12, 1);
    g->setColumnStretch(2, 1);
    connect(ComComboBox[0], &QComboBox::currentTextChanged, this,
            [this] { UpdateNetworkFields(); });
    Notebook->addWidget(page);
}

void TSettingsDialog::UpdateNetworkFields() {
    const std::optional<platform::TNetEndpoint> endpoint =
        platform::ParseNetworkPortName(ToAnsi(ComComboBox[0]->currentText().trimmed()));
    const bool dialling = endpoint && !endpoint->Listen;
    SetGroup({eNetLogin, eNetPassword}, dialling);
    SetGroup({eNetAllow}, endpoint && endpoint->Listen);
    SetGroup({seKeepAlive, seIdle}, endpoint.has_value());
}

void TSettingsDialog::BuildMailPage() {
    auto* page = Named(new QWidget, "Mailing");
    cbPubSendMail = Named(new QCheckBox(U("Рассылка статистики"), page), "cbPubSendMail");
    eSubjSendMail = Named(new QLineEdit(page), "eSubjSendMail");
    mMsgFooter = Named(new QPlainTextEdit(page), "mMsgFooter");
    mMsgFooter->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Cleared at creation: filling from the holder runs the handler only when the state changes.
    SetGroup({eSubjSendMail, mMsgFooter}, false);

    auto* g = new QGridLayout(page);
    g->addWidget(cbPubSendMail, 0, 0, 1, 2);
    g->addWidget(Caption("Тема", eSubjSendMail), 1, 0);
    g->addWidget(eSubjSendMail, 1, 1);
    g->addWidget(Caption("Подпись", mMsgFooter), 2, 0, Qt::AlignTop);
    g->addWidget(mMsgFooter, 2, 1);
    // The administrator (the address on the messages page) gets the summary per extension.
    cbReportMonthly = Named(
        new QCheckBox(U("Отчёт по абонентам за месяц администратору (1-го числа, XLSX)"), page),
        "cbReportMonthly");
    cbReportWeekly =
        Named(new QCheckBox(
                  U("Отчёт по абонентам за неделю администратору (по понедельникам, XLSX)"), page),
              "cbReportWeekly");
    g->addWidget(cbReportMonthly, 3, 0, 1, 2);
    g->addWidget(cbReportWeekly, 4, 0, 1, 2);
    connect(cbPubSendMail, &QCheckBox::clicked, this, [this] { cbPubSendMailClick(); });
    Notebook->addWidget(page);
}

void TSettingsDialog::BuildMessagesPage() {
    auto* page = Named(new QWidget, "Messages");
    eMsgAddress = Named(new QLineEdit(page), "eMsgAddress");
    cbNeedAllRight = Named(new QCheckBox(U("Ежедневное сообщение"), page), "cbNeedAllRight");
    eSubjAllRight = Named(new QLineEdit(page), "eSubjAllRight");
    mMsgAllRight = Named(new QPlainTextEdit(page), "mMsgAllRight");
    cbNeedSilence = Named(new QCheckBox(U("Сообщение, если звонки не фиксировались более"), page),
                          "cbNeedSilence");
    seDaysSilence = Named(new TSpinEdit(1, 99, 2, page), "seDaysSilence");
    eSubjSilence = Named(new QLineEdit(page), "eSubjSilence");
    mMsgSilence = Named(new QPlainTextEdit(page), "mMsgSilence");
    for (QPlainTextEdit* m : {mMsgAllRight, mMsgSilence}) m->setFixedHeight(60);
    SetGroup({eSubjAllRight, mMsgAllRight}, false);
    SetGroup({eSubjSilence, mMsgSilence, seDaysSilence}, false);

    auto* g = new QGridLayout(page);
    g->addWidget(Caption("Кому", eMsgAddress), 0, 0);
    g->addWidget(eMsgAddress, 0, 1, 1, 3);
    g->addWidget(cbNeedAllRight, 1, 0, 1, 4);
    g->addWidget(Caption("Тема", eSubjAllRight), 2, 0);
    g->addWidget(eSubjAllRight, 2, 1, 1, 3);
    g->addWidget(Caption("Текст", mMsgAllRight), 3, 0, Qt::AlignTop);
    g->addWidget(mMsgAllRight, 3, 1, 1, 3);
    g->addWidget(cbNeedSilence, 4, 0, 1, 2);
    g->addWidget(seDaysSilence, 4, 2);
    g->addWidget(Caption("дн.", seDaysSilence), 4, 3);
    g->addWidget(Caption("Тема", eSubjSilence), 5, 0);
    g->addWidget(eSubjSilence, 5, 1, 1, 3);
    g->addWidget(Caption("Текст", mMsgSilence), 6, 0, Qt::AlignTop);
    g->addWidget(mMsgSilence, 6, 1, 1, 3);

    // The watchdog by the hour and the troubles' alerts (alerts.ini).
    auto* days = new QHBoxLayout;
    const char* const dayNames[7] = {"Пн", "Вт", "Ср", "Чт", "Пт", "Сб", "Вс"};
    for (int i = 0; i < 7; ++i) {
        cbWorkDay[i] = Named(new QCheckBox(U(dayNames[i]), page),
                             ("cbWorkDay" + std::to_string(i + 1)).c_str());
        days->addWidget(cbWorkDay[i]);
    }
    teWorkFrom = Named(new QTimeEdit(page), "teWorkFrom");
    teWorkTo = Named(new QTimeEdit(page), "teWorkTo");
    for (QTimeEdit* t : {teWorkFrom, teWorkTo}) t->setDisplayFormat("HH:mm");
    days->addWidget(Caption("с", teWorkFrom));
    days->addWidget(teWorkFrom);
    days->addWidget(Caption("до", teWorkTo));
    days->addWidget(teWorkTo);
    days->addStretch();
    seSilenceMinutes = Named(new TSpinEdit(0, 10080, 5, page), "seSilenceMinutes");
    seGraceMinutes = Named(new TSpinEdit(0, 1440, 4, page), "seGraceMinutes");
    eAlertAddress = Named(new QLineEdit(page), "eAlertAddress");
    eAlertAddress->setPlaceholderText(U("тот же, что для сообщений"));
    g->addWidget(Caption("Рабочие дни", cbWorkDay[0]), 7, 0);
    g->addLayout(days, 7, 1, 1, 3);
    g->addWidget(Caption("Тревога, если нет звонков в рабочее время, мин. (0 — нет)",
                         seSilenceMinutes),
                 8, 0, 1, 2);
    g->addWidget(seSilenceMinutes, 8, 2);
    g->addWidget(Caption("Сбой сообщается, если длится дольше, мин.", seGraceMinutes), 9, 0, 1, 2);
    g->addWidget(seGraceMinutes, 9, 2);
    g->addWidget(Caption("Тревоги", eAlertAddress), 10, 0);
    g->addWidget(eAlertAddress, 10, 1, 1, 3);
    g->setColumnStretch(1, 1);
    connect(cbNeedAllRight, &QCheckBox::clicked, this, [this] { cbNeedAllRightClick(); });
    connect(cbNeedSilence, &QCheckBox::clicked, this, [this] { cbNeedSilenceClick(); });
    Notebook->addWidget(page);
}

int TSettingsDialog::FieldWidth(const char* field) const {
    const auto it = Settings.TextWidths.find(field);
    return it == Settings.TextWidths.end() ? kNoLimit : it->second;
}

std::array<TSpinEdit*, 13> TSettingsDialog::TemplateSpins() const {
    return {seRDay,  seRMonth,   seRYear,   seRHour,   seRMin,     seRSec,     seRAMPM,
            seRLine, seTimeHour, seTimeMin, seTimeSec, seNumberIn, seNumberOut};
}

void TSettingsDialog::FormCreate() {
    Filling = true;

    const std::vector<std::string> names = ListTemplates(Settings.ProgramDir);
    int selected = -1;
    for (size_t i = 0; i < names.size(); ++i) {
        cbTemplates->addItem(FromAnsi(UpperCase1251(names[i])));
        if (selected < 0 && SameText1251(names[i], Settings.Template))
            selected = static_cast<int>(i);
    }
    cbTemplates->setCurrentIndex(selected);

    TreeView->setFocus();

    for (TPortComboBox* box : ComComboBox) {
        box->SetComPort(&Port);
        box->ReadFromPort();
    }
    eNetLogin->setText(FromAnsi(Port.Login()));
    eNetPassword->setText(FromAnsi(Port.Password()));
    eNetAllow->setText(FromAnsi(Port.Allow()));
    seKeepAlive->setValue(Port.KeepAlive());
    seIdle->setValue(Port.Idle());
    UpdateNetworkFields();

    SetLimitedText(eComment, FromAnsi(Settings.TemplateComment), kTextMax);
    ShowColumns(Settings.Columns());
    ShowFormat(Settings.Format);
    SetTemplateEditing(false);

    SetLimitedText(eDBPath, FromAnsi(Settings.DBPath), FieldWidth("DBPath"));
    // What a connection parameter can carry.
    SetLimitedText(eUserDB, FromAnsi(Settings.Login.User), 255);
    SetLimitedText(ePasswordDB, FromAnsi(Settings.Login.Password), 255);
    SetLimitedText(eRoleDB, FromAnsi(Settings.Login.Role), 255);
    SetChecked(cbShowBuffer, Settings.ShowBuffer);
    SetChecked(cbAutoRun, Settings.AutoRun);
    SetChecked(cbHideRun, Settings.HideRun);
    sePortSMTP->setValue(Settings.PortSMTP);
    SetLimitedText(eAddrSMTP, FromAnsi(Settings.AddrSMTP), FieldWidth("AddrSMTP"));
    SetLimitedText(eFromSMTP, FromAnsi(Settings.FromSMTP), FieldWidth("FromSMTP"));
    cbSecurity->setCurrentIndex(static_cast<int>(Settings.Mail.Security));
    eUserSMTP->setText(FromAnsi(Settings.Mail.User));
    ePasswordSMTP->setText(FromAnsi(Settings.Mail.Password));

    SetChecked(cbIncomLog, Settings.IncomLog);
    // Runs the handler even when the state is unchanged, so the group is greyed from the start.
    cbEmptyLen->setChecked(Settings.EmptyLen);
    cbEmptyLenClick();
    seMinEmpty->setValue(Settings.MinEmpty);
    seMinLenPhon->setValue(Settings.MinLenPhon);
    seMaxLenPhon->setValue(Settings.MaxLenPhon);

    SetChecked(cbPubSendMail, Settings.SendMail, this, &TSettingsDialog::cbPubSendMailClick);
    SetLimitedText(eSubjSendMail, FromAnsi(Settings.SubjSendM), FieldWidth("SubjSendM"));
    mMsgFooter->setPlainText(MemoFromAnsi(Settings.MsgFooter));
    {
        const TReportMailSettings reports =
            ReadReportMailSettings(platform::FileInDir(Settings.ProgramDir, kReportsIni));
        cbReportMonthly->setChecked(reports.Monthly);
        cbReportWeekly->setChecked(reports.Weekly);
    }

    {
        const TAlertSettings alerts =
            ReadAlertSettings(platform::FileInDir(Settings.ProgramDir, kAlertsIni));
        // The file counts days from Sunday, the page from Monday.
        for (int i = 0; i < 7; ++i) cbWorkDay[i]->setChecked(alerts.WorkDays[(i + 1) % 7]);
        teWorkFrom->setTime(QTime(alerts.WorkFrom / 60, alerts.WorkFrom % 60));
        teWorkTo->setTime(QTime(alerts.WorkTo / 60, alerts.WorkTo % 60));
        seSilenceMinutes->setValue(alerts.SilenceMinutes);
        seGraceMinutes->setValue(alerts.GraceMinutes);
        eAlertAddress->setText(FromAnsi(alerts.Address));
    }
    SetLimitedText(eMsgAddress, FromAnsi(Settings.MsgAddress), FieldWidth("MsgAddress"));
    SetChecked(cbNeedAllRight, Settings.NeedARight, this, &TSettingsDialog::cbNeedAllRightClick);
    SetLimitedText(eSubjAllRight, FromAnsi(Settings.SubjARight), FieldWidth("SubjARight"));
    mMsgAllRight->setPlainText(MemoFromAnsi(Settings.MsgARight));
    SetChecked(cbNeedSilence, Settings.NeedSilenc, this, &TSettingsDialog::cbNeedSilenceClick);
    seDaysSilence->setValue(Settings.DaysSilenc);
    SetLimitedText(eSubjSilence, FromAnsi(Settings.SubjSilenc), FieldWidth("SubjSilenc"));
    mMsgSilence->setPlainText(MemoFromAnsi(Settings.MsgSilence));

    RefreshSample();
    Filling = false;
}

void TSettingsDialog::SelectPage(int index) {
    if (index < 0 || index > 6) index = 1;
    QTreeWidgetItem* root = TreeView->topLevelItem(0);
    TreeView->setCurrentItem(index == 0 ? root : root->child(index - 1));
    TreeViewClick();
}

int TSettingsDialog::SelectedNodeIndex() const {
    const QTreeWidgetItem* item = TreeView->currentItem();
    if (!item) return -1;
    if (!item->parent()) return 0;
    return item->parent()->indexOfChild(const_cast<QTreeWidgetItem*>(item)) + 1;
}

void TSettingsDialog::TreeViewClick() {
    const int index = SelectedNodeIndex();
    if (index < 0) return;
    TreeView->currentItem()->setExpanded(true);
    Notebook->setCurrentIndex(index);
}

void TSettingsDialog::TreeViewCollapsing(QTreeWidgetItem* item) {
    if (SelectedNodeIndex() == 0) item->setExpanded(true);
}

void TSettingsDialog::cbEmptyLenClick() {
    SetGroup({seMinEmpty}, cbEmptyLen->isChecked());
}

void TSettingsDialog::cbPubSendMailClick() {
    SetGroup({eSubjSendMail, mMsgFooter}, cbPubSendMail->isChecked());
}

void TSettingsDialog::cbNeedAllRightClick() {
    SetGroup({eSubjAllRight, mMsgAllRight}, cbNeedAllRight->isChecked());
}

void TSettingsDialog::cbNeedSilenceClick() {
    SetGroup({eSubjSilence, mMsgSilence, seDaysSilence}, cbNeedSilence->isChecked());
}

void TSettingsDialog::SetTemplateEditing(bool editing) {
    cbTemplates->setVisible(!editing);
    eNameFile->setVisible(editing);
    eComment->setReadOnly(!editing);
    Paint(eComment, editing);
    for (TSpinEdit* se : TemplateSpins()) {
        se->setEnabled(editing);
        Paint(se, editing);
    }
    sbRefresh->setEnabled(!editing);
    sbNew->setEnabled(!editing);
    sbSave->setEnabled(editing);
    bDetect->setEnabled(!editing);
}

namespace {
QString KeyText(const char* caption, const TFieldKey& key) {
    return U(caption) + " " + QString::number(key.Column) +
           (key.Place > 0 ? "." + QString::number(key.Place) : QString());
}

QString Joined(const std::vector<std::string>& texts) {
    QStringList list;
    for (const std::string& t : texts) list << FromAnsi(t);
    return list.join(", ");
}

// The keys beyond the columns in the page's words ("поля через «,»; ...").
QString FormatSummary(const TTemplateFormat& f) {
    QStringList parts;
    if (f.Separator == '\t')
        parts << U("поля через табуляцию");
    else if (f.Separator)
        parts << U("поля через «%1»").arg(FromAnsi(std::string(1, f.Separator)));
    QStringList placed;
    for (int i = 0; i < 13; ++i)
        if (f.Places.*kColumnMembers[i] > 0)
            placed << U(kColumns[i].caption) + " " + QString::number(f.Places.*kColumnMembers[i]);
    if (!placed.isEmpty()) parts << U("место в поле: ") + placed.join(", ");
    if (f.Duration.Column > 0) parts << KeyText("длительность", f.Duration);
    if (f.TimeIsEnd) parts << U("время - конец разговора");
    if (f.Utc) parts << U("время UTC");
    if (f.Direction.Column > 0)
        parts << KeyText("направление", f.Direction) + U(" (входящий: ") + Joined(f.IncomingMarks) +
                     ")";
    if (f.InExtension.Column > 0) parts << KeyText("входящий: абонент", f.InExtension);
    if (f.InCaller.Column > 0) parts << KeyText("входящий: звонивший", f.InCaller);
    if (!f.NotCallMarks.empty()) parts << U("не звонки: ") + Joined(f.NotCallMarks);
    if (f.AmText != "AM" || f.PmText != "PM")
        parts << U("AM/PM: «%1» / «%2»").arg(FromAnsi(f.AmText), FromAnsi(f.PmText));
    return parts.join("; ");
}
}  // namespace

void TSettingsDialog::ShowFormat(const TTemplateFormat& f) {
    ShownFormat_ = f;
    const QString summary = FormatSummary(f);
    lFormat->setText(summary);
    lFormat->setVisible(!summary.isEmpty());
}

void TSettingsDialog::bDetectClick() {
    std::vector<std::string> lines = ReceivedLines_;
    if (lines.empty() && !LastLine_.empty()) lines.push_back(LastLine_);
    const std::string found = OnDetectTemplate && !lines.empty() ? OnDetectTemplate(lines) : "";
    const int index =
        found.empty() ? -1 : cbTemplates->findText(FromAnsi(found), Qt::MatchFixedString);
    if (index < 0) {
        ShowMessage(ToAnsi(U(lines.empty() ? "Строк от АТС ещё не принято."
                                           : "Ни один шаблон не читает принятые строки.")));
        return;
    }
    cbTemplates->setCurrentIndex(index);
    ShowTemplateFile();
}

void TSettingsDialog::ShowColumns(const TTemplateColumns& c) {
    const auto spins = TemplateSpins();
    for (int i = 0; i < 13; ++i) spins[i]->setValue(c.*kColumnMembers[i]);
}

TTemplateColumns TSettingsDialog::ShownColumns() const {
    TTemplateColumns c;
    const auto spins = TemplateSpins();
    for (int i = 0; i < 13; ++i) c.*kColumnMembers[i] = spins[i]->Value();
    return c;
}

std::string TSettingsDialog::SelectedTemplate() const {
    if (cbTemplates->currentIndex() < 0) return {};
    return UpperCase1251(ToAnsi(cbTemplates->currentText()));
}

void TSettingsDialog::cbTemplatesChange() {
    if (Filling) return;
    ShowTemplateFile();
}

void TSettingsDialog::sbRefreshClick() {
    ShowTemplateFile();
}

void TSettingsDialog::ShowTemplateFile() {
    const TTemplateView view = ReadTemplateForDisplay(Settings.ProgramDir, SelectedTemplate());
    SetLimitedText(eComment, FromAnsi(view.Comment), kTextMax);
    ShowColumns(view.Columns);
    ShowFormat(view.Format);
    RefreshSample();
}

void TSettingsDialog::sbNewClick() {
    SetTemplateEditing(true);
    QString name;
    if (cbTemplates->currentIndex() >= 0) {
        name = cbTemplates->currentText();
        const qsizetype dot = name.lastIndexOf('.');
        if (dot >= 0) name.truncate(dot);
    }
    eNameFile->setText(name);
    eNameFile->setFocus();
}

void TSettingsDialog::sbSaveClick() {
    try {
        SaveTemplate(Settings.ProgramDir, *this, ToAnsi(eNameFile->text()),
                     ToAnsi(eComment->text()), ShownColumns(), ShownFormat_,
                     [this](const std::string& name) {
                         Settings.Template = name;
                         return !OnUseTemplate || OnUseTemplate();
                     });
    } catch (const std::exception& e) {
        ReportError(e);
    }
}

bool TSettingsDialog::eNameFileKeyPress(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Delete:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
        case Qt::Key_Backspace:
            return false;
        default:
            break;
    }
    const QString text = event->text();
    if (text.isEmpty()) return false;  // no character: cursor keys and the like
    // With Ctrl a letter is a control character, which the rule drops.
    if (event->modifiers() & Qt::ControlModifier) return true;
    const std::string bytes = ToAnsi(text);
    const char key = bytes.size() == 1 ? FilterTemplateNameKey(bytes[0]) : 0;
    if (key != 0 && key != '\b') eNameFile->insert(FromAnsi(std::string(1, key)));
    return true;
}

bool TSettingsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == eNameFile && event->type() == QEvent::KeyPress)
        return eNameFileKeyPress(static_cast<QKeyEvent*>(event));
    return QDialog::eventFilter(watched, event);
}

void TSettingsDialog::keyPressEvent(QKeyEvent* event) {
    // Neither button is the default or the cancel button: Enter and Escape do nothing here.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void TSettingsDialog::bbOkClick() {
    // Checked only where it applies: a disabled field cannot be corrected.
    std::vector<std::string> badAddresses;
    if (eNetAllow->isEnabled())
        platform::TAddressList::Parse(ToAnsi(eNetAllow->text()), badAddresses);
    if (!badAddresses.empty()) {
        SelectPage(4);
        ReportError(EError(ToAnsi(U("Не адрес и не сеть: ")) + badAddresses.front()));
        eNetAllow->setFocus();
        return;
    }

    if (sbSave->isEnabled() && AskYesNo(ToAnsi(U("Сохранить шаблон ?")))) {
        SelectPage(2);
        sbSaveClick();
    }

    if (OnDisconnectDatabase) OnDisconnectDatabase();

    try {
        Port.BeginUpdate();
        try {
            for (TPortComboBox* box : ComComboBox) box->ApplyToPort();
            Port.SetLogin(ToAnsi(eNetLogin->text()));
            Port.SetPassword(ToAnsi(eNetPassword->text()));
            Port.SetAllow(ToAnsi(eNetAllow->text()));
            Port.SetKeepAlive(seKeepAlive->Value());
            Port.SetIdle(seIdle->Value());
        } catch (...) {
            // Close the bracket so the port is not left deferring every later change.
            try {
                Port.EndUpdate();
            } catch (...) {
                // The first error is the one to report.
            }
            throw;
        }
        Port.EndUpdate();
        Port.SaveSetup(ssIniFile, platform::FileInDir(Settings.ProgramDir, "comport.ini"));
    } catch (const std::exception& e) {
        ReportError(e);
        return;
    }

    Settings.Template = SelectedTemplate();
    Settings.MinEmpty = seMinEmpty->Value();
    Settings.MinLenPhon = seMinLenPhon->Value();
    Settings.MaxLenPhon = seMaxLenPhon->Value();
    Settings.EmptyLen = cbEmptyLen->isChecked();
    Settings.IncomLog = cbIncomLog->isChecked();
    Settings.ShowBuffer = cbShowBuffer->isChecked();
    Settings.AutoRun = cbAutoRun->isChecked();
    Settings.HideRun = cbHideRun->isChecked();
    Settings.SendMail = cbPubSendMail->isChecked();
    Settings.SubjSendM = ToAnsi(eSubjSendMail->text());
    Settings.MsgFooter = MemoToAnsi(mMsgFooter);
    Settings.MsgAddress = ToAnsi(eMsgAddress->text());
    Settings.NeedARight = cbNeedAllRight->isChecked();
    Settings.SubjARight = ToAnsi(eSubjAllRight->text());
    Settings.MsgARight = MemoToAnsi(mMsgAllRight);
    Settings.NeedSilenc = cbNeedSilence->isChecked();
    Settings.SubjSilenc = ToAnsi(eSubjSilence->text());
    Settings.MsgSilence = MemoToAnsi(mMsgSilence);
    Settings.DaysSilenc = seDaysSilence->Value();
    Settings.DBPath = Trim(ToAnsi(eDBPath->text()));
    Settings.Login.User = Trim(ToAnsi(eUserDB->text()));
    if (Settings.Login.User.empty()) Settings.Login.User = TDbLogin::kDefaultUser;
    Settings.Login.Password = ToAnsi(ePasswordDB->text());
    Settings.Login.Role = Trim(ToAnsi(eRoleDB->text()));
    Settings.AddrSMTP = Trim(ToAnsi(eAddrSMTP->text()));
    Settings.FromSMTP = Trim(ToAnsi(eFromSMTP->text()));
    Settings.PortSMTP = sePortSMTP->Value();
    Settings.Mail.Security = static_cast<TMailSecurity>(cbSecurity->currentIndex());
    Settings.Mail.User = Trim(ToAnsi(eUserSMTP->text()));
    Settings.Mail.Password = ToAnsi(ePasswordSMTP->text());

    try {
        const std::string path = platform::FileInDir(Settings.ProgramDir, kAlertsIni);
        const TAlertSettings was = ReadAlertSettings(path);
        TAlertSettings alerts = was;
        for (int i = 0; i < 7; ++i) alerts.WorkDays[(i + 1) % 7] = cbWorkDay[i]->isChecked();
        alerts.WorkFrom = teWorkFrom->time().hour() * 60 + teWorkFrom->time().minute();
        alerts.WorkTo = teWorkTo->time().hour() * 60 + teWorkTo->time().minute();
        alerts.SilenceMinutes = seSilenceMinutes->Value();
        alerts.GraceMinutes = seGraceMinutes->Value();
        alerts.Address = Trim(ToAnsi(eAlertAddress->text()));
        const bool changed = !std::equal(std::begin(was.WorkDays), std::end(was.WorkDays),
                                         std::begin(alerts.WorkDays)) ||
                             was.WorkFrom != alerts.WorkFrom || was.WorkTo != alerts.WorkTo ||
                             was.SilenceMinutes != alerts.SilenceMinutes ||
                             was.GraceMinutes != alerts.GraceMinutes ||
                             was.Address != alerts.Address;
        if (changed) WriteAlertSettings(path, alerts);
    } catch (const std::exception&) {
        ShowMessage(ToAnsi(U("Невозможно записать файл настроек тревог alerts.ini !")));
        return;
    }
    try {
        const std::string path = platform::FileInDir(Settings.ProgramDir, kReportsIni);
        TReportMailSettings reports = ReadReportMailSettings(path);
        if (reports.Monthly != cbReportMonthly->isChecked() ||
            reports.Weekly != cbReportWeekly->isChecked()) {
            reports.Monthly = cbReportMonthly->isChecked();
            reports.Weekly = cbReportWeekly->isChecked();
            WriteReportMailSettings(path, reports);
        }
        Settings.ReportMailOn = reports.Monthly || reports.Weekly;
    } catch (const std::exception&) {
        ShowMessage(ToAnsi(U("Невозможно записать файл настроек отчётов reports.ini !")));
        return;
    }
    try {
        if (OnSaveSettings) OnSaveSettings();
    } catch (const std::exception&) {
        ShowMessage(ToAnsi(U("Невозможно открыть файл настроек tarvick.dat !")));
        return;
    }
    try {
        if (OnSaveMailSettings) OnSaveMailSettings();
    } catch (const std::exception&) {
        ShowMessage(ToAnsi(U("Невозможно записать файл настроек почты mail.ini !")));
        return;
    }
    try {
        if (OnSaveDbLogin) OnSaveDbLogin();
    } catch (const std::exception&) {
        ShowMessage(ToAnsi(U("Невозможно записать файл db.ini !")));
        return;
    }
    accept();
}

void TSettingsDialog::bbCloseClick() {
    reject();
}

void TSettingsDialog::ReportError(const std::exception& e) {
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                    FromAnsi(e.what()), QMessageBox::Ok, this);
    box.exec();
}

void TSettingsDialog::FocusNameField() {
    eNameFile->setFocus();
}

void TSettingsDialog::ShowMessage(const std::string& text) {
    QMessageBox box(QMessageBox::Information, QGuiApplication::applicationDisplayName(),
                    FromAnsi(text), QMessageBox::Ok, this);
    box.exec();
}

bool TSettingsDialog::AskYesNo(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationDisplayName(), FromAnsi(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    return box.exec() == QMessageBox::Yes;
}

void TSettingsDialog::SwitchToViewing() {
    SetTemplateEditing(false);
    cbTemplates->setFocus();
}

void TSettingsDialog::SetTemplateList(const std::vector<std::string>& upperNames, int selected) {
    // A list re-formed by the program is no choice of the user's: the page keeps its values.
    const QSignalBlocker block(cbTemplates);
    cbTemplates->clear();
    for (const std::string& name : upperNames) cbTemplates->addItem(FromAnsi(name));
    cbTemplates->setCurrentIndex(selected);
    RefreshSample();
}

// ---------------------------------------------------------------------------------------------
// Template preview.

void TSettingsDialog::SetLastLine(const std::string& line) {
    LastLine_ = line;
    RefreshSample();
}

void TSettingsDialog::RefreshSample() {
    std::string line = LastLine_;
    if (line.empty()) {
        const std::string name = SelectedTemplate();
        for (const TSampleLine& s : kSamples)
            if (SameText1251(name, s.templateName)) line = s.line;
        if (line.empty())
            line = SynthesiseLine(name.empty()
                                      ? Settings.Columns()
                                      : ReadTemplateForDisplay(Settings.ProgramDir, name).Columns);
    }
    if (line.size() > kMaxCallLine) line.resize(kMaxCallLine);
    PreviewLine_ = line;
    UpdatePreview();
}

void TSettingsDialog::UpdatePreview() {
    if (!lPreview) return;
    const TTemplateColumns shown = ShownColumns();
    const TLineCut cut = OnCutLine ? OnCutLine(shown, ShownFormat_, PreviewLine_) : TLineCut{};

    // Which field's stretch each character of the line belongs to (-1: none); a stretch shared
    // by two fields takes the colour of the first.
    const std::string& line = PreviewLine_;
    std::vector<int> owner(line.size(), -1);
    for (int i = 0; i < 13; ++i) {
        const TLineCut::TField& f = cut.Fields[i];
        if (f.Begin < 0) continue;
        const size_t last = std::min<size_t>(line.size(), f.End);
        for (size_t p = static_cast<size_t>(f.Begin); p < last; ++p)
            if (owner[p] < 0) owner[p] = i;
    }
    QString html = "<pre style=\"margin:0\">";
    for (size_t p = 0; p < line.size();) {
        size_t q = p;
        while (q < line.size() && owner[q] == owner[p]) ++q;
        const QString run = Escaped(line.substr(p, q - p));
        if (owner[p] < 0)
            html += run;
        else
            html += QString("<span style=\"background-color:%1\">%2</span>")
                        .arg(kColumns[owner[p]].colour, run);
        p = q;
    }
    html += "</pre>";
    lPreview->setText(html);

    QStringList parts;
    for (int i = 0; i < 13; ++i) {
        if (shown.*kColumnMembers[i] <= 0) continue;
        parts << QString("<span style=\"background-color:%1\">%2:&nbsp;<b>%3</b></span>")
                     .arg(kColumns[i].colour, U(kColumns[i].caption).toHtmlEscaped(),
                          Escaped(cut.Fields[i].Text));
    }
    if (cut.Incoming)
        parts << U("входящий, звонил:&nbsp;<b>%1</b>").arg(Escaped(cut.Caller));
    else if (ShownFormat_.Direction.Column > 0)
        parts << U("исходящий");
    lPreviewFields->setText(parts.join(" "));
}
